// The blocking HTTP/1.1 client.
#include <zu/bytearray.h>
#include <zu/em.h>
#include <zu/http.h>
#include <zu/net.h>
#include <zu/socket.h>
#include <zu/url.h>
#include <zu/util.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <cstring>

#include "http/http_literals.h"
#include "diag/logging.h"

namespace zu {
namespace net {
namespace http {
namespace impl {

namespace {

unsigned int const maxAttempts = 10;
unsigned int const maxChunkSize = 0xFFFF;
// The most a request's receiver gets in one onData call.
unsigned int const receiveBlock = 0x10000;

bool isHttp(URL const& url) { return url.getScheme().compare("http", true) == 0; }

}  // namespace

// The connection of one client: a TCP socket used blocking-style and the
// line reader over it.
class SocketClient {
 public:
  explicit SocketClient(unsigned int timeout) : socket(ISocket::New(SOCKET_TYPE_TCP)), timeout(timeout) {}

  // Keeps the current connection when keep-alive allows it (same host
  // text, last response read completely, still connected); otherwise
  // connects anew.
  bool open(String const& hostText, bool keepAlive) {
    if (keepAlive && reusable && reader && hostText.compare(host) == 0 && socket->waitConnected(timeout)) {
      reusable = false;
      return true;
    }
    drop();
    host = hostText;
    HostName name(hostText);
    em::CatchError guard(socket.get());
    IP const ip = name.resolve();
    if (ip.isAny()) {
      // Connecting to 0.0.0.0 would reach this machine instead.
      error = "can't resolve " + name.host();
      return false;
    }
    if (!socket->connect(name.port(80), ip) || !socket->waitConnected(timeout)) {
      error = guard.text();
      socket->close();
      return false;
    }
    // The reader keeps the socket alive through its stream view.
    reader = util::IBufferedReader::New(boost::shared_ptr<func::IIO>(socket, socket->toIO()));
    return true;
  }

  bool send(String const& text) {
    ZU_LOG(3, "[DBG1]", text.cstr());
    em::CatchError guard(socket.get());
    char const* p = text.cstr();
    unsigned int remaining = text.length();
    while (remaining > 0) {
      unsigned int const n = socket->waitWritable(timeout) ? socket->toIO()->write(p, remaining) : 0;
      if (n == 0) {
        error = guard.text();
        return false;
      }
      p += n;
      remaining -= n;
    }
    return true;
  }

  // Reads exactly `size` bytes; false (with `error`) when the connection
  // delivers fewer.
  bool readExactly(unsigned char* to, unsigned int size) {
    em::CatchError guard(socket.get());
    while (size > 0) {
      unsigned int const n = reader->read(to, size);
      if (n == 0) {
        error = guard.text();
        return false;
      }
      to += n;
      size -= n;
    }
    return true;
  }

  bool readLine(String& line) {
    em::CatchError guard(socket.get());
    if (reader->readLine(line)) return true;
    error = guard.text();
    return false;
  }

  void drop() {
    reader.reset();
    socket->close();
    reusable = false;
  }

  boost::shared_ptr<ISocket> const socket;
  boost::shared_ptr<util::IBufferedReader> reader;
  String error;
  unsigned int const timeout;
  String host;
  // The last response was read to its end: the connection may carry the
  // next request.
  bool reusable = false;
};

// The reading of one response.
class ResponseHandler {
 public:
  enum Kind { ERROR, REDIRECT, NO_BODY, BODY };

  explicit ResponseHandler(SocketClient& connection) : connection_(connection) {}

