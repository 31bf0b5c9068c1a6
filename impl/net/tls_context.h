// The TLS context shared by the connections it makes, and the connection's
// factory. Only built with OpenSSL's headers (ZU_WITH_TLS).
#ifndef ZU_IMPL_NET_TLS_CONTEXT_H
#define ZU_IMPL_NET_TLS_CONTEXT_H

#include <atomic>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <zu/sys.h>
#include <zu/tls.h>

#include "ext/libraries.h"

namespace zu {
namespace net {
namespace impl {

// OpenSSL's table, valid once a context exists (the library is then loaded
// for the rest of the process).
inline ext::OpenSSL const& ssl() { return ext::openssl().api; }

#if ZU_WITH_TLS

// The first reason in this thread's OpenSSL error queue, which is emptied;
// `fallback` when the queue holds none.
std::string takeSslReason(char const* fallback);

class TlsContext : public ITlsContext, public boost::enable_shared_from_this<TlsContext> {
 public:
  explicit TlsContext(bool server);
  ~TlsContext() override;

  bool isServer() override { return server_; }
  bool setCAFile(String const& file) override;
  bool setCAFolder(String const& folder) override;
  void insecureDisableVerification() override { verify_.store(false); }
  bool verifies() override { return verify_.load(); }
  bool useCertificate(String const& chainFile, String const& keyFile) override;
  void setHandshakeTimeout(unsigned int milliseconds) override { handshakeTimeout_.store(milliseconds); }
  unsigned int handshakeTimeout() override { return handshakeTimeout_.load(); }
  boost::shared_ptr<ITlsSocket> client(String const& hostName) override;
  boost::shared_ptr<ITlsSocket> server(boost::shared_ptr<ISocket> accepted) override;

  // Null when the library or the context could not be made (`failure_`).
  SSL_CTX* handle() const { return ctx_; }

 private:
  void const* owner() const { return static_cast<ITlsContext const*>(this); }
  // Reports why the context is unusable; false when it is usable.
  bool refused();
  bool requireRole(bool server);

  bool const server_;
  SSL_CTX* ctx_;
  std::string failure_;
  bool hasCertificate_;  // guarded by lock_, as is trustChosen_
  bool trustChosen_;
  std::atomic<bool> verify_;
  std::atomic<unsigned int> handshakeTimeout_;
  sys::Mutex lock_;  // serialises the settings' calls into the context
};

// A client connection to `hostName` (verified as the context says), closed.
boost::shared_ptr<ITlsSocket> newClientSocket(boost::shared_ptr<TlsContext> const& context,
                                              String const& hostName);
// The server side of `accepted`, its handshake started.
boost::shared_ptr<ITlsSocket> newServerSocket(boost::shared_ptr<TlsContext> const& context,
                                              boost::shared_ptr<ISocket> const& accepted);

#endif

}  // namespace impl
}  // namespace net
}  // namespace zu

#endif
