// The blocking HTTP/1.1 client: one connection per client, read through a
// receive buffer of its own so that nothing of an answer is hidden from the
// keep-alive check.
#include <zu/bytearray.h>
#include <zu/em.h>
#include <zu/http.h>
#include <zu/net.h>
#include <zu/socket.h>
#include <zu/url.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <cstring>
#include <new>

#include "http/http_literals.h"
#include "http/http_message.h"
#include "diag/logging.h"

namespace zu {
namespace net {
namespace http {
namespace impl {

namespace {

unsigned int const maxAttempts = 10;
unsigned int const maxChunkSize = 0xFFFF;
// The most a request's receiver gets in one onData call, and the most a
// body grows by before that much has arrived.
unsigned int const receiveBlock = 0x10000;
// What the socket is asked for at a time while a head or a line is read.
unsigned int const fillBlock = 4096;
// A peer may not make the client hold more than this of a response head.
HeadLimits const responseLimits = {0x10000, 0xFFFFFFFF, 0x100000, false};

bool isHttp(URL const& url) { return url.getScheme().compare("http", true) == 0; }

// A body that grows as its bytes arrive: its room at most doubles, so what
// it holds follows what the peer really sent, not what it announced.
class BodyBuffer {
 public:
  // Room for `want` more bytes behind the ones held.
  unsigned char* room(unsigned int want) {
    if (want > capacity_ - size_) {
      unsigned int next = capacity_ < receiveBlock ? receiveBlock : capacity_;
      while (next - size_ < want) next *= 2;
      bytes_.getBuffer(next);
      capacity_ = next;
    }
    return const_cast<unsigned char*>(bytes_.ptr()) + size_;
  }
  void commit(unsigned int n) { size_ += n; }
  void append(unsigned char const* data, unsigned int n) {
    std::memcpy(room(n), data, n);
    size_ += n;
  }
  unsigned int size() const { return size_; }
  char const* text() const { return size_ ? reinterpret_cast<char const*>(bytes_.ptr()) : ""; }
  ByteArray take() {
    bytes_.resize(size_);
    capacity_ = size_ = 0;
    return std::move(bytes_);
  }

 private:
  ByteArray bytes_;
  unsigned int capacity_ = 0;
  unsigned int size_ = 0;
};

}  // namespace

// The connection of one client: a TCP socket used blocking-style and the
// bytes received from it and not yet consumed.
class SocketClient {
 public:
  enum LineResult { LINE_READ, LINE_ENDED, LINE_TOO_LONG };

  explicit SocketClient(unsigned int timeout) : socket(ISocket::New(SOCKET_TYPE_TCP)), timeout(timeout) {}

