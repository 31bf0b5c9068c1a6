// The server side of an HTTP connection: requests parsed on the reactor
// thread, responses queued and written as the socket takes them.
#include <zu/bytearray.h>
#include <zu/em.h>
#include <zu/http.h>
#include <zu/sys.h>
#include <zu/time.h>
#include <zu/util.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "core/text.h"
#include "http/http_literals.h"
#include "http/http_message.h"
#include "diag/logging.h"
#include "platform/platform.h"

namespace zu {
namespace net {
namespace http {
namespace impl {

namespace {

unsigned int const readBlock = 4096;
// Reading stops while more than this waits to be sent: a peer that sends
// requests but never reads the answers cannot make the queue grow.
unsigned int const maxQueued = 0x10000;
// Bodies up to this size are copied behind the head to leave in one send.
unsigned int const inlineBody = 0x4000;
// A thread's response buffer is let go when a large answer grew it past this.
std::size_t const keptResponseText = 0x10000;

String const& serverName() {
  static String const text("zu::HttpServer");
  return text;
}
String const& textHtml() {
  static String const text("text/html");
  return text;
}
String const& zeroText() {
  static String const text("0");
  return text;
}

// The Date header's text, formatted once a second per thread.
String currentDate() {
  static thread_local std::time_t second = -1;
  ZU_THREAD_OBJECT(String, text);
  std::time_t const now = std::time(nullptr);
  if (now != second) {
    text = sys::Time::now().toString(sys::HttpDate, 0);
    second = now;
  }
  return text;
}

// "HTTP/1.1 <code> <reason>\r\n", the last one kept per thread.
void appendStatusLine(std::string& to, HttpStatus::E_Code code) {
  static thread_local int last = -1;
  ZU_THREAD_OBJECT(std::string, line);
  if (static_cast<int>(code) != last) {
    line = std::string(literals::protocolVersion) + " " + std::to_string(static_cast<unsigned int>(code)) + " " +
           HttpStatus::text(code).cstr() + literals::lineEnd;
    last = static_cast<int>(code);
  }
  to += line;
}

enum ConnectionState {
  CONNECTION_IDLE = 1,       // waiting for a request; the idle time-out runs
  CONNECTION_RECEIVING = 2,  // a request is arriving; the receive time-out runs
  CONNECTION_ANSWERING = 3   // a request (or a bad one) is with the host; no reading
};

enum ParseState {
  PARSE_HEAD,      // request line and header lines
  PARSE_BODY,      // waiting for the Content-Length bytes
  PARSE_CHUNKS,    // reading a chunked body
  PARSE_ERROR,     // broken: the request cannot be delivered
  PARSE_COMPLETE   // a request is ready
};

// Interval of the time-out tick.
unsigned int const tickInterval = 1000;

}  // namespace

class HttpConnection : public IHttpConnection,
                       public ISocketCallback,
                       public sys::ITimerCallback,
                       public boost::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(boost::shared_ptr<ISocket> socket, unsigned int idle, unsigned int receive,
                 HttpLimits const& limits)
      : limits_(limits),
        socket_(socket),
        timer_(sys::ITimer::New(0)),
        idleTimeout_(idle),
        receiveTimeout_(receive),
        outputMoved_(idle),
        inputSocket_(std::move(socket)),
        head_(HeadLimits{limits.maxLine, limits.maxHeaders, limits.maxHead, true, true}),
        chunks_(0xFFFFFFFFu, limits.maxLine, limits.maxHead) {}

  ~HttpConnection() override {
    sys::ScopedLock lock(lock_);
    if (socket_) close();
  }

  void start(boost::weak_ptr<IHttpConnectionCallback> callback) override {
    sys::ScopedLock lock(lock_);
    if (!socket_) return;
    callback_ = callback;
    socket_->attach("http-connection", 0xFFFFFFFF, 0, sys::Normal);
    socket_->setCallback(boost::weak_ptr<ISocketCallback>(boost::shared_ptr<ISocketCallback>(shared_from_this())));
    socket_->modifyEvents(SOCKET_EVENT_READ, 0);
    timer_->start(tickInterval,
                  boost::weak_ptr<sys::ITimerCallback>(boost::shared_ptr<sys::ITimerCallback>(shared_from_this())));
  }

  void respond(HttpResponse& response) override {
    try {
      answer(response);
    } catch (std::bad_alloc const&) {
      IHttpConnection const* owner = this;
      em::report(owner, 100, "out of memory");
    }
  }

