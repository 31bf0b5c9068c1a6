// The TLS context: OpenSSL's SSL_CTX with the settings every connection of
// one side shares.
#include "net/tls_context.h"

#include <zu/em.h>

namespace zu {
namespace net {
namespace impl {

#if ZU_WITH_TLS

namespace {

// ALPN's wire form: each protocol's name behind its length.
unsigned char const alpnHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

// The server picks "http/1.1" when the client offers it and goes on without
// ALPN otherwise, as a client that offers only other protocols may still
// speak HTTP/1.1.
int selectAlpn(SSL*, unsigned char const** out, unsigned char* outLength, unsigned char const* in,
               unsigned int inLength, void*) {
  unsigned char* chosen = nullptr;
  int const result = ssl().SSL_select_next_proto(&chosen, outLength, alpnHttp11, sizeof alpnHttp11, in, inLength);
  if (result != OPENSSL_NPN_NEGOTIATED) return SSL_TLSEXT_ERR_NOACK;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

std::string takeSslReason(char const* fallback) {
  unsigned long const code = ssl().ERR_get_error();
  ssl().ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ssl().ERR_error_string_n(code, text, sizeof text);
  return text;
}

TlsContext::TlsContext(bool server)
    : server_(server), ctx_(nullptr), hasCertificate_(false), trustChosen_(false), verify_(true), handshakeTimeout_(30000) {
  ext::Library<ext::OpenSSL> const& library = ext::openssl();
  if (!library.loaded) {
    failure_ = library.failure;
    return;
  }
  ctx_ = ssl().SSL_CTX_new(server ? ssl().TLS_server_method() : ssl().TLS_client_method());
  if (ctx_ == nullptr) {
    failure_ = "tls context could not be made: " + takeSslReason("out of memory");
    return;
  }
  ssl().SSL_CTX_ctrl(ctx_, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  // Partial writes and a moving buffer let send() hand over what fits and
  // be retried with the bytes that did not; idle connections give their
  // record buffers back.
  ssl().SSL_CTX_ctrl(ctx_, SSL_CTRL_MODE,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS,
                     nullptr);
  ssl().SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  if (server) {
    ssl().SSL_CTX_set_options(ctx_, SSL_OP_CIPHER_SERVER_PREFERENCE);
    ssl().SSL_CTX_set_alpn_select_cb(ctx_, selectAlpn, nullptr);
  } else {
    // Verification itself is switched per connection (see the socket).
    // 0 is success here, unlike the rest of OpenSSL.
    ssl().SSL_CTX_set_alpn_protos(ctx_, alpnHttp11, sizeof alpnHttp11);
  }
}

TlsContext::~TlsContext() {
  if (ctx_ != nullptr) ssl().SSL_CTX_free(ctx_);
}

bool TlsContext::refused() {
  if (ctx_ != nullptr) return false;
  em::report(owner(), ext::ERROR_LIBRARY_UNAVAILABLE, String(failure_.c_str()));
  return true;
}

bool TlsContext::requireRole(bool server) {
  if (refused()) return false;
  if (server_ == server) return true;
  em::report(owner(), 100, server ? String("not a server context") : String("not a client context"));
  return false;
}

bool TlsContext::setCAFile(String const& file) {
  if (!requireRole(false)) return false;
  sys::ScopedLock guard(lock_);
  trustChosen_ = true;
  if (ssl().SSL_CTX_load_verify_locations(ctx_, file.cstr(), nullptr) != 1) {
    em::report(owner(), 100, String(("CA file could not be loaded: " + takeSslReason("unknown reason")).c_str()));
    return false;
  }
  return true;
}

bool TlsContext::setCAFolder(String const& folder) {
  if (!requireRole(false)) return false;
  sys::ScopedLock guard(lock_);
  trustChosen_ = true;
  if (ssl().SSL_CTX_load_verify_locations(ctx_, nullptr, folder.cstr()) != 1) {
    em::report(owner(), 100, String(("CA folder could not be used: " + takeSslReason("unknown reason")).c_str()));
    return false;
  }
  return true;
}

bool TlsContext::useCertificate(String const& chainFile, String const& keyFile) {
  if (!requireRole(true)) return false;
  sys::ScopedLock guard(lock_);
  char const* what = nullptr;
  if (ssl().SSL_CTX_use_certificate_chain_file(ctx_, chainFile.cstr()) != 1)
    what = "certificate chain could not be loaded: ";
  else if (ssl().SSL_CTX_use_PrivateKey_file(ctx_, keyFile.cstr(), SSL_FILETYPE_PEM) != 1)
    what = "private key could not be loaded: ";
  else if (ssl().SSL_CTX_check_private_key(ctx_) != 1)
    what = "private key does not match the certificate: ";
  if (what != nullptr) {
    em::report(owner(), 100, String((what + takeSslReason("unknown reason")).c_str()));
    return false;
  }
  hasCertificate_ = true;
  return true;
}

boost::shared_ptr<ITlsSocket> TlsContext::client(String const& hostName) {
  if (!requireRole(false)) return boost::shared_ptr<ITlsSocket>();
  {
    // The system's trust store is taken only when no CA was named by the
    // first connection, so that a named CA is the only authority trusted.
    sys::ScopedLock guard(lock_);
    if (!trustChosen_) {
      trustChosen_ = true;
      if (ssl().SSL_CTX_set_default_verify_paths(ctx_) != 1) ssl().ERR_clear_error();
    }
  }
  return newClientSocket(shared_from_this(), hostName);
}

boost::shared_ptr<ITlsSocket> TlsContext::server(boost::shared_ptr<ISocket> accepted) {
  if (!requireRole(true)) return boost::shared_ptr<ITlsSocket>();
  {
    sys::ScopedLock guard(lock_);
    if (!hasCertificate_) {
      em::report(owner(), 100, "the server context has no certificate");
      return boost::shared_ptr<ITlsSocket>();
    }
  }
  if (!accepted) {
    em::report(owner(), 1, "no socket to wrap");
    return boost::shared_ptr<ITlsSocket>();
  }
  return newServerSocket(shared_from_this(), accepted);
}

#else

// Built without OpenSSL: a context that refuses everything with the reason.
class TlsContext : public ITlsContext {
 public:
  explicit TlsContext(bool server) : server_(server), failure_(ext::openssl().failure) {}
  bool isServer() override { return server_; }
  bool setCAFile(String const&) override { return refuse(); }
  bool setCAFolder(String const&) override { return refuse(); }
  void insecureDisableVerification() override { refuse(); }
  bool verifies() override { return true; }
  bool useCertificate(String const&, String const&) override { return refuse(); }
  void setHandshakeTimeout(unsigned int) override { refuse(); }
  unsigned int handshakeTimeout() override { return 0; }
  boost::shared_ptr<ITlsSocket> client(String const&) override {
    refuse();
    return boost::shared_ptr<ITlsSocket>();
  }
  boost::shared_ptr<ITlsSocket> server(boost::shared_ptr<ISocket>) override {
    refuse();
    return boost::shared_ptr<ITlsSocket>();
  }

 private:
  bool refuse() { return ext::unavailable(static_cast<ITlsContext const*>(this), failure_); }
  bool const server_;
  std::string failure_;
};

#endif

}  // namespace impl

boost::shared_ptr<ITlsContext> ITlsContext::New(bool server) {
  return boost::shared_ptr<ITlsContext>(new impl::TlsContext(server));
}

}  // namespace net
}  // namespace zu