  // Keeps the current connection when keep-alive allows it: same host text,
  // the last response read completely and nothing more came behind it, the
  // peer has not closed. Otherwise connects anew. `reused` tells which.
  bool open(String const& hostText, bool keepAlive, bool& reused) {
    reused = false;
    if (keepAlive && reusable && hostText.compare(host) == 0 && buffered() == 0 && socket->isOpen()) {
      // Readable while idle means the peer closed, reset or sent bytes that
      // answer nothing: none of that may be read as the next response.
      if (!socket->waitReadable(0) && socket->waitConnected(timeout)) {
        reusable = false;
        reused = true;
        received = 0;
        return true;
      }
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
    received = 0;
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

  unsigned int buffered() const { return end_ - begin_; }
  char const* data() const { return reinterpret_cast<char const*>(input_.ptr()) + begin_; }
  void consume(unsigned int n) {
    begin_ += n;
    if (begin_ == end_) begin_ = end_ = 0;
  }

  // Reads what the socket has (up to a block) behind the buffered bytes;
  // false (with `error`) when the connection ended.
  bool fill() {
    em::CatchError guard(socket.get());
    if (begin_ != 0) {
      unsigned char* b = input_.getBuffer(0);
      std::memmove(b, b + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    unsigned char* at = input_.getBuffer(end_ + fillBlock) + end_;
    unsigned int const n = socket->toIO()->read(at, fillBlock);
    if (n == 0) {
      error = guard.text();
      return false;
    }
    end_ += n;
    received += n;
    return true;
  }

  // Up to `size` bytes: buffered ones first, else straight from the socket.
  unsigned int read(unsigned char* to, unsigned int size) {
    if (buffered() == 0) {
      em::CatchError guard(socket.get());
      unsigned int const n = socket->toIO()->read(to, size);
      if (n == 0) error = guard.text();
      received += n;
      return n;
    }
    unsigned int const n = size < buffered() ? size : buffered();
    std::memcpy(to, data(), n);
    consume(n);
    return n;
  }

  // Drops exactly `size` bytes; false when the connection ends first.
  bool skip(unsigned int size) {
    while (size > 0) {
      if (buffered() == 0 && !fill()) return false;
      unsigned int const n = size < buffered() ? size : buffered();
      consume(n);
      size -= n;
    }
    return true;
  }

  // One line of fewer than `maxLine` bytes, without its line end.
  LineResult readLine(String& line, unsigned int maxLine) {
    for (;;) {
      unsigned int length, consumed;
      switch (findLine(data(), buffered(), maxLine, length, consumed)) {
        case http::impl::LINE_FOUND:
          line = String(data(), length);
          consume(consumed);
          return LINE_READ;
        case http::impl::LINE_TOO_LONG:
          return LINE_TOO_LONG;
        case http::impl::LINE_PENDING:
          if (!fill()) return LINE_ENDED;
      }
    }
  }

  void drop() {
    socket->close();
    begin_ = end_ = 0;
    reusable = false;
  }

  boost::shared_ptr<ISocket> const socket;
  String error;
  unsigned int const timeout;
  String host;
  // The last response was read to its end: the connection may carry the
  // next request.
  bool reusable = false;
  // Bytes that came since the connection was opened or taken for reuse.
  unsigned int received = 0;

 private:
  ByteArray input_;
  unsigned int begin_ = 0;
  unsigned int end_ = 0;
};

// A chunked body read to its real end: the chunks, the last (empty) chunk,
// the trailer lines and the blank line that ends them. Each chunk's data
// goes to `take(data, n)` as it arrives.
class ChunkedBody {
 public:
  explicit ChunkedBody(SocketClient& connection) : connection_(connection) {}

  template <class Take>
  bool read(Take take) {
    unsigned int size;
    if (!readSize(size)) return false;
    unsigned char block[4096];
    while (size != 0) {
      if (size > maxChunkSize) {
        error = "error chunk size:" + String(size);
        return false;
      }
      for (unsigned int left = size; left > 0;) {
        unsigned int const n = connection_.read(block, left < sizeof block ? left : sizeof block);
        if (n == 0) return chunkDataFailed();
        take(block, n);
        left -= n;
      }
      // The chunk's own line end.
      if (!connection_.skip(2)) return chunkDataFailed();
      if (!readSize(size)) return false;
    }
    // Trailer lines up to a blank one; a connection that ends among them
    // has still delivered the whole body, but cannot carry another answer.
    complete = false;
    String line;
    unsigned int trailer = 0;
    for (;;) {
      SocketClient::LineResult const r = connection_.readLine(line, responseLimits.maxLine);
      if (r != SocketClient::LINE_READ) return r == SocketClient::LINE_ENDED;
      if (line.empty()) break;
      trailer += line.length();
      if (trailer > responseLimits.maxHead) return true;
    }
    complete = true;
    return true;
  }

  String error;
  bool complete = false;

 private:
  bool readSize(unsigned int& size) {
    String line;
    if (connection_.readLine(line, responseLimits.maxLine) != SocketClient::LINE_READ || line.empty()) {
      error = "can't read chunk size line.err:" + connection_.error;
      return false;
    }
    size = line.toUnsigned(16);
    return true;
  }

  bool chunkDataFailed() {
    error = "can't read chunk data.err=" + connection_.error;
    return false;
  }

  SocketClient& connection_;
};

// The reading of one response.
class ResponseHandler {
 public:
  enum Kind { ERROR, REDIRECT, NO_BODY, BODY };
  enum Mode { MODE_NONE, MODE_LENGTH, MODE_CHUNKED };

  explicit ResponseHandler(SocketClient& connection) : connection_(&connection) {}

  Kind readHead(MIME& headers, unsigned int& status) {
    HeadParser parser(responseLimits);
    for (;;) {
      connection_->consume(parser.feed(connection_->data(), connection_->buffered()));
      if (parser.state() == HeadParser::HEAD_COMPLETE || parser.state() == HeadParser::HEAD_FAILED) break;
      if (!connection_->fill()) {
        parser.finish();
        break;
      }
    }
    if (parser.hasStartLine()) ZU_LOG(5, "[DBG3]", parser.startLine().cstr());
    if (parser.state() != HeadParser::HEAD_COMPLETE) return failedHead();
    TArray<String> parts = parser.startLine().tokenise(' ');
    if (parts.size() < 3) return failedHead();
    status = parts[1].toUnsigned(10);
    if (status < 100 || status > 505) return failedHead();
    MIME const& received = parser.headers();
    for (unsigned int i = 0, n = received.size(); i < n; ++i) {
      ZU_LOG(5, "[DBG3]", received.lines[i].name.cstr() << ": " << received.lines[i].value.cstr());
      headers.set(received.lines[i].name, received.lines[i].value);
    }
    String const length = headers.get(literals::contentLength, String());
    bool const chunked = headers.get(literals::transferEncoding, String()).compare(literals::chunked) == 0;
    if (!length.empty()) {
      mode = MODE_LENGTH;
      this->length = length.toUnsigned(10);
    } else if (chunked) {
      mode = MODE_CHUNKED;
    }
    closing = headers.get(literals::connection, String()).compare("close", true) == 0;
    if (status == 204 || status == 304 || status == 404) {
      noBody = true;
      return NO_BODY;
    }
    if (status == 301 || status == 302) return REDIRECT;
    return BODY;
  }

  // The body as the head announced it; `complete` tells whether the
  // connection stands at the start of the next answer afterwards.
  bool readBody(BodyBuffer& body) {
    if (noBody) return complete = true;
    if (mode == MODE_LENGTH) {
      for (unsigned int remaining = length; remaining > 0;) {
        unsigned int const want = remaining < receiveBlock ? remaining : receiveBlock;
        unsigned int const n = connection_->read(body.room(want), want);
        if (n == 0) {
          error = "can't read content.err=" + connection_->error;
          return false;
        }
        body.commit(n);
        remaining -= n;
      }
      return complete = true;
    }
    if (mode == MODE_CHUNKED) {
      ChunkedBody chunks(*connection_);
      bool const ok = chunks.read([&](unsigned char const* data, unsigned int n) { body.append(data, n); });
      error = chunks.error;
      complete = chunks.complete;
      return ok;
    }
    error = "unknown transfer encoding mode.";
    return false;
  }

  String error;
  Mode mode = MODE_NONE;
  unsigned int length = 0;
  bool noBody = false;
  // The answer said "Connection: close".
  bool closing = false;
  bool complete = false;

 private:
  Kind failedHead() {
    error = "read response message failed.";
    return ERROR;
  }

  SocketClient* connection_;
};

class HttpClient : public IHttpClient, public boost::enable_shared_from_this<HttpClient> {
 public:
  HttpClient(String const& userAgent, unsigned int timeout)
      : timeout_(timeout), userAgent_(userAgent), socketClient_(boost::make_shared<SocketClient>(timeout)) {}

  bool get(String const& url, String& response, bool keepAlive) override {
    try {
      MIME responseHeaders;
      BodyBuffer body;
      if (!exchange("GET", url, MIME(), String(), responseHeaders, &body, keepAlive)) return false;
      response = String(body.text(), body.size());
      return true;
    } catch (std::bad_alloc const&) {
      return outOfMemory();
    }
  }

  bool get(String const& url, ByteArray& body, MIME& responseHeaders, bool keepAlive) override {
    try {
      BodyBuffer received;
      if (!exchange("GET", url, MIME(), String(), responseHeaders, &received, keepAlive)) return false;
      body = received.take();
      return true;
    } catch (std::bad_alloc const&) {
      return outOfMemory();
    }
  }

  bool request(String const& method, String const& url, MIME const& headers, String const& body,
               MIME& responseHeaders, IHttpReceiver& receiver, bool keepAlive) override {
    try {
      return requestInto(method, url, headers, body, responseHeaders, receiver, keepAlive);
    } catch (std::bad_alloc const&) {
      return outOfMemory();
    }
  }

  unsigned int status() override { return status_; }

 private:
  bool fail(unsigned int kind, String const& text) {
    IHttpClient const* owner = this;
    em::report(owner, kind, text);
    return false;
  }

  // The connection may hold half an answer: it goes too.
  bool outOfMemory() {
    socketClient_->drop();
    return fail(100, "out of memory");
  }

  bool requestInto(String const& method, String const& url, MIME const& headers, String const& body,
                   MIME& responseHeaders, IHttpReceiver& receiver, bool keepAlive) {
    ResponseHandler handler(*socketClient_);
    if (!exchange(method, url, headers, body, responseHeaders, nullptr, keepAlive, &handler)) return false;
    boost::shared_ptr<IHttpClient> self = shared_from_this();
    SocketClient& connection = *socketClient_;
    bool complete = true;
    String error;
    if (handler.mode == ResponseHandler::MODE_CHUNKED && !responseHeaders.contains(literals::contentLength)) {
      ChunkedBody chunks(connection);
      complete = chunks.read([&](unsigned char const* data, unsigned int n) { receiver.onData(self, data, n); });
      error = chunks.error;
      connection.reusable = complete && chunks.complete && !handler.closing;
    } else {
      unsigned int remaining = responseHeaders.get(literals::contentLength, "0").toUnsigned(10);
      ByteArray block;
      while (remaining > 0) {
        unsigned int const want = remaining < receiveBlock ? remaining : receiveBlock;
        unsigned char* data = block.getBuffer(want);
        unsigned int const n = connection.read(data, want);
        if (n == 0) {
          // The connection ended early: no spinning on it.
          complete = false;
          error = "can't read content.err=" + connection.error;
          break;
        }
        remaining -= n;
        receiver.onData(self, data, n);
      }
      connection.reusable = complete && !handler.closing;
    }
    if (!connection.reusable) connection.drop();
    receiver.onEnd(self);
    if (!complete) return fail(2, error);
    return true;
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
  // with `responseBody`, also reads the body into it. `last` receives the
  // handler of the final answer when the caller reads the body itself.
  bool exchange(String const& method, String const& urlText, MIME const& headers, String const& body,
                MIME& responseHeaders, BodyBuffer* responseBody, bool keepAlive,
                ResponseHandler* last = nullptr) {
    URL url(urlText);
    if (!isHttp(url)) return fail(2, "url scheme error. only support http.");
    SocketClient& connection = *socketClient_;
    // A kept connection that the peer closed just as the request went out
    // fails before any byte of an answer; a request that changes nothing
    // is then safe to send once more on a fresh connection.
    bool const repeatable = method.compare("GET") == 0 || method.compare("HEAD") == 0;
    bool repeated = false;
    for (unsigned int attempt = 0;; ++attempt) {
      if (attempt >= maxAttempts) return fail(2, "try to max: " + String(maxAttempts));
      status_ = 100;
      // Each attempt's head stands alone: a redirect's headers must not
      // answer for the final response.
      responseHeaders.reset();
      String const host = url.getHostName();
      bool reused = false;
      if (!connection.open(host, keepAlive, reused)) return fail(1, "can't open remote host:" + host);
      bool const sent = connection.send(requestText(method, url, headers, body, keepAlive));
      ResponseHandler handler(connection);
      ResponseHandler::Kind const kind = sent ? handler.readHead(responseHeaders, status_) : ResponseHandler::ERROR;
      if (kind == ResponseHandler::ERROR && reused && repeatable && !repeated && connection.received == 0) {
        connection.drop();
        repeated = true;
        --attempt;
        continue;
      }
      if (!sent) {
        connection.drop();
        return fail(1, "send request failed.");
      }
      switch (kind) {
        case ResponseHandler::ERROR:
          connection.drop();
          return fail(2, handler.error);
        case ResponseHandler::REDIRECT: {
          connection.drop();  // its body, if any, is not read
          String const location = responseHeaders.get(literals::location, String());
          if (location.empty()) return fail(2, "need redirect but location info is none.");
          url = URL(location, url);
          if (!isHttp(url)) return fail(2, "url scheme error. only support http.");
          continue;
        }
        case ResponseHandler::NO_BODY:
          // A 404 may still carry a page: the connection is only reused
          // when nothing of it is left unread.
          if (!responseBody) {
            if (last) *last = handler;  // the caller reads what follows
            return true;
          }
          connection.reusable = !handler.closing && (handler.mode == ResponseHandler::MODE_NONE ||
                                                     (handler.mode == ResponseHandler::MODE_LENGTH && handler.length == 0));
          if (!connection.reusable) connection.drop();
          return true;
        case ResponseHandler::BODY:
          if (!responseBody) {
            if (last) *last = handler;
            return true;
          }
          if (!handler.readBody(*responseBody)) {
            connection.drop();
            return fail(2, handler.error);
          }
          connection.reusable = handler.complete && !handler.closing;
          if (!connection.reusable) connection.drop();
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
