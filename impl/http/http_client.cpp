// The blocking HTTP/1.1 client: one connection per client, read through a
// receive buffer of its own so that nothing of an answer is hidden from the
// keep-alive check.
#include <zu/bytearray.h>
#include <zu/em.h>
#include <zu/http.h>
#include <zu/net.h>
#include <zu/socket.h>
#include <zu/tls.h>
#include <zu/url.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <cstring>
#include <new>
#include <string>
#include <strings.h>

#include "core/text.h"
#include "http/http_literals.h"
#include "http/http_message.h"
#include "diag/logging.h"

namespace zu {
namespace net {
namespace http {
namespace impl {

namespace {

unsigned int const maxAttempts = 10;
// Interim (1xx) answers taken before the real one.
unsigned int const maxInterim = 16;
unsigned int const maxChunkSize = 0xFFFF;
// The most a request's receiver gets in one onData call, and the most a
// body grows by before that much has arrived.
unsigned int const receiveBlock = 0x10000;
// What the socket is asked for at a time while a head or a line is read.
unsigned int const fillBlock = 4096;
// A peer may not make the client hold more than this of a response head.
HeadLimits const responseLimits = {0x10000, 0xFFFFFFFF, 0x100000, false, false};

bool isHttp(URL const& url) { return url.getScheme().compare("http", true) == 0; }
bool isHttps(URL const& url) { return url.getScheme().compare("https", true) == 0; }

// Failures that belong to TLS rather than to reaching the host: they are
// passed on with the TLS socket's own code and text.
bool isTlsFailure(unsigned int code, String const& text) {
  return code == TLS_ERROR_NOT_TRUSTED || code == TLS_ERROR_NAME_MISMATCH || code == TLS_ERROR_EXPIRED ||
         code == TLS_ERROR_HANDSHAKE || code == 100 || (code == 2 && text.compare("handshake timed out") == 0);
}

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

// The request's head as the log shows it: the values of the headers that
// carry credentials are hidden, the body is left out.
String loggable(String const& request) {
  static char const* const secret[] = {"authorization", "proxy-authorization", "cookie"};
  char const* const text = request.cstr();
  char const* const headEnd = std::strstr(text, "\r\n\r\n");
  char const* const stop = headEnd ? headEnd : text + request.length();
  std::string out;
  for (char const* line = text; line < stop;) {
    char const* end = std::strstr(line, "\r\n");
    if (!end || end > stop) end = stop;
    char const* colon = static_cast<char const*>(std::memchr(line, ':', static_cast<std::size_t>(end - line)));
    bool hidden = false;
    if (colon) {
      for (char const* name : secret) {
        std::size_t const n = std::strlen(name);
        hidden = hidden || (static_cast<std::size_t>(colon - line) == n && ::zu::__::equalIgnoringAsciiCase(line, name, n));
      }
    }
    if (hidden) {
      out.append(line, static_cast<std::size_t>(colon - line));
      out += ": (hidden)";
    } else {
      out.append(line, static_cast<std::size_t>(end - line));
    }
    out += "\r\n";
    line = end + 2;
  }
  return String(out.data(), static_cast<unsigned int>(out.size()));
}

// The connection of one client: a TCP or TLS socket used blocking-style
// and the bytes received from it and not yet consumed.
class SocketClient {
 public:
  // Each read waits at most `timeout` ms for the peer's next bytes.
  explicit SocketClient(unsigned int timeout) : socket(ISocket::New(SOCKET_TYPE_TCP)), timeout(timeout) {
    socket->setTimeouts(timeout, timeout);
  }

  // The settings of the https connections, made on first need: a client
  // that never meets an https URL never loads OpenSSL.
  ITlsContext& tls() {
    if (!tls_) {
      tls_ = ITlsContext::New(false);
      tls_->setHandshakeTimeout(timeout);
    }
    return *tls_;
  }

