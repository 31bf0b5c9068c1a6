// A TLS connection over a plain TCP socket.
//
// OpenSSL never touches the descriptor: it reads and writes one end of a
// BIO pair, and the socket moves the bytes between the other end and the
// plain ISocket. The descriptor thus keeps its one owner (close from any
// thread, error kinds, non-blocking calls behave as for plain sockets), the
// TLS code runs over any ISocket, and the pair's fixed size bounds what a
// connection buffers in each direction. A secured connection with nothing
// in transit gives its pair back and makes a new one when bytes next move,
// as OpenSSL does with its own record buffers: an idle connection holds only
// the session's state. OpenSSL's "wants read" and "wants
// write" become the plain socket's read and write interest: an empty pair
// on the way in, bytes left in the pair on the way out.
//
// In a reactor, the plain socket's events come to this socket (through a
// relay it holds), which moves bytes, drives the handshake, and only then
// tells its own callback what the caller asked for: readable when
// application data, the peer's close or a failure waits, writable when the
// pair has room. When decrypted data is already buffered inside OpenSSL,
// no descriptor event would announce it: write interest on the plain
// socket (always writable) brings the runner back at once.
#include "net/tls_context.h"

#if ZU_WITH_TLS

#include <boost/enable_shared_from_this.hpp>
#include <climits>
#include <zu/em.h>
#include <zu/time.h>

#include "platform/socket_platform.h"

namespace zu {
namespace net {
namespace impl {

namespace {

// Each direction's buffer between OpenSSL and the socket.
int const pairSize = 17 * 1024;
// The most plaintext one record carries.
unsigned int const maxRecord = 16384;
// More than a record adds to its plaintext (header, nonce, tag, MAC and
// block padding): a send is cut so that its records fit the pair.
unsigned int const recordOverhead = 256;

unsigned int const readWrite = SOCKET_EVENT_READ | SOCKET_EVENT_WRITE;
unsigned int const allEvents = SOCKET_EVENT_READ | SOCKET_EVENT_WRITE | SOCKET_EVENT_CONNECT;

// A dotted IPv4 address (four decimal numbers up to 255): verified as an
// address and never sent as SNI, which carries names only.
bool isAddressLiteral(char const* text) {
  int parts = 0;
  while (true) {
    int digits = 0, value = 0;
    while (*text >= '0' && *text <= '9') {
      value = value * 10 + (*text++ - '0');
      if (++digits > 3) return false;
    }
    if (digits == 0 || value > 255) return false;
    ++parts;
    if (*text == '\0') return parts == 4;
    if (*text++ != '.' || parts == 4) return false;
  }
}

// What a blocking wait has left of `limit` ms started at `since`.
unsigned int remaining(sys::Timeout const& since, unsigned int limit) {
  if (limit == NO_LIMIT) return NO_LIMIT;
  unsigned int const spent = since.elapse();
  return spent >= limit ? 0 : limit - spent;
}

}  // namespace

class TlsSocket;

// The plain socket's callback and the handshake timer's: held by the TLS
// socket, holding it weakly.
class TlsRelay : public ISocketCallback, public sys::ITimerCallback {
 public:
  void onSocketEvent(boost::shared_ptr<ISocket>, unsigned int events, ByteArray& buffer) override;
  void onTimer(boost::shared_ptr<sys::ITimer> timer) override;
  boost::weak_ptr<TlsSocket> socket;
};

class TlsSocket : public ITlsSocket, public func::IIO, public boost::enable_shared_from_this<TlsSocket> {
 public:
  enum State { CLOSED, CONNECTING, HANDSHAKING, SECURED, FAILED };

  TlsSocket(boost::shared_ptr<TlsContext> const& context, boost::shared_ptr<ISocket> const& plain, bool server,
            String const& hostName)
      : context_(context), plain_(plain), server_(server), hostName_(hostName), relay_(new TlsRelay),
        readTimeout_(NO_LIMIT), writeTimeout_(NO_LIMIT) {}

  ~TlsSocket() override {
    close();
    if (timer_) timer_->stop();
  }