  Kind readHead(MIME& headers, unsigned int& status) {
    String line;
    if (!connection_.readLine(line)) return failedHead();
    ZU_LOG(5, "[DBG3]", line.cstr());
    TArray<String> parts = line.tokenise(' ');
    if (parts.size() < 3) return failedHead();
    status = parts[1].toUnsigned(10);
    if (status < 100 || status > 505) return failedHead();
    for (;;) {
      // A head must end with its blank line: a connection that ends
      // before it delivered a truncated head.
      if (!connection_.readLine(line)) return failedHead();
      if (line.empty()) break;
      ZU_LOG(5, "[DBG3]", line.cstr());
      if (!headers.addLine(line)) return failedHead();
    }
    String const length = headers.get(literals::contentLength, String());
    bool const chunked = headers.get(literals::transferEncoding, String()).compare(literals::chunked) == 0;
    if (!length.empty()) {
      mode = 1;
      this->length = length.toUnsigned(10);
    } else if (chunked) {
      mode = 2;
    }
    if (status == 204 || status == 304 || status == 404) {
      noBody = true;
      return NO_BODY;
    }
    if (status == 301 || status == 302) return REDIRECT;
    return BODY;
  }

  // The body as the head announced it; `body` is replaced.
  bool readBody(String& body) {
    body = String();
    if (noBody) return true;
    if (mode == 1) {
      if (length == 0) return true;
      unsigned char* to = reinterpret_cast<unsigned char*>(body.getBuffer(length));
      if (!connection_.readExactly(to, length)) {
        body = String();
        error = "can't read content.err=" + connection_.error;
        return false;
      }
      return true;
    }
    if (mode == 2) return readChunks(body);
    error = "unknown transfer encoding mode.";
    return false;
  }

  String error;
  unsigned int mode = 0;  // 0 none, 1 Content-Length, 2 chunked
  unsigned int length = 0;
  bool noBody = false;

 private:
  Kind failedHead() {
    error = "read response message failed.";
    return ERROR;
  }

  bool readChunkSize(unsigned int& size) {
    String line;
    if (!connection_.readLine(line) || line.empty()) {
      error = "can't read chunk size line.err:" + connection_.error;
      return false;
    }
    size = line.toUnsigned(16);
    return true;
  }

  bool readChunks(String& body) {
    unsigned int size;
    if (!readChunkSize(size)) return false;
    ByteArray chunk;
    while (size != 0) {
      if (size > maxChunkSize) {
        error = "error chunk size:" + String(size);
        return false;
      }
      unsigned char* data = chunk.getBuffer(size + 2);
      if (!connection_.readExactly(data, size + 2)) {
        error = "can't read chunk data.err=" + connection_.error;
        return false;
      }
      data[size] = 0;  // the chunk's line end goes
      body.append(reinterpret_cast<char const*>(data));
      if (!readChunkSize(size)) return false;
    }
    return true;
  }

  SocketClient& connection_;
};

class HttpClient : public IHttpClient, public boost::enable_shared_from_this<HttpClient> {
 public:
  HttpClient(String const& userAgent, unsigned int timeout)
      : timeout_(timeout), userAgent_(userAgent), socketClient_(boost::make_shared<SocketClient>(timeout)) {}

  bool get(String const& url, String& response, bool keepAlive) override {
    MIME responseHeaders;
    return exchange("GET", url, MIME(), String(), responseHeaders, &response, keepAlive);
  }

  bool request(String const& method, String const& url, MIME const& headers, String const& body,
               MIME& responseHeaders, IHttpReceiver& receiver, bool keepAlive) override {
    if (!exchange(method, url, headers, body, responseHeaders, nullptr, keepAlive)) return false;
    boost::shared_ptr<IHttpClient> self = shared_from_this();
    SocketClient& connection = *socketClient_;
    unsigned int remaining = responseHeaders.get(literals::contentLength, "0").toUnsigned(10);
    bool const chunked =
        responseHeaders.get(literals::transferEncoding, String()).compare(literals::chunked) == 0;
    ByteArray block;
    bool complete = true;
    {
      em::CatchError guard(connection.socket.get());
      while (remaining > 0) {
        unsigned int const want = remaining < receiveBlock ? remaining : receiveBlock;
        unsigned char* data = block.getBuffer(want);
        unsigned int const n = connection.reader->read(data, want);
        if (n == 0) {
          // The connection ended early: no spinning on it.
          connection.error = guard.text();
          complete = false;
          break;
        }
        remaining -= n;
        receiver.onData(self, data, n);
      }
    }
    connection.reusable = complete && !chunked;
    receiver.onEnd(self);
    if (!complete) return fail(2, "can't read content.err=" + connection.error);
    return true;
  }

