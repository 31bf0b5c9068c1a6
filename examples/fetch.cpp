// Fetches a URL over HTTP and writes the body, bytes as they came (zero bytes
// included), to standard output or a file.
//
//   example_fetch <url> [file]
#include <cstdio>
#include <fstream>
#include <iostream>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <zu/bytearray.h>
#include <zu/em.h>
#include <zu/http.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: " << argv[0] << " <url> [file]\n";
    return 2;
  }
  // The library's log writes to standard output, where the data goes: the
  // data keeps the stream, and whatever the log writes lands on standard
  // error instead.
  std::fflush(stdout);
  int const data = dup(1);
  if (data < 0 || dup2(2, 1) < 0) {
    std::cerr << "cannot set standard output aside\n";
    return 1;
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
  if (argc > 2) {
    std::ofstream file(argv[2], std::ios::binary);
    file.write(reinterpret_cast<char const*>(body.ptr()), body.size());
    return file.flush() ? 0 : 1;
  }
#ifdef _WIN32
  // Standard output is a text stream there, which would write each line
  // feed of the data as CR LF.
  _setmode(data, _O_BINARY);
#endif
  std::FILE* out = fdopen(data, "wb");
  if (!out) return 1;
  bool const written = std::fwrite(body.ptr(), 1, body.size(), out) == body.size();
  return std::fclose(out) == 0 && written ? 0 : 1;
}