  // Ties the plain socket's events to this one; the factories call it once
  // the shared pointer exists.
  void bind() {
    relay_->socket = shared_from_this();
    plain_->setCallback(boost::weak_ptr<ISocketCallback>(relay_));
  }

  // The server side: the handshake starts now, bounded by the timer.
  void startServer() {
    sys::ScopedLock guard(lock_);
    if (!plain_->isOpen() || !newSession()) return;
    noDelay();
    state_ = HANDSHAKING;
    startTimer();
    updateInterest();
  }

  // ITlsSocket
  bool isSecured() override {
    sys::ScopedLock guard(lock_);
    return state_ == SECURED;
  }

  String protocolVersion() override {
    sys::ScopedLock guard(lock_);
    return state_ == SECURED ? String(ssl().SSL_get_version(ssl_)) : String();
  }

  String applicationProtocol() override {
    sys::ScopedLock guard(lock_);
    if (state_ != SECURED) return String();
    unsigned char const* name = nullptr;
    unsigned int length = 0;
    ssl().SSL_get0_alpn_selected(ssl_, &name, &length);
    return name ? String(std::string(reinterpret_cast<char const*>(name), length).c_str()) : String();
  }

  // ISocket
  func::IIO* toIO() override { return this; }
  SocketType type() override { return SOCKET_TYPE_TCP; }

  void setCallback(boost::weak_ptr<ISocketCallback> callback) override {
    sys::ScopedLock guard(lock_);
    callback_ = callback;
    updateInterest();
  }

  void attach(String const& name, unsigned int capacity, unsigned int period,
              sys::ThreadPriority priority) override {
    plain_->attach(name, capacity, period, priority);
  }

  bool attach(boost::shared_ptr<IReactor> reactor) override { return plain_->attach(reactor); }
  bool isAttached() override { return plain_->isAttached(); }

  void modifyEvents(unsigned int set, unsigned int clear) override {
    sys::ScopedLock guard(lock_);
    userMask_ = (userMask_ | set) & ~clear & allEvents;
    updateInterest();
  }

  unsigned int events() override {
    sys::ScopedLock guard(lock_);
    return userMask_;
  }

  bool listen(unsigned short, IP const&, int) override { return notHere(); }
  boost::shared_ptr<ISocket> accept(Address*) override {
    notHere();
    return boost::shared_ptr<ISocket>();
  }
  unsigned int recvFrom(void*, unsigned int, Address&) override { return notHere(); }
  unsigned int sendTo(void const*, unsigned int, unsigned short, IP const&) override { return notHere(); }

  bool connect(unsigned short port, IP const& ip, unsigned short localPort, IP const& localIp) override {
    if (server_) return notHere();
    {
      sys::ScopedLock guard(lock_);
      endSession(false);
    }
    if (!forward([&] { return plain_->connect(port, ip, localPort, localIp); })) return false;
    sys::ScopedLock guard(lock_);
    if (!newSession()) return false;
    noDelay();
    state_ = CONNECTING;
    startTimer();
    updateInterest();
    return true;
  }

  bool isOpen() override {
    {
      sys::ScopedLock guard(lock_);
      if (state_ == CLOSED) return false;
    }
    return plain_->isOpen();
  }

  // Sends close_notify when the socket takes it at once: a peer that stopped
  // reading does not hold up the close.
  void close() override {
    {
      sys::ScopedLock guard(lock_);
      endSession(true);
    }
    plain_->close();
  }

  void setTimeouts(unsigned int read, unsigned int write) override {
    readTimeout_.store(read, std::memory_order_relaxed);
    writeTimeout_.store(write, std::memory_order_relaxed);
    sys::ScopedLock guard(lock_);
    if (state_ == CONNECTING || state_ == HANDSHAKING) startTimer();
  }

  void getTimeouts(unsigned int& read, unsigned int& write) override {
    read = readTimeout_.load(std::memory_order_relaxed);
    write = writeTimeout_.load(std::memory_order_relaxed);
  }

