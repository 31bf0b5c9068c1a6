// zu::net TLS: encrypted, authenticated TCP connections. A context holds the
// settings shared by many connections (the trust of a client, the
// certificate and key of a server); the connections it makes are ISockets,
// used blocking-style or through a reactor exactly like plain TCP sockets,
// with the handshake and the records run inside the socket calls and the
// reactor's events. TLS 1.2 is the oldest version spoken; ALPN offers and
// selects "http/1.1"; a client's request to renegotiate is refused.
//
// OpenSSL 3 (libssl.so.3) is opened on the first New; a program that makes
// no context never maps it. When it cannot be loaded (or zu was built with
// ZU_WITH_TLS=OFF), every operation of the context fails with code 100 and
// the text "libssl.so.3 could not be loaded: <why>"; plain sockets keep
// working.
#ifndef ZU_TLS_H
#define ZU_TLS_H

#include <boost/shared_ptr.hpp>
#include <zu/config.h>
#include <zu/socket.h>
#include <zu/string.h>

namespace zu {
namespace net {

// Codes of the failures a TLS socket reports under itself, besides the
// socket's own kinds (2 is also a handshake that ran out of time). Each text
// starts with the reason's name and ends with OpenSSL's own reason.
// The peer's certificate chain does not lead to a trusted authority
// ("certificate not trusted: ...").
unsigned int const TLS_ERROR_NOT_TRUSTED = 20;
// The certificate is valid but for another host name or address
// ("certificate name mismatch: ...").
unsigned int const TLS_ERROR_NAME_MISMATCH = 21;
// The certificate's validity period has ended ("certificate expired: ...").
unsigned int const TLS_ERROR_EXPIRED = 22;
// Any other failure of the handshake or of a record: a peer that does not
// speak TLS, no common version or cipher, a closed connection
// ("handshake failure: ..." or "tls failure: ...").
unsigned int const TLS_ERROR_HANDSHAKE = 23;

// A TLS connection. Beyond ISocket's contract: connect() starts TCP and then
// the handshake, and waitConnected() returns true only once the handshake
// has succeeded (the handshake counts against its time); in a reactor,
// SOCKET_EVENT_CONNECT comes when the handshake has ended either way.
// recv() and send() carry application data only; a readable event means
// that data, the peer's close or a failure is there to be received, never a
// bare TLS record. recv() returning 0 after the peer's close_notify (or a
// failure, reported) is the end of the stream. close() sends close_notify
// when the socket would take it at once. listen, accept, recvFrom and sendTo
// are refused (kind 100): a server wraps each accepted socket instead.
class ZU_API ITlsSocket : public ISocket {
 public:
  // True once the handshake has succeeded, until close.
  virtual bool isSecured() = 0;
  // "TLSv1.2" or "TLSv1.3"; empty before the handshake.
  virtual String protocolVersion() = 0;
  // The protocol both sides agreed on by ALPN ("http/1.1"); empty when none.
  virtual String applicationProtocol() = 0;
};

// Settings shared by the connections of one side. Configure it before the
// first connection is made; the context may then be used from any thread.
// Failures return false or an empty pointer and are reported under the
// context: code 100 with OpenSSL's reason (or the loading failure).
class ZU_API ITlsContext : public IBase {
 public:
  // True for a context made with New(true).
  virtual bool isServer() = 0;

  // Client: peers are verified against the system's trust store unless a
  // CA file (PEM, one or more certificates) or a folder of hashed
  // certificates is named; naming one replaces the system's store.
  virtual bool setCAFile(String const& file) = 0;
  // Client: as setCAFile, with a folder of hashed certificates.
  virtual bool setCAFolder(String const& folder) = 0;
  // Client: accepts any certificate for any name, as a test against a
  // self-signed server may need. The connection is still encrypted but no
  // longer authenticated: never for real peers.
  virtual void insecureDisableVerification() = 0;
  // False once insecureDisableVerification() was called.
  virtual bool verifies() = 0;

  // Server: the certificate chain (PEM, the server's own certificate first)
  // and its private key, loaded once and shared by every connection; false
  // when either cannot be read or they do not belong together.
  virtual bool useCertificate(String const& chainFile, String const& keyFile) = 0;

  // Longest time in ms a handshake may take from connect() or server()
  // before the connection fails with kind 2 "handshake timed out" (the
  // socket's read time-out, when set before, bounds it too when shorter);
  // 30000 to start with. A blocking handshake is also bounded by the time
  // given to waitConnected, whose time-out leaves the handshake running.
  virtual void setHandshakeTimeout(unsigned int milliseconds) = 0;
  // The handshake's time limit in ms.
  virtual unsigned int handshakeTimeout() = 0;

  // Client: a closed TLS socket for the server `hostName` (a DNS name or a
  // dotted IPv4 address): sent as SNI (names only) and checked against the
  // server's certificate. connect() opens it.
  virtual boost::shared_ptr<ITlsSocket> client(String const& hostName) = 0;
  // Server: wraps `accepted` (a connected TCP socket that the caller gives
  // up) as the server side of a handshake that starts at once.
  virtual boost::shared_ptr<ITlsSocket> server(boost::shared_ptr<ISocket> accepted) = 0;

  // A client context verifying against the system's trust store, or a
  // server context still without a certificate. Loads OpenSSL on first use.
  static boost::shared_ptr<ITlsContext> New(bool server = false);
};

}  // namespace net
}  // namespace zu

#endif