  // Keeps the current connection when keep-alive allows it: same scheme and
  // host text, the last response read completely and nothing more came
  // behind it, the peer has not closed. Otherwise connects anew, over TLS
  // when `secure`. `reused` tells which.
  bool open(String const& hostText, bool secureWanted, bool keepAlive, bool& reused) {
    reused = false;
    if (keepAlive && reusable && secureWanted == secure && hostText.compare(host) == 0 && buffered() == 0 &&
        socket->isOpen()) {
      // Readable while idle means the peer closed, reset or sent bytes that
      // answer nothing: none of that may be read as the next response.
      if (!socket->waitReadable(0) && socket->waitConnected(timeout)) {
        reusable = false;
        reused = true;
        received = 0;
        errorCode = 0;
        return true;
      }
    }
    drop();
    host = hostText;
    errorCode = 0;
    bool const wasSecure = secure;
    secure = secureWanted;
    HostName name(hostText);
    // A TLS socket is made for one server name: each connection gets its
    // own, and a plain one follows a TLS one.
    if (secureWanted) {
      ITlsContext& context = tls();
      em::CatchError caught(&context);
      boost::shared_ptr<ITlsSocket> const made = context.client(name.host());
      if (!made) {
        errorCode = caught.code() ? caught.code() : 100;
        error = caught.text();
        return false;
      }
      socket = made;
    } else if (wasSecure) {
      socket = ISocket::New(SOCKET_TYPE_TCP);
    }
    socket->setTimeouts(timeout, timeout);
    em::CatchError guard(socket.get());
    IP const ip = name.resolve();
    if (ip.isAny()) {
      // Connecting to 0.0.0.0 would reach this machine instead.
      error = "can't resolve " + name.host();
      return false;
    }
    // With TLS, waitConnected also runs the handshake within the time.
    if (!socket->connect(name.port(secure ? 443 : 80), ip) || !socket->waitConnected(timeout)) {
      errorCode = guard.code();
      error = guard.text();
      socket->close();
      return false;
    }
    received = 0;
    return true;
  }

  bool send(String const& text) {
    if (::zu::util::logger::canLog(3)) ZU_LOG(3, "[DBG1]", loggable(text).cstr());
    em::CatchError guard(socket.get());
    char const* p = text.cstr();
    unsigned int remaining = text.length();
    while (remaining > 0) {
      unsigned int const n = socket->waitWritable(timeout) ? socket->toIO()->write(p, remaining) : 0;
      if (n == 0) {
        errorCode = guard.code();
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
      errorCode = guard.code();
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
      if (n == 0) {
        errorCode = guard.code();
        error = guard.text();
      }
      received += n;
      return n;
    }
    unsigned int const n = size < buffered() ? size : buffered();
    std::memcpy(to, data(), n);
    consume(n);
    return n;
  }

  void drop() {
    socket->close();
    begin_ = end_ = 0;
    reusable = false;
  }

  // TCP, or TLS while `secure`.
  boost::shared_ptr<ISocket> socket;
  bool secure = false;
  // The code and text of the socket's last failure.
  unsigned int errorCode = 0;
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
  boost::shared_ptr<ITlsContext> tls_;
};

// The reading of one response: its head (interim ones passed over by the
// caller), then its body as the head frames it.
class ResponseHandler {
 public:
  enum Kind { ERROR, REDIRECT, NO_BODY, BODY };
  enum Mode { MODE_NONE, MODE_LENGTH, MODE_CHUNKED, MODE_CLOSE };

  explicit ResponseHandler(SocketClient& connection) : connection_(&connection) {}