  bool waitConnected(unsigned int milliseconds) override {
    sys::Timeout const since;
    State state;
    {
      sys::ScopedLock guard(lock_);
      state = state_;
    }
    if (state == CLOSED) {
      em::report(owner(), 1, "the tls socket is not connected");
      return false;
    }
    return handshake(since, milliseconds);
  }

  bool waitReadable(unsigned int milliseconds) override {
    sys::Timeout const since;
    if (!handshake(since, milliseconds)) return failedOnly();
    while (true) {
      bool flush;
      {
        sys::ScopedLock guard(lock_);
        if (state_ != SECURED || ended_ || readable()) return true;
        flush = pendingOut();
      }
      // Bytes still on their way out may be what the peer waits for before
      // it answers.
      if (!waitPlain(flush ? SOCKET_EVENT_WRITE : SOCKET_EVENT_READ, remaining(since, milliseconds))) return false;
      sys::ScopedLock guard(lock_);
      if (flush) flushOut();
      else fillIn();
    }
  }

  bool waitWritable(unsigned int milliseconds) override {
    sys::Timeout const since;
    if (!handshake(since, milliseconds)) return failedOnly();
    while (true) {
      {
        sys::ScopedLock guard(lock_);
        if (state_ != SECURED || writeRoom() > 0) return true;
      }
      if (!waitPlain(SOCKET_EVENT_WRITE, remaining(since, milliseconds))) return false;
      sys::ScopedLock guard(lock_);
      flushOut();
    }
  }

  unsigned int recv(void* buffer, unsigned int size) override {
    sys::ScopedLock guard(lock_);
    if (!usable() || ended_ || size == 0) return 0;
    int const n = wakePair() ? readRecord(buffer, size > INT_MAX ? INT_MAX : int(size), false) : -1;
    if (state_ == FAILED) reportFailure();
    flushOut();
    restPair();
    updateInterest();
    return n > 0 ? unsigned(n) : 0;
  }

  unsigned int send(void const* data, unsigned int size) override {
    sys::ScopedLock guard(lock_);
    if (!usable() || size == 0) return 0;
    if (ended_) {
      em::report(owner(), 4, "the peer has closed the tls connection");
      return 0;
    }
    flushOut();
    unsigned int const room = wakePair() ? writeRoom() : 0;
    unsigned int n = 0;
    if (room > 0 && state_ == SECURED) {
      ssl().ERR_clear_error();
      int const written = ssl().SSL_write(ssl_, data, int(size < room ? size : room));
      if (written > 0) {
        n = unsigned(written);
      } else {
        int const error = ssl().SSL_get_error(ssl_, written);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
          fail(TLS_ERROR_HANDSHAKE, "tls failure: " + takeSslReason("the record could not be written"));
      }
      flushOut();
    }
    if (state_ == FAILED) reportFailure();
    restPair();
    updateInterest();
    return n;
  }

  Address localAddress() override {
    return forward([&] { return plain_->localAddress(); });
  }
  Address remoteAddress() override {
    return forward([&] { return plain_->remoteAddress(); });
  }
  bool setOption(int name, void const* value, int length, int level) override {
    return forward([&] { return plain_->setOption(name, value, length, level); });
  }
  bool getOption(int name, void* value, int* length, int level) override {
    return forward([&] { return plain_->getOption(name, value, length, level); });
  }

  // func::IIO
  unsigned int read(void* buffer, unsigned int size) override {
    if (!waitReadable(readTimeout_.load(std::memory_order_relaxed))) return 0;
    return recv(buffer, size);
  }

  unsigned int write(void const* data, unsigned int size) override {
    if (!waitWritable(writeTimeout_.load(std::memory_order_relaxed))) return 0;
    return send(data, size);
  }