  void answer(HttpResponse& response) {
    sys::ScopedLock lock(lock_);
    if (state_ != CONNECTION_ANSWERING || !socket_) return;
    MIME& headers = response.headers;
    if (!headers.contains(literals::server)) headers.set(literals::server, serverName());
    if (!headers.contains(literals::contentType)) headers.set(literals::contentType, textHtml());
    if (!headers.contains(literals::date)) headers.set(literals::date, currentDate());
    if (closing_ && !hasToken(headers, literals::connection, "close")) headers.set(literals::connection, "close");
    unsigned int const code = static_cast<unsigned int>(response.code);
    unsigned int const bodyLength = response.body.length();
    if (bodyLength != 0) {
      headers.set(literals::contentLength, String(bodyLength));
    } else if (code >= 200 && code != 204 && code != 304 && !headers.contains(literals::contentLength)) {
      // On a persistent connection a response without a length would only
      // end when the connection does.
      headers.set(literals::contentLength, zeroText());
    }
    // Status line, header block and a body of common size leave in one
    // send; the text is built in a buffer that each thread reuses.
    std::string& text = responseText();
    text.clear();
    appendStatusLine(text, response.code);
    for (unsigned int i = 0, n = headers.size(); i < n; ++i) {
      StringPair const& pair = headers.lines[i];
      // The caller's record keeps a length it set, but the answer carries
      // only the body's, appended last: two lengths would frame it two ways,
      // and a peer that believed the other one would read the next answer
      // as part of this one.
      if (bodyLength != 0 && i + 1 != n && pair.name.compare(literals::contentLength, true) == 0) continue;
      text.append(pair.name.cstr(), pair.name.length());
      text.append(literals::headerSeparator, 2);
      text.append(pair.value.cstr(), pair.value.length());
      text.append(literals::lineEnd, 2);
    }
    text.append(literals::lineEnd, 2);
    if (bodyLength <= inlineBody) {
      text.append(response.body.cstr(), bodyLength);
      send(text.data(), static_cast<unsigned int>(text.size()));
    } else {
      send(text.data(), static_cast<unsigned int>(text.size()));
      send(response.body.cstr(), bodyLength);
    }
    if (text.capacity() > keptResponseText) std::string().swap(text);
    state_ = CONNECTION_IDLE;
    if (closing_) {
      // The host writes the body behind this head itself: closing now
      // would cut it off.
      bool const bodyFollows =
          !answeredHead_ && bodyLength == 0 && code >= 200 && code != 204 && code != 304 &&
          headers.get(literals::contentLength, zeroText()).compare(zeroText()) != 0;
      if (!bodyFollows) {
        closeAfterSending_ = true;
        if (!output_) shutDown();
      }
      return;
    }
    idleTimeout_.restart();
    readPaused_ = output_ && output_->size() > maxQueued;
    if (!readPaused_ && readingOff_) {
      readingOff_ = false;
      socket_->modifyEvents(SOCKET_EVENT_READ, 0);
    }
  }

  ISocket* socket() override { return socket_ ? socket_.get() : inputSocket_.get(); }

  unsigned int refusedStatus() override {
    sys::ScopedLock lock(lock_);
    return refused_;
  }

  void onSocketEvent(boost::shared_ptr<ISocket>, unsigned int events, ByteArray&) override {
    boost::shared_ptr<HttpConnection> self = shared_from_this();
    try {
      if (events & SOCKET_EVENT_READ) read();
      if (events & SOCKET_EVENT_WRITE) flush();
    } catch (std::bad_alloc const&) {
      // Nothing may leave through the reactor: the request in hand is lost.
      ZU_LOG(0, "[ERR ]", "http connection: out of memory");
    }
  }