  // `head`: the request was HEAD, whose answer has no body whatever its
  // head announces.
  Kind readHead(MIME& headers, unsigned int& status, bool head) {
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
    if (!parseStatusLine(parser.startLine(), status)) return failedHead();
    MIME const& received = parser.headers();
    for (unsigned int i = 0, n = received.size(); i < n; ++i) {
      ZU_LOG(5, "[DBG3]", received.lines[i].name.cstr() << ": " << received.lines[i].value.cstr());
      headers.set(received.lines[i].name, received.lines[i].value);
    }
    closing = hasToken(headers, literals::connection, "close");
    interim = status < 200 && status != 101;
    if (interim || head || status == 204 || status == 304) {
      noBody = true;
      return NO_BODY;
    }
    Framing const framing = framingOf(headers);
    switch (framing.kind) {
      case Framing::FRAMING_INVALID:
        error = "invalid content length.";
        return ERROR;
      case Framing::FRAMING_LENGTH:
        if (framing.length > 0xFFFFFFFFu) {
          error = "invalid content length.";
          return ERROR;
        }
        mode = MODE_LENGTH;
        length = static_cast<unsigned int>(framing.length);
        break;
      case Framing::FRAMING_CHUNKED:
        mode = MODE_CHUNKED;
        // A peer that framed it two ways may be read two ways by whoever
        // stands between: nothing more goes over this connection.
        if (framing.both) closing = true;
        break;
      default:
        // Delimited by the end of the connection.
        mode = MODE_CLOSE;
        closing = true;
        break;
    }
    // get() leaves a 404's page unread; request() reads it.
    if (status == 404) return NO_BODY;
    if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) return REDIRECT;
    return BODY;
  }

  // The body as the head frames it, into `sink` (room(want) for up to
  // `want` bytes and commit(n) of those, or append(data, n));
  // `complete` tells whether the connection stands at the start of the
  // next answer afterwards.
  template <class Sink>
  bool readBody(Sink& sink) {
    if (noBody) return complete = true;
    if (mode == MODE_CHUNKED) {
      ChunkedDecoder chunks(maxChunkSize, responseLimits.maxLine, responseLimits.maxHead);
      auto take = [&](unsigned char const* data, unsigned int n) { sink.append(data, n); };
      for (;;) {
        connection_->consume(chunks.feed(connection_->data(), connection_->buffered(), take));
        if (chunks.state() == ChunkedDecoder::CHUNK_DONE) return complete = true;
        // The body is whole though its trailer is broken or cut off: the
        // connection cannot carry another answer.
        if (chunks.state() == ChunkedDecoder::CHUNK_FAILED || !connection_->fill()) {
          complete = false;
          if (chunks.bodyComplete()) return true;
          error = chunks.state() == ChunkedDecoder::CHUNK_FAILED
                      ? chunks.error()
                      : String(chunks.state() == ChunkedDecoder::CHUNK_DATA ? "can't read chunk data.err="
                                                                              : "can't read chunk size line.err:") +
                            connection_->error;
          return false;
        }
      }
    }
    unsigned int remaining = mode == MODE_LENGTH ? length : 0xFFFFFFFFu;
    while (remaining > 0) {
      unsigned int const want = remaining < receiveBlock ? remaining : receiveBlock;
      unsigned int const n = connection_->read(sink.room(want), want);
      if (n == 0) {
        complete = false;
        // The end of a body that the connection's end delimits.
        if (mode == MODE_CLOSE && connection_->error.empty()) return true;
        error = "can't read content.err=" + connection_->error;
        return false;
      }
      sink.commit(n);
      if (mode == MODE_LENGTH) remaining -= n;
    }
    return complete = true;
  }

  String error;
  Mode mode = MODE_NONE;
  unsigned int length = 0;
  bool noBody = false;
  // A 1xx answer before the real one.
  bool interim = false;
  // The connection cannot carry another exchange after this answer.
  bool closing = false;
  bool complete = false;