  // The plain socket's events, on the reactor's thread.
  void onPlainEvent(unsigned int events, ByteArray& buffer) {
    boost::shared_ptr<ISocketCallback> callback;
    unsigned int deliver = 0;
    {
      sys::ScopedLock guard(lock_);
      if (state_ == CLOSED) return;
      if (state_ != FAILED) {
        if (events & SOCKET_EVENT_WRITE) flushOut();
        if (events & SOCKET_EVENT_READ) fillIn();
      }
      if (state_ == CONNECTING && (events & SOCKET_EVENT_CONNECT)) {
        em::CatchError caught(plain_.get());
        if (plain_->waitConnected(0)) {
          state_ = HANDSHAKING;
        } else {
          broken(caught.code(), std::string(caught.text().cstr()));
        }
      }
      if (timedOut_ && (state_ == CONNECTING || state_ == HANDSHAKING)) fail(2, "handshake timed out");
      if (state_ == HANDSHAKING) step();
      flushOut();
      if (connectOwed_ && (userMask_ & SOCKET_EVENT_CONNECT)) {
        connectOwed_ = false;
        deliver |= SOCKET_EVENT_CONNECT;
      }
      if (state_ == FAILED) {
        deliver |= userMask_ & readWrite;
      } else if (state_ == SECURED) {
        if ((userMask_ & SOCKET_EVENT_READ) && (ended_ || readable())) deliver |= SOCKET_EVENT_READ;
        if ((userMask_ & SOCKET_EVENT_WRITE) && writeRoom() > 0) deliver |= SOCKET_EVENT_WRITE;
        // readable() may have met a failing record.
        if (state_ == FAILED) deliver |= userMask_ & readWrite;
      }
      if (deliver != 0) callback = callback_.lock();
    }
    // No lock is held while the caller's callback runs.
    if (callback) callback->onSocketEvent(shared_from_this(), deliver, buffer);
    sys::ScopedLock guard(lock_);
    restPair();
    updateInterest();
  }

  void onHandshakeTimer() {
    boost::shared_ptr<ISocketCallback> callback;
    unsigned int deliver = 0;
    {
      sys::ScopedLock guard(lock_);
      if (state_ != CONNECTING && state_ != HANDSHAKING) return;
      timedOut_ = true;
      if (state_ == HANDSHAKING) {
        // The write interest wakes the runner, which settles the failure.
        updateInterest();
        return;
      }
      // A connection still being made shows nothing on its descriptor (it
      // is neither readable nor writable): the failure is settled and told
      // here, on the timer's thread, once; the reactor's later events find
      // it failed.
      fail(2, "handshake timed out");
      if (connectOwed_ && (userMask_ & SOCKET_EVENT_CONNECT)) {
        connectOwed_ = false;
        deliver = SOCKET_EVENT_CONNECT | (userMask_ & readWrite);
        callback = callback_.lock();
      }
      updateInterest();
    }
    if (!callback) return;
    ByteArray scratch;
    callback->onSocketEvent(shared_from_this(), deliver, scratch);
    sys::ScopedLock guard(lock_);
    updateInterest();
  }

 private:
  void const* owner() const { return static_cast<ISocket const*>(static_cast<ITlsSocket const*>(this)); }

  // A call on the plain socket whose report is passed on under this one.
  template <class F>
  auto forward(F call) -> decltype(call()) {
    em::CatchError caught(plain_.get());
    auto result = call();
    if (caught.code() != 0) em::report(owner(), caught.code(), caught.text());
    return result;
  }

  bool notHere() {
    em::report(owner(), 100, "not available on a tls socket");
    return false;
  }

  // Every send carries whole records, and a flight may leave in two sends
  // when the pair's ring wraps: Nagle's delay would only hold the second
  // back for an acknowledgement.
  void noDelay() {
    int const one = 1;
    em::CatchError ignored(plain_.get());
    plain_->setOption(OPTION_TCP_NODELAY, &one, sizeof one, OPTION_LEVEL_TCP);
  }