  void onTimer(boost::shared_ptr<sys::ITimer>) override {
    boost::shared_ptr<HttpConnection> self = shared_from_this();
    bool expired = false, pending = false, closed = false;
    {
      sys::ScopedLock lock(lock_);
      if (shutDown_ && !shutDownReported_) {
        shutDownReported_ = closed = true;
      }
    }
    if (closed) {
      // The host learns that the connection it answered has gone.
      timer_->stop();
      boost::shared_ptr<IHttpConnectionCallback> callback = callback_.lock();
      if (callback) callback->onEvent(self, 2);
      return;
    }
    {
      sys::ScopedLock lock(lock_);
      if (!socket_ || !socket_->isOpen()) return;
      // A queue that has not moved for the idle time-out: the peer stopped
      // reading.
      expired = (state_ == CONNECTION_IDLE && idleTimeout_.timedOut()) ||
                (state_ == CONNECTION_RECEIVING && receiveTimeout_.timedOut()) ||
                (output_ && outputMoved_.timedOut());
      pending = state_ == CONNECTION_IDLE && !readPaused_ && !closing_ && position_ < end_;
    }
    // No library lock is held while the host's callback runs.
    if (expired) {
      boost::shared_ptr<IHttpConnectionCallback> callback = callback_.lock();
      if (callback) callback->onEvent(self, 3);
    }
    // A request that was already buffered when a later respond() came from
    // another thread: no readable event will announce it.
    if (pending) parseBuffered();
  }

 private:
  enum Outcome { NOTHING, REQUEST, BAD_REQUEST, PEER_CLOSED };

  void read() {
    boost::shared_ptr<IHttpConnectionCallback> callback;
    HttpRequest request;
    Outcome outcome;
    {
      sys::ScopedLock lock(lock_);
      if (!socket_) return;
      // No reading while a request is being answered or answers pile up.
      // Reading stays on while a request is answered at once, as most are:
      // it is switched off only when bytes come in meanwhile.
      if (state_ == CONNECTION_ANSWERING || readPaused_ || closing_) {
        if (!readingOff_) {
          readingOff_ = true;
          socket_->modifyEvents(0, SOCKET_EVENT_READ);
        }
        return;
      }
      callback = callback_.lock();
      if (!callback) {
        close();
        return;
      }
      // The receive time-out runs from a request's first byte to its last,
      // however the peer spreads them.
      if (state_ == CONNECTION_IDLE) {
        state_ = CONNECTION_RECEIVING;
        receiveTimeout_.restart();
      }
      // Between requests nothing is buffered: the bytes are read into the
      // reactor thread's block and parsed there, and only what is left of an
      // unfinished request is kept by the connection.
      bool const between = end_ == 0;
      unsigned char* at = between ? scratch() : data_.getBuffer(end_ + readBlock) + end_;
      unsigned int const n = socket_->recv(at, readBlock);
      if (n == 0) {
        state_ = CONNECTION_IDLE;
        idleTimeout_.restart();
        readingOff_ = true;
        socket_->modifyEvents(0, SOCKET_EVENT_READ);
        outcome = PEER_CLOSED;
      } else if (between) {
        unsigned int position = 0;
        outcome = step(reinterpret_cast<char const*>(at), position, n, request);
        if (outcome != BAD_REQUEST && position < n) {
          std::memcpy(data_.getBuffer(n - position), at + position, n - position);
          end_ = n - position;
        }
      } else {
        end_ += n;
        outcome = stepBuffered(request);
      }
      settleBlankInput(outcome);
    }
    deliver(callback, outcome, request);
  }

  // Parses what is already buffered (state 1 only) and delivers it.
  void parseBuffered() {
    boost::shared_ptr<IHttpConnectionCallback> callback;
    HttpRequest request;
    Outcome outcome = NOTHING;
    {
      sys::ScopedLock lock(lock_);
      if (!socket_ || state_ != CONNECTION_IDLE || readPaused_ || closing_ || position_ >= end_) return;
      callback = callback_.lock();
      if (!callback) return;
      state_ = CONNECTION_RECEIVING;
      receiveTimeout_.restart();
      outcome = stepBuffered(request);
    }
    deliver(callback, outcome, request);
  }

  // Calls the callback without the lock. When the callback answered at once
  // and the next request is already buffered (sent back to back), that one
  // is parsed and delivered too.
  void deliver(boost::shared_ptr<IHttpConnectionCallback> const& callback, Outcome outcome, HttpRequest& request) {
    boost::shared_ptr<IHttpConnection> self = shared_from_this();
    for (;;) {
      switch (outcome) {
        case NOTHING:
          return;
        case PEER_CLOSED:
          callback->onEvent(self, 2);
          return;
        case BAD_REQUEST:
          callback->onEvent(self, 0);
          return;  // the rest of the input was dropped
        case REQUEST:
          callback->onRequest(self, request);
          break;
      }
      sys::ScopedLock lock(lock_);
      if (!socket_ || state_ != CONNECTION_IDLE || readPaused_ || closing_ || position_ >= end_) return;
      state_ = CONNECTION_RECEIVING;
      receiveTimeout_.restart();
      outcome = stepBuffered(request);
    }
  }

