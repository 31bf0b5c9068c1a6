// The client's response reader: a loopback server answers every request
// the client makes with the input. The first byte picks the call: 'P' for
// request() with a receiver, anything else for get(); the rest is the
// response. Location values that could lead off this server are replaced,
// so redirects come back here.
#include <zu/em.h>
#include <zu/http.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz_common.h"
#include "loopback.h"

using namespace zu::net::http;

namespace {

bool safeLocation(std::string const& value) {
  if (value.size() < 1 || value[0] != '/' || (value.size() > 1 && value[1] == '/')) return false;
  for (char c : value)
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::string("/._~?=&%-").find(c) == std::string::npos)
      return false;
  return true;
}

// Every line (cut at CR or LF) whose name reads "location" gets a value
// that stays on the same host and port.
std::string confine(std::string const& text) {
  std::string out;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    std::size_t const colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name;
      for (char c : line.substr(0, colon))
        if (c != ' ' && c != '\t') name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string value = line.substr(colon + 1);
      while (!value.empty() && (value[0] == ' ' || value[0] == '\t')) value.erase(0, 1);
      if (name.find("location") != std::string::npos && !safeLocation(value)) line = "Location: /moved";
    }
    out += line;
    if (end < text.size()) out += text[end];
    at = end + 1;
  }
  return out;
}

// Accepts on its own thread for the whole run; each connection is served
// by a thread of its own, joined when the input is done.
class Server {
 public:
  Server() {
    listener_ = fuzz::listenLoopback(port);
    FUZZ_CHECK(listener_ >= 0);
    std::thread([this] { run(); }).detach();
  }

  // Serves `response` to every connection from now on.
  void start(std::string response) {
    std::lock_guard<std::mutex> lock(mutex_);
    response_ = std::move(response);
  }
  // Waits for the connections of this input to be done.
  void finish() {
    std::vector<std::thread> workers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
  }
  unsigned short port = 0;

 private:
  void run() {
    for (;;) {
      int const fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      workers_.emplace_back([this, fd, response = response_] { serve(fd, response); });
    }
  }
  // Reads the request head, answers, ends the stream and waits (briefly)
  // for the client to close, so that no reset destroys the answer.
  static void serve(int fd, std::string const& response) {
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos && fuzz::waitFor(fd, POLLIN, 2000)) {
      char buffer[4096];
      ssize_t const n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    fuzz::sendAll(fd, response.data(), response.size());
    ::shutdown(fd, SHUT_WR);
    while (fuzz::waitFor(fd, POLLIN, 2000)) {
      char buffer[4096];
      if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
    fuzz::closeAbruptly(fd);  // the client has closed: nothing of the answer is lost
  }

  int listener_ = -1;
  std::mutex mutex_;
  std::string response_;
  std::vector<std::thread> workers_;
};

class Receiver : public IHttpReceiver {
 public:
  void onData(boost::shared_ptr<IHttpClient>, unsigned char const* data, unsigned int length) override {
    FUZZ_CHECK(data || length == 0);
    received += length;
  }
  void onEnd(boost::shared_ptr<IHttpClient>) override { ++ends; }
  std::size_t received = 0;
  int ends = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  static Server* server = new Server();
  if (size == 0) return 0;
  bool const streamed = data[0] == 'P';
  std::string const response = confine(std::string(reinterpret_cast<char const*>(data) + 1, size - 1));
  server->start(response);

  std::string const url = "http://127.0.0.1:" + std::to_string(server->port) + "/fuzz?q=1";
  boost::shared_ptr<IHttpClient> client = IHttpClient::New("zu-fuzz/1", 5000);
  {
    zu::em::CatchError guard(client.get());
    if (streamed) {
      MIME headers, responseHeaders;
      headers.set("X-Fuzz", "1");
      Receiver receiver;
      bool const ok = client->request("POST", url.c_str(), headers, "body", responseHeaders, receiver, false);
      FUZZ_CHECK(receiver.ends <= 1);
      FUZZ_CHECK(!ok || receiver.ends == 1);
      FUZZ_CHECK(receiver.received <= size);
    } else {
      zu::String body;
      client->get(url.c_str(), body, false);
      FUZZ_CHECK(body.length() <= size);
    }
    (void)client->status();
  }
  // The client's connection closes with the client; the server's side
  // waits for that close before it lets go.
  client.reset();
  server->finish();
  return 0;
}