  // A new SSL object on a new pair of buffers, for the role and host name.
  // Caller holds lock_.
  bool newSession() {
    SSL_CTX* const ctx = context_->handle();
    ssl_ = ssl().SSL_new(ctx);
    if (ssl_ == nullptr || !makePair()) {
      std::string const reason = takeSslReason("out of memory");
      if (ssl_ != nullptr) ssl().SSL_free(ssl_);
      ssl_ = nullptr;
      em::report(owner(), 100, String(("tls session could not be made: " + reason).c_str()));
      return false;
    }
    ended_ = timedOut_ = connectOwed_ = broken_ = false;
    failureCode_ = 0;
    failureText_.clear();
    if (server_) {
      ssl().SSL_set_accept_state(ssl_);
      return true;
    }
    ssl().SSL_set_connect_state(ssl_);
    char const* const host = hostName_.cstr();
    bool const address = isAddressLiteral(host);
    if (!address && !hostName_.empty())
      ssl().SSL_ctrl(ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(host));
    verifying_ = context_->verifies();
    if (verifying_) {
      ssl().SSL_set_verify(ssl_, SSL_VERIFY_PEER, nullptr);
      X509_VERIFY_PARAM* const param = ssl().SSL_get0_param(ssl_);
      ssl().X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      if (address) ssl().X509_VERIFY_PARAM_set1_ip_asc(param, host);
      else ssl().X509_VERIFY_PARAM_set1_host(param, host, 0);
    } else {
      ssl().SSL_set_verify(ssl_, SSL_VERIFY_NONE, nullptr);
    }
    return true;
  }

  // Gives ssl_ a new, empty pair of buffers; false when out of memory.
  // Caller holds lock_.
  bool makePair() {
    BIO* internal = nullptr;
    BIO* network = nullptr;
    if (ssl().BIO_new_bio_pair(&internal, pairSize, &network, pairSize) != 1) return false;
    internal_ = internal;
    network_ = network;
    ssl().SSL_set_bio(ssl_, internal, internal);
    return true;
  }

  // Makes the pair again for bytes about to move on a resting connection;
  // false (failed) when it cannot be made. Caller holds lock_.
  bool wakePair() {
    if (network_ != nullptr || ssl_ == nullptr) return true;
    if (makePair()) return true;
    fail(100, "tls failure: " + takeSslReason("out of memory"));
    return false;
  }

  // Frees the pair of a secured connection with nothing in it either way:
  // nothing to send, nothing for OpenSSL to read, the stream not ended (its
  // end is a mark in the pair). Caller holds lock_.
  void restPair() {
    if (state_ != SECURED || network_ == nullptr || ended_) return;
    if (ssl().BIO_ctrl_pending(network_) > 0 || ssl().BIO_ctrl_pending(internal_) > 0) return;
    ssl().SSL_set_bio(ssl_, nullptr, nullptr);  // frees OpenSSL's end
    ssl().BIO_free(network_);
    internal_ = network_ = nullptr;
  }

  // Ends the session, with close_notify when `notify` and it is secured.
  // Caller holds lock_.
  void endSession(bool notify) {
    if (ssl_ != nullptr) {
      if (notify && state_ == SECURED && !ended_ && wakePair()) {
        ssl().ERR_clear_error();
        ssl().SSL_shutdown(ssl_);
        ssl().ERR_clear_error();
        flushOut();
      }
      ssl().SSL_free(ssl_);
      if (network_ != nullptr) ssl().BIO_free(network_);
      ssl_ = nullptr;
      internal_ = network_ = nullptr;
    }
    state_ = CLOSED;
    if (timer_) timer_->stop();
    updateInterest();
  }

  bool usable() {
    if (state_ == FAILED) {
      reportFailure();
      return false;
    }
    if (state_ == CLOSED) em::report(owner(), 1, "the tls socket is not connected");
    return state_ == SECURED;
  }

  void fail(unsigned int code, std::string const& text) {
    if (state_ == FAILED || state_ == CLOSED) return;
    if (state_ == CONNECTING || state_ == HANDSHAKING) connectOwed_ = !server_;
    state_ = FAILED;
    failureCode_ = code != 0 ? code : 100;
    failureText_ = text;
    if (timer_) timer_->stop();
  }

  // A failure of the plain socket itself: nothing more can be sent on it.
  void broken(unsigned int code, std::string const& text) {
    broken_ = true;
    fail(code, text);
  }