  // The parser over the connection's own buffer; under the lock.
  Outcome stepBuffered(HttpRequest& out) {
    Outcome const outcome = step(reinterpret_cast<char const*>(data_.ptr()), position_, end_, out);
    if (outcome == BAD_REQUEST) {
      position_ = end_ = 0;
    } else if (outcome == REQUEST) {
      compact();
    }
    // Nothing buffered: an idle connection holds no receive buffer.
    if (end_ == 0) data_ = ByteArray();
    settleBlankInput(outcome);
    return outcome;
  }

  // When only blank lines came (the line end a client may send behind a
  // body), no request has begun: back to idle, so the receive time-out does
  // not run. Under the lock.
  void settleBlankInput(Outcome outcome) {
    if (outcome == NOTHING && state_ == CONNECTION_RECEIVING && position_ >= end_ && !head_.hasStartLine()) {
      position_ = end_ = 0;
      data_ = ByteArray();
      state_ = CONNECTION_IDLE;
    }
  }

  // Advances the parser over input[position, end); under the lock. A
  // complete or bad request moves the connection to CONNECTION_ANSWERING;
  // after a bad one the caller drops the rest of the input, since the stream
  // cannot be re-synchronised behind it.
  Outcome step(char const* input, unsigned int& position, unsigned int end, HttpRequest& out) {
    if (parseState_ == PARSE_HEAD) {
      position += head_.feed(input + position, end - position);
      if (head_.hasStartLine() && !startChecked_) {
        startChecked_ = true;
        checkStartLine();
      }
      if (parseState_ == PARSE_HEAD) {
        if (head_.state() == HeadParser::HEAD_FAILED) {
          HeadParser::Failure const why = head_.failure();
          refuse(why == HeadParser::FAILED_START_LINE ? 414 : why == HeadParser::FAILED_FIELDS ? 431 : 400);
        } else if (head_.state() == HeadParser::HEAD_COMPLETE) {
          checkFraming();
        }
      }
    }
    if (parseState_ == PARSE_BODY) {
      if (end - position >= bodyLength_) {
        request_.body = String(input + position, bodyLength_);
        position += bodyLength_;
        parseState_ = PARSE_COMPLETE;
      }
    }
    if (parseState_ == PARSE_CHUNKS) {
      position += chunks_.feed(input + position, end - position, [this](unsigned char const* data, unsigned int n) {
        if (n > limits_.maxBody - body_.size()) {
          tooLarge_ = true;
        } else if (!tooLarge_) {
          body_.append(reinterpret_cast<char const*>(data), n);
        }
      });
      if (tooLarge_) {
        refuse(413);
      } else if (chunks_.state() == ChunkedDecoder::CHUNK_FAILED) {
        refuse(400);
      } else if (chunks_.state() == ChunkedDecoder::CHUNK_DONE) {
        request_.body = String(body_.data(), static_cast<unsigned int>(body_.size()));
        parseState_ = PARSE_COMPLETE;
      }
    }
    if (parseState_ == PARSE_ERROR) {
      resetParser();
      closing_ = true;
      answeredHead_ = false;
      state_ = CONNECTION_ANSWERING;
      return BAD_REQUEST;
    }
    if (parseState_ == PARSE_COMPLETE) {
      request_.headers = head_.headers();
      if (absolute_)
        request_.url = URL(target_);
      else if (request_.headers.contains(literals::host))
        request_.url = URL("http://" + request_.headers.get(literals::host, String()) + target_);
      if (hasToken(request_.headers, literals::connection, "close")) closing_ = true;
      request_.target = target_;
      answeredHead_ = request_.method.compare("HEAD") == 0;
      out = request_;
      resetParser();
      state_ = CONNECTION_ANSWERING;
      return REQUEST;
    }
    return NOTHING;
  }

  void refuse(unsigned int status) {
    refused_ = status;
    parseState_ = PARSE_ERROR;
  }