 private:
  // "HTTP/" version, a blank, three digits from 100 to 599, then a blank
  // and the reason phrase, which may be empty or missing.
  static bool parseStatusLine(String const& line, unsigned int& status) {
    char const* p = line.cstr();
    if (std::strncmp(p, "HTTP/", 5) != 0) return false;
    char const* blank = std::strchr(p, ' ');
    if (!blank) return false;
    char const* code = blank + 1;
    if (code[0] < '1' || code[0] > '5' || code[1] < '0' || code[1] > '9' || code[2] < '0' || code[2] > '9')
      return false;
    if (code[3] != 0 && code[3] != ' ') return false;
    status = static_cast<unsigned int>((code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0'));
    return true;
  }

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

  bool setCAFile(String const& file) override {
    return tlsSetting([&](ITlsContext& context) { return context.setCAFile(file); });
  }
  bool setCAFolder(String const& folder) override {
    return tlsSetting([&](ITlsContext& context) { return context.setCAFolder(folder); });
  }
  void insecureDisableVerification() override { socketClient_->tls().insecureDisableVerification(); }

 private:
  // A setting of the TLS context whose failure is reported under the
  // client.
  template <class Call>
  bool tlsSetting(Call call) {
    ITlsContext& context = socketClient_->tls();
    em::CatchError caught(&context);
    if (call(context)) return true;
    return fail(caught.code() ? caught.code() : 100, caught.text());
  }

  // A failure of the connection's socket: TLS ones keep their own code.
  bool failConnection(unsigned int kind, String const& text) {
    SocketClient const& connection = *socketClient_;
    if (connection.secure && isTlsFailure(connection.errorCode, connection.error))
      return fail(connection.errorCode, connection.error);
    return fail(kind, text);
  }

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
    ReceiverSink sink(self, receiver);
    bool const ok = handler.readBody(sink);
    connection.reusable = ok && handler.complete && !handler.closing;
    if (!connection.reusable) connection.drop();
    receiver.onEnd(self);
    if (!ok) return failConnection(2, handler.error);
    return true;
  }

  // A request's receiver as the body's destination.
  class ReceiverSink {
   public:
    ReceiverSink(boost::shared_ptr<IHttpClient> const& client, IHttpReceiver& receiver)
        : client_(client), receiver_(receiver) {}
    unsigned char* room(unsigned int want) { return at_ = block_.getBuffer(want); }
    void commit(unsigned int n) { receiver_.onData(client_, at_, n); }
    void append(unsigned char const* data, unsigned int n) { receiver_.onData(client_, data, n); }

   private:
    boost::shared_ptr<IHttpClient> const& client_;
    IHttpReceiver& receiver_;
    ByteArray block_;
    unsigned char* at_ = nullptr;
  };

  // The request target: the path with each byte a path may hold as it is
  // and every other one percent-encoded (a blank as "%20"), then the query
  // as the URL writes it. The fragment stays with the client; an empty path
  // asks for "/".
  static String targetOf(URL const& url) {
    static char const digits[] = "0123456789ABCDEF";
    String const path = url.getPath();
    std::string text;
    text.reserve(path.length() + 16);
    if (path.empty() || path.cstr()[0] != '/') text += '/';
    for (char const* p = path.cstr(); *p; ++p) {
      unsigned char const c = static_cast<unsigned char>(*p);
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          std::strchr("-._~!$&'()*+,;=:@/", c) != nullptr) {
        text += static_cast<char>(c);
      } else {
        text += '%';
        text += digits[c >> 4];
        text += digits[c & 15];
      }
    }
    if (!url.getQueries().empty()) {
      URL query;
      query.setQueries(url.getQueries());
      String const rest = query.toString(true);
      unsigned int const mark = rest.find('?');
      if (mark != 0xFFFFFFFFu) text.append(rest.cstr() + mark, rest.length() - mark);
    }
    return String(text.data(), static_cast<unsigned int>(text.size()));
  }

  String requestText(String const& method, URL const& url, MIME const& headers, String const& body,
                     bool keepAlive) const {
    MIME block(headers);
    if (!block.contains(literals::host)) block.set(literals::host, url.getHostName());
    if (!block.contains(literals::userAgent)) block.set(literals::userAgent, userAgent_);
    if (!body.empty() && !block.contains(literals::contentLength))
      block.set(literals::contentLength, String(body.length()));
    if (keepAlive) block.set(literals::connection, literals::keepAlive);
    // Nothing follows the body: a line end behind it would be read as the
    // start of the next request.
    String text = method + " " + targetOf(url) + " " + literals::protocolVersion + literals::lineEnd;
    text += block.toString();
    text += literals::lineEnd;
    text += body;
    return text;
  }