  void reportFailure() { em::report(owner(), failureCode_, String(failureText_.c_str())); }

  // waitReadable/waitWritable after an unfinished handshake: a failure is
  // there to be received; a time-out is not.
  bool failedOnly() {
    sys::ScopedLock guard(lock_);
    return state_ == FAILED;
  }

  // Drives the handshake blocking-style until it ends or `limit` ms since
  // `since` have passed; true once secured. Reports the failure.
  bool handshake(sys::Timeout const& since, unsigned int limit) {
    while (true) {
      unsigned int wait;
      if (!connected(since, limit)) return false;
      {
        sys::ScopedLock guard(lock_);
        if (state_ == HANDSHAKING) {
          step();
          flushOut();
        }
        if (state_ == SECURED) return true;
        if (state_ != HANDSHAKING) {
          if (state_ == CLOSED) em::report(owner(), 1, "the tls socket is not connected");
          else if (state_ == FAILED) reportFailure();
          return false;
        }
        wait = pendingOut() ? SOCKET_EVENT_WRITE : SOCKET_EVENT_READ;
      }
      em::CatchError caught(plain_.get());
      bool const ready = waitPlain(wait, remaining(since, limit), false);
      sys::ScopedLock guard(lock_);
      if (!ready) {
        // Out of time: the handshake stays as it is, as a plain socket's
        // connection attempt stays after waitConnected's time-out.
        if (caught.code() == 2) {
          em::report(owner(), 2, "handshake timed out");
          return false;
        }
        broken(caught.code(), caught.text().cstr());
        continue;
      }
      if (wait == SOCKET_EVENT_WRITE) flushOut();
      else fillIn();
    }
  }

  // Waits for the plain connection while it is being made; false with the
  // report when it failed or the time ran out (the attempt then goes on).
  bool connected(sys::Timeout const& since, unsigned int limit) {
    {
      sys::ScopedLock guard(lock_);
      if (state_ != CONNECTING) return true;
    }
    em::CatchError caught(plain_.get());
    bool const made = plain_->waitConnected(remaining(since, limit));
    sys::ScopedLock guard(lock_);
    if (state_ != CONNECTING) return true;
    if (made) {
      state_ = HANDSHAKING;
      return true;
    }
    if (caught.code() == 2) em::report(owner(), 2, caught.text());
    else broken(caught.code(), std::string(caught.text().cstr()));
    return caught.code() != 2;
  }

  // Waits on the plain socket; its report is passed on when `pass`.
  bool waitPlain(unsigned int what, unsigned int milliseconds, bool pass = true) {
    if (!pass) return what == SOCKET_EVENT_WRITE ? plain_->waitWritable(milliseconds) : plain_->waitReadable(milliseconds);
    return forward([&] {
      return what == SOCKET_EVENT_WRITE ? plain_->waitWritable(milliseconds) : plain_->waitReadable(milliseconds);
    });
  }

  // One step of the handshake on what the pair holds. Caller holds lock_.
  void step() {
    ssl().ERR_clear_error();
    int const result = ssl().SSL_do_handshake(ssl_);
    if (result == 1) {
      state_ = SECURED;
      connectOwed_ = !server_;
      if (timer_) timer_->stop();
      return;
    }
    int const error = ssl().SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_WRITE || (error == SSL_ERROR_WANT_READ && !ended_)) return;
    long const verified = ssl().SSL_get_verify_result(ssl_);
    if (!server_ && verifying_ && verified != X509_V_OK) {
      ssl().ERR_clear_error();
      std::string const reason = ssl().X509_verify_cert_error_string(verified);
      switch (verified) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
          fail(TLS_ERROR_NAME_MISMATCH, "certificate name mismatch: " + reason);
          break;
        case X509_V_ERR_CERT_HAS_EXPIRED:
          fail(TLS_ERROR_EXPIRED, "certificate expired: " + reason);
          break;
        default:
          fail(TLS_ERROR_NOT_TRUSTED, "certificate not trusted: " + reason);
      }
      return;
    }
    fail(TLS_ERROR_HANDSHAKE,
         "handshake failure: " + takeSslReason(ended_ ? "the peer closed the connection" : "unknown reason"));
  }