  // Method, target and "HTTP/1.1", one blank between each.
  void checkStartLine() {
    char const* text = head_.startLine().cstr();
    unsigned int const length = head_.startLine().length();
    char const* first = static_cast<char const*>(std::memchr(text, ' ', length));
    char const* second = first ? static_cast<char const*>(std::memchr(first + 1, ' ', length - (first + 1 - text)))
                               : nullptr;
    if (!first || !second || first == text || second == first + 1 || std::strlen(text) != length) {
      return refuse(400);
    }
    char const* version = second + 1;
    unsigned int const versionLength = length - static_cast<unsigned int>(version - text);
    if (versionLength != sizeof literals::protocolVersion - 1 ||
        !::zu::__::equalIgnoringAsciiCase(version, literals::protocolVersion, versionLength)) {
      // Another version of the protocol, or not the protocol at all.
      bool const http = versionLength == 8 && ::strncmp(version, "HTTP/", 5) == 0 && version[5] >= '0' &&
                        version[5] <= '9' && version[6] == '.' && version[7] >= '0' && version[7] <= '9';
      return refuse(http ? 505 : 400);
    }
    request_.method = String(text, static_cast<unsigned int>(first - text));
    target_ = String(first + 1, static_cast<unsigned int>(second - first - 1));
    absolute_ = target_.length() >= 7 && ::zu::__::equalIgnoringAsciiCase(target_.cstr(), "http://", 7);
    if (!absolute_ && target_.cstr()[0] != '/' && !(target_.length() == 1 && target_.cstr()[0] == '*')) refuse(400);
  }

  // How the complete head frames the body; a head that could frame it
  // more than one way is refused.
  void checkFraming() {
    MIME const& headers = head_.headers();
    if (headers.getValues(literals::host).size() > 1) return refuse(400);
    Framing const framing = framingOf(headers);
    switch (framing.kind) {
      case Framing::FRAMING_INVALID:
        return refuse(400);
      case Framing::FRAMING_CODING:
        return refuse(framing.both ? 400 : 501);
      case Framing::FRAMING_CHUNKED:
        if (framing.both) return refuse(400);
        parseState_ = PARSE_CHUNKS;
        return;
      case Framing::FRAMING_LENGTH:
        if (framing.length > limits_.maxBody) return refuse(413);
        bodyLength_ = static_cast<unsigned int>(framing.length);
        parseState_ = bodyLength_ == 0 ? PARSE_COMPLETE : PARSE_BODY;
        return;
      case Framing::FRAMING_NONE:
        parseState_ = PARSE_COMPLETE;
        return;
    }
  }

  void resetParser() {
    parseState_ = PARSE_HEAD;
    head_.reset();
    startChecked_ = false;
    request_ = HttpRequest();
    target_ = String();
    absolute_ = false;
    bodyLength_ = 0;
    if (!body_.empty()) std::string().swap(body_);
    tooLarge_ = false;
    chunks_.reset();
  }

  // Moves the bytes not yet parsed to the front, so a long-lived connection
  // keeps a buffer the size of one request rather than of its history.
  void compact() {
    if (position_ == 0) return;
    unsigned int const rest = end_ - position_;
    if (rest) {
      unsigned char* b = data_.getBuffer(0);
      std::memmove(b, b + position_, rest);
    }
    end_ = rest;
    position_ = 0;
  }

  // Sends what the socket takes now and queues the rest behind anything
  // queued before; under the lock. A failed send also leaves bytes unsent:
  // they are queued like the rest, and the flush that the socket's
  // writability brings finds the failure and drops them.
  void send(char const* p, unsigned int length) {
    if (length == 0) return;
    if (output_) {
      output_->toIO()->write(p, length);
      socket_->modifyEvents(SOCKET_EVENT_WRITE, 0);
      return;
    }
    unsigned int const n = socket_->send(p, length);
    if (n < length) {
      output_ = util::IPipeBuffer::New();
      outputMoved_.restart();
      output_->toIO()->write(p + n, length - n);
      socket_->modifyEvents(SOCKET_EVENT_WRITE, 0);
    }
  }

  void flush() {
    bool resumed = false;
    {
      sys::ScopedLock lock(lock_);
      if (!socket_) return;
      if (output_) {
        em::CatchError guard(socket_.get());
        unsigned int const n = socket_->send(output_->data(), output_->size());
        if (guard.code() != 0) {
          // A failed socket stays writable: keeping the bytes would turn
          // every pass of the reactor into another failed send.
          output_->clear();
        } else {
          output_->toIO()->read(nullptr, n);
          if (n) outputMoved_.restart();
        }
        // An idle connection holds no queue.
        if (output_->empty()) output_.reset();
      }
      if (!output_ && closeAfterSending_) {
        shutDown();
        return;
      }
      if (!output_) socket_->modifyEvents(0, SOCKET_EVENT_WRITE);
      if (readPaused_ && (!output_ || output_->size() <= maxQueued)) {
        readPaused_ = false;
        if (readingOff_) {
          readingOff_ = false;
          socket_->modifyEvents(SOCKET_EVENT_READ, 0);
        }
        resumed = position_ < end_;
      }
    }
    // Requests that came in while reading was paused.
    if (resumed) parseBuffered();
  }