  // Sends the request and reads the response head, passing over interim
  // answers and following redirects; with `responseBody`, also reads the
  // body into it. `last` receives the handler of the final answer when the
  // caller reads the body itself.
  bool exchange(String const& firstMethod, String const& urlText, MIME const& firstHeaders,
                String const& firstBody, MIME& responseHeaders, BodyBuffer* responseBody, bool keepAlive,
                ResponseHandler* last = nullptr) {
    URL url(urlText);
    if (!isHttp(url) && !isHttps(url)) return fail(2, "url scheme error. only support http.");
    SocketClient& connection = *socketClient_;
    String method = firstMethod;
    MIME headers = firstHeaders;
    String body = firstBody;
    // A kept connection that the peer closed just as the request went out
    // fails before any byte of an answer; a request that changes nothing
    // is then safe to send once more on a fresh connection.
    bool repeated = false;
    for (unsigned int attempt = 0;; ++attempt) {
      if (attempt >= maxAttempts) return fail(2, "try to max: " + String(maxAttempts));
      bool const repeatable = method.compare("GET") == 0 || method.compare("HEAD") == 0;
      bool const head = method.compare("HEAD") == 0;
      status_ = 100;
      // Each attempt's head stands alone: a redirect's headers must not
      // answer for the final response.
      responseHeaders.reset();
      String const host = url.getHostName();
      bool reused = false;
      if (!connection.open(host, isHttps(url), keepAlive, reused))
        return failConnection(1, "can't open remote host:" + host);
      bool const sent = connection.send(requestText(method, url, headers, body, keepAlive));
      ResponseHandler handler(connection);
      ResponseHandler::Kind kind = ResponseHandler::ERROR;
      if (sent) {
        // Interim answers (100 Continue, 103 Early Hints) come before the
        // real one.
        for (unsigned int interim = 0;; ++interim) {
          handler = ResponseHandler(connection);
          responseHeaders.reset();
          kind = handler.readHead(responseHeaders, status_, head);
          if (kind == ResponseHandler::ERROR || !handler.interim) break;
          if (interim == maxInterim) {
            handler.error = "too many interim responses.";
            kind = ResponseHandler::ERROR;
            break;
          }
        }
      }
      if (kind == ResponseHandler::ERROR && reused && repeatable && !repeated && connection.received == 0) {
        connection.drop();
        repeated = true;
        --attempt;
        continue;
      }
      if (!sent) {
        connection.drop();
        return failConnection(1, "send request failed.");
      }
      switch (kind) {
        case ResponseHandler::ERROR:
          connection.drop();
          return failConnection(2, handler.error);
        case ResponseHandler::REDIRECT: {
          connection.drop();  // its body, if any, is not read
          String const location = responseHeaders.get(literals::location, String());
          if (location.empty()) return fail(2, "need redirect but location info is none.");
          url = URL(location, url);
          if (!isHttp(url) && !isHttps(url)) return fail(2, "url scheme error. only support http.");
          // 303 asks for the other resource with a GET (HEAD stays HEAD);
          // the others keep the method and body.
          if (status_ == 303 && !head) {
            if (method.compare("GET") != 0) {
              method = "GET";
              body = String();
              MIME kept;
              for (unsigned int i = 0, n = headers.size(); i < n; ++i) {
                StringPair const& pair = headers.lines[i];
                if (pair.name.compare(literals::contentLength, true) != 0 &&
                    pair.name.compare(literals::contentType, true) != 0)
                  kept.set(pair.name, pair.value);
              }
              headers = kept;
            }
          }
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
            return failConnection(2, handler.error);
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
