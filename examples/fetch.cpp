// Fetches a URL over HTTP and writes the body, bytes as they came (zero bytes
// included), to standard output or a file.
//
//   example_fetch <url> [file]
#include <cstdio>
#include <fstream>
#include <iostream>

#include <zu/bytearray.h>
#include <zu/em.h>
#include <zu/http.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: " << argv[0] << " <url> [file]\n";
    return 2;
  }
  auto client = zu::net::http::IHttpClient::New("zu-fetch/1.0", 10000);
  zu::ByteArray body;
  zu::net::http::MIME headers;
  auto got = zu::em::attempt(client, [&] { return client->get(argv[1], body, headers, false); });
  if (!got.result) {
    std::cerr << "fetch failed: error(" << got.code << ") " << got.text << "\n";
    return 1;
  }
  std::cerr << client->status() << " " << headers.get("Content-Type", "(no type)") << ", " << body.size()
            << " bytes\n";
  std::ofstream file;
  if (argc > 2) file.open(argv[2], std::ios::binary);
  std::ostream& out = argc > 2 ? file : std::cout;
  out.write(reinterpret_cast<char const*>(body.ptr()), body.size());
  return out.flush() ? 0 : 1;
}