  static unsigned char* scratch() {
    static thread_local unsigned char block[readBlock];
    return block;
  }

  static std::string& responseText() {
    ZU_THREAD_OBJECT(std::string, text);
    return text;
  }

  // The last answer is sent and nothing more will be read: the socket
  // closes, and the next tick tells the host. Under the lock.
  void shutDown() {
    // What the peer sent meanwhile is read first: unread bytes would turn
    // the close into a reset, which may destroy the answer on its way.
    for (unsigned int i = 0; i < 16 && socket_->recv(scratch(), readBlock) != 0; ++i) {
    }
    socket_->modifyEvents(0, SOCKET_EVENT_READ | SOCKET_EVENT_WRITE);
    socket_->close();
    socket_.reset();
    shutDown_ = true;
    // The host hears of it at once, from the timer's thread.
    timer_->start(1, boost::weak_ptr<sys::ITimerCallback>(boost::shared_ptr<sys::ITimerCallback>(shared_from_this())));
  }

  // Stops the tick and all events and lets go of the socket; the input keeps
  // its reference, so the handle closes when the connection goes.
  void close() {
    timer_->stop();
    socket_->modifyEvents(0, SOCKET_EVENT_READ | SOCKET_EVENT_WRITE);
    state_ = CONNECTION_IDLE;
    idleTimeout_.restart();
    if (::zu::util::logger::canLog(5)) {
      Address const peer = socket_->remoteAddress();
      ZU_LOG(5, "[DBG3]", "close connection " << peer.ip.toDotNotation().cstr() << ":" << peer.port);
    }
    socket_.reset();
  }

  HttpLimits const limits_;
  boost::shared_ptr<ISocket> socket_;
  boost::weak_ptr<IHttpConnectionCallback> callback_;
  sys::Mutex lock_;
  boost::shared_ptr<sys::ITimer> const timer_;
  ConnectionState state_ = CONNECTION_IDLE;
  sys::Timeout idleTimeout_;
  sys::Timeout receiveTimeout_;
  // Bytes the socket did not take yet; none (and no buffer) while idle.
  boost::shared_ptr<util::IPipeBuffer> output_;
  // Restarted whenever the queue takes its first bytes or loses some.
  sys::Timeout outputMoved_;
  // Reading waits for the queue to drain below maxQueued.
  bool readPaused_ = false;
  // Read interest is off at the reactor (see read()).
  bool readingOff_ = false;
  // The receive buffer: data_[position_, end_) is received and not parsed.
  boost::shared_ptr<ISocket> const inputSocket_;
  ByteArray data_;
  unsigned int end_ = 0;
  unsigned int position_ = 0;
  // The parser: the head, then the body the head announces.
  ParseState parseState_ = PARSE_HEAD;
  HeadParser head_;
  bool startChecked_ = false;
  HttpRequest request_;
  String target_;
  bool absolute_ = false;  // the target is a whole URL
  unsigned int bodyLength_ = 0;
  ChunkedDecoder chunks_;
  std::string body_;  // a chunked body as it arrives
  bool tooLarge_ = false;
  // The status of the last refused request.
  unsigned int refused_ = 400;
  // Nothing more is read: the next answer is the last.
  bool closing_ = false;
  // The request being answered is a HEAD.
  bool answeredHead_ = false;
  bool closeAfterSending_ = false;
  bool shutDown_ = false;
  bool shutDownReported_ = false;
};

}  // namespace impl

boost::shared_ptr<IHttpConnection> IHttpConnection::New(boost::shared_ptr<ISocket> socket, unsigned int idle,
                                                        unsigned int receive) {
  return boost::make_shared<impl::HttpConnection>(std::move(socket), idle, receive, HttpLimits());
}

boost::shared_ptr<IHttpConnection> IHttpConnection::New(boost::shared_ptr<ISocket> socket, unsigned int idle,
                                                        unsigned int receive, HttpLimits const& limits) {
  return boost::make_shared<impl::HttpConnection>(std::move(socket), idle, receive, limits);
}

}  // namespace http
}  // namespace net
}  // namespace zu