  unsigned int status() override { return status_; }

 private:
  bool fail(unsigned int kind, String const& text) {
    IHttpClient const* owner = this;
    em::report(owner, kind, text);
    return false;
  }

  String requestText(String const& method, URL const& url, MIME const& headers, String const& body,
                     bool keepAlive) const {
    // The fragment stays with the client; an empty path asks for "/".
    URL target(url);
    target.setFragment(String());
    String path = target.toString(true);
    if (!path.startsWith("/")) path = "/" + path;
    MIME block(headers);
    if (!block.contains(literals::host)) block.set(literals::host, url.getHostName());
    if (!block.contains(literals::userAgent)) block.set(literals::userAgent, userAgent_);
    if (!body.empty() && !block.contains(literals::contentLength))
      block.set(literals::contentLength, String(body.length()));
    if (keepAlive) block.set(literals::connection, literals::keepAlive);
    String text = method + " " + path + " " + literals::protocolVersion + literals::lineEnd;
    text += block.toString();
    text += literals::lineEnd;
    text += body;
    text += literals::lineEnd;
    return text;
  }

  // Sends the request and reads the response head, following redirects;
  // with `responseBody`, also reads the body into it.
  bool exchange(String const& method, String const& urlText, MIME const& headers, String const& body,
                MIME& responseHeaders, String* responseBody, bool keepAlive) {
    URL url(urlText);
    if (!isHttp(url)) return fail(2, "url scheme error. only support http.");
    SocketClient& connection = *socketClient_;
    for (unsigned int attempt = 0;; ++attempt) {
      if (attempt >= maxAttempts) return fail(2, "try to max: " + String(maxAttempts));
      status_ = 100;
      // Each attempt's head stands alone: a redirect's headers must not
      // answer for the final response.
      responseHeaders.reset();
      String const host = url.getHostName();
      if (!connection.open(host, keepAlive)) return fail(1, "can't open remote host:" + host);
      if (!connection.send(requestText(method, url, headers, body, keepAlive))) {
        connection.drop();
        return fail(1, "send request failed.");
      }
      ResponseHandler handler(connection);
      switch (handler.readHead(responseHeaders, status_)) {
        case ResponseHandler::ERROR:
          connection.drop();
          return fail(2, handler.error);
        case ResponseHandler::REDIRECT: {
          connection.reusable = false;  // its body, if any, is not read
          String const location = responseHeaders.get(literals::location, String());
          if (location.empty()) return fail(2, "need redirect but location info is none.");
          url = URL(location, url);
          if (!isHttp(url)) return fail(2, "url scheme error. only support http.");
          continue;
        }
        case ResponseHandler::NO_BODY:
          // A 404 may still carry a page: the connection is only reused
          // when nothing of it is left unread.
          connection.reusable = handler.mode == 0 || (handler.mode == 1 && handler.length == 0);
          if (responseBody) *responseBody = String();
          return true;
        case ResponseHandler::BODY:
          if (!responseBody) return true;
          if (!handler.readBody(*responseBody)) {
            connection.drop();
            return fail(2, handler.error);
          }
          connection.reusable = true;
          return true;
      }
    }
  }

  unsigned int const timeout_;
  String const userAgent_;
  boost::shared_ptr<SocketClient> const socketClient_;
  unsigned int status_ = 100;
};

}  // namespace impl

boost::shared_ptr<IHttpClient> IHttpClient::New(String const& userAgent, unsigned int timeout) {
  return boost::make_shared<impl::HttpClient>(userAgent, timeout);
}

}  // namespace http
}  // namespace net
}  // namespace zu