  // Whether a recv would return application data or the end; processes
  // records (a session ticket, say) on the way. Caller holds lock_.
  bool readable() {
    if (ssl().SSL_pending(ssl_) > 0) return true;
    // A resting connection has nothing to read.
    if (network_ == nullptr) return false;
    char byte;
    int const n = readRecord(&byte, 1, true);
    return n != 0 || ended_ || state_ != SECURED;
  }

  // SSL_read or SSL_peek; > 0 bytes, 0 when nothing is there yet, -1 when
  // the stream ended or failed (state updated). Caller holds lock_.
  int readRecord(void* buffer, int size, bool peek) {
    ssl().ERR_clear_error();
    int const n = peek ? ssl().SSL_peek(ssl_, buffer, size) : ssl().SSL_read(ssl_, buffer, size);
    if (n > 0) return n;
    int const error = ssl().SSL_get_error(ssl_, n);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
    if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && ended_)) {
      // close_notify, or the connection's end without it (a truncation the
      // application's framing must notice).
      ssl().ERR_clear_error();
      ended_ = true;
      return -1;
    }
    fail(TLS_ERROR_HANDSHAKE, "tls failure: " + takeSslReason("the record could not be read"));
    return -1;
  }

  bool pendingOut() const { return network_ != nullptr && ssl().BIO_ctrl_pending(network_) > 0; }

  // Plaintext bytes one send may take now: records of them fit the pair
  // (a resting one is made again, empty).
  unsigned int writeRoom() const {
    if (internal_ == nullptr) return ssl_ != nullptr && state_ == SECURED ? maxRecord : 0;
    size_t const space = ssl().BIO_ctrl_get_write_guarantee(internal_);
    if (space <= recordOverhead) return 0;
    size_t const room = space - recordOverhead;
    return room > maxRecord ? maxRecord : unsigned(room);
  }

  // Sends what the pair holds until the socket takes no more. Caller holds
  // lock_.
  // After a failed handshake this still sends the alert OpenSSL wrote, so
  // that the peer learns why.
  void flushOut() {
    if (network_ == nullptr || broken_) return;
    while (true) {
      char* data = nullptr;
      int const available = ssl().BIO_nread0(network_, &data);
      if (available <= 0) return;
      em::CatchError caught(plain_.get());
      unsigned int const sent = plain_->send(data, unsigned(available));
      if (caught.code() != 0) {
        broken(caught.code(), caught.text().cstr());
        return;
      }
      if (sent == 0) return;
      ssl().BIO_nread(network_, &data, int(sent));
      if (int(sent) < available) return;
    }
  }

  // Receives once into the pair: called when the socket is readable, so
  // that nothing received without a report is the peer's end. Caller holds
  // lock_.
  void fillIn() {
    if (ssl_ == nullptr || state_ == FAILED || ended_ || !wakePair()) return;
    char* room = nullptr;
    int const space = ssl().BIO_nwrite0(network_, &room);
    if (space <= 0) return;
    em::CatchError caught(plain_.get());
    unsigned int const received = plain_->recv(room, unsigned(space));
    if (received > 0) {
      ssl().BIO_nwrite(network_, &room, int(received));
    } else if (caught.code() != 0) {
      broken(caught.code(), caught.text().cstr());
    } else {
      // OpenSSL reads the end once the pair is empty.
      ended_ = true;
      ssl().BIO_ctrl(network_, BIO_C_SHUTDOWN_WR, 0, nullptr);
    }
  }

  // Sets the plain socket's interest from the state and the caller's.
  // Caller holds lock_.
  void updateInterest() {
    unsigned int mask = 0;
    bool const wantsAny = (userMask_ & readWrite) || (connectOwed_ && (userMask_ & SOCKET_EVENT_CONNECT));
    switch (state_) {
      case CLOSED:
        break;
      case CONNECTING:
        mask = SOCKET_EVENT_CONNECT;
        break;
      case HANDSHAKING:
        mask = SOCKET_EVENT_READ;
        if (pendingOut() || timedOut_) mask |= SOCKET_EVENT_WRITE;
        break;
      case SECURED:
        if (userMask_ & SOCKET_EVENT_READ) mask |= SOCKET_EVENT_READ;
        if (pendingOut() || (userMask_ & SOCKET_EVENT_WRITE)) mask |= SOCKET_EVENT_WRITE;
        // Data already inside OpenSSL, the end, or a connect event owed:
        // nothing on the descriptor would announce them.
        if (((userMask_ & SOCKET_EVENT_READ) && (ended_ || readable())) ||
            (connectOwed_ && (userMask_ & SOCKET_EVENT_CONNECT)))
          mask |= SOCKET_EVENT_WRITE;
        if (state_ == FAILED && wantsAny) mask = readWrite;
        break;
      case FAILED:
        if (wantsAny) mask = readWrite;
        break;
    }
    if (mask != plainMask_) {
      plainMask_ = mask;
      plain_->modifyEvents(mask, ~mask & allEvents);
    }
  }

  // The timer bounding a handshake run by the reactor. Caller holds lock_.
  void startTimer() {
    unsigned int limit = context_->handshakeTimeout();
    unsigned int const read = readTimeout_.load(std::memory_order_relaxed);
    if (read < limit) limit = read;
    if (limit == NO_LIMIT) return;
    if (!timer_) timer_ = sys::ITimer::New(0);
    timer_->start(limit == 0 ? 1 : limit, boost::weak_ptr<sys::ITimerCallback>(relay_));
  }

  boost::shared_ptr<TlsContext> const context_;
  boost::shared_ptr<ISocket> const plain_;
  bool const server_;
  String const hostName_;
  boost::shared_ptr<TlsRelay> const relay_;
  std::atomic<unsigned int> readTimeout_;
  std::atomic<unsigned int> writeTimeout_;
  sys::Mutex lock_;
  // Guarded by lock_:
  boost::shared_ptr<sys::ITimer> timer_;
  SSL* ssl_ = nullptr;
  BIO* internal_ = nullptr;  // OpenSSL's end of the pair, owned by ssl_
  BIO* network_ = nullptr;   // the socket's end
  State state_ = CLOSED;
  bool verifying_ = false;
  bool ended_ = false;        // the peer's close_notify or the stream's end seen
  bool broken_ = false;       // the plain socket failed
  bool timedOut_ = false;     // the handshake timer fired
  bool connectOwed_ = false;  // a client's handshake ended, not yet told
  unsigned int failureCode_ = 0;
  std::string failureText_;
  unsigned int userMask_ = 0;
  unsigned int plainMask_ = 0;
  boost::weak_ptr<ISocketCallback> callback_;
};

void TlsRelay::onSocketEvent(boost::shared_ptr<ISocket>, unsigned int events, ByteArray& buffer) {
  boost::shared_ptr<TlsSocket> const tls = socket.lock();
  if (tls) tls->onPlainEvent(events, buffer);
}

void TlsRelay::onTimer(boost::shared_ptr<sys::ITimer> timer) {
  timer->stop();
  boost::shared_ptr<TlsSocket> const tls = socket.lock();
  if (tls) tls->onHandshakeTimer();
}

boost::shared_ptr<ITlsSocket> newClientSocket(boost::shared_ptr<TlsContext> const& context,
                                              String const& hostName) {
  boost::shared_ptr<TlsSocket> const socket(
      new TlsSocket(context, ISocket::New(SOCKET_TYPE_TCP), false, hostName));
  socket->bind();
  return socket;
}

boost::shared_ptr<ITlsSocket> newServerSocket(boost::shared_ptr<TlsContext> const& context,
                                              boost::shared_ptr<ISocket> const& accepted) {
  boost::shared_ptr<TlsSocket> const socket(new TlsSocket(context, accepted, true, String()));
  socket->bind();
  socket->startServer();
  return socket;
}

}  // namespace impl
}  // namespace net
}  // namespace zu

#endif
