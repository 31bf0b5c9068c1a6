// zu::net::http: header blocks and status texts, the blocking HTTP/1.1
// client and the event-driven server-side connection.
#ifndef ZU_HTTP_H
#define ZU_HTTP_H

#include <boost/shared_ptr.hpp>
#include <zu/array.h>
#include <zu/bytearray.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/socket.h>
#include <zu/string.h>
#include <zu/url.h>

namespace zu {
namespace net {
namespace http {

// An ordered block of header lines. Names are kept as given and may repeat;
// lookups match names without regard to ASCII case. Copies share the pairs
// until one of them changes.
class ZU_API MIME {
 public:
  // The pairs in the order they were added.
  TArray<StringPair> lines;

  unsigned int size() const;  // the number of pairs
  void reset();  // drops every pair
  // Appends the pair, also when the name is present already. Always true.
  bool set(String const& name, String const& value);
  // The value of the first pair of that name, else `defaultValue`.
  String get(String const& name, String const& defaultValue) const;
  // The values of all pairs of that name, in order.
  TArray<String> getValues(String const& name) const;
  bool contains(String const& name) const;  // a pair of that name is present
  // "Name: value" (without its line end) split at the first ": " and
  // appended; false, changing nothing, when the line holds no ": ".
  bool addLine(String const& line);
  // Each pair as name, ": ", value, "\r\n"; no blank line after the last.
  String toString() const;
};

// The status codes the library knows by name, and their reason phrases.
class ZU_API HttpStatus {
 public:
  // The known codes; the value is the code.
  enum E_Code : int {
    HTTP_CONTINUE = 100,
    HTTP_SWITCHING_PROTOCOLS = 101,
    HTTP_OK = 200,
    HTTP_CREATED = 201,
    HTTP_ACCEPTED = 202,
    HTTP_NON_AUTHORITATIVE_INFORMATION = 203,
    HTTP_NO_CONTENT = 204,
    HTTP_RESET_CONTENT = 205,
    HTTP_PARTIAL_CONTENT = 206,
    HTTP_MULTIPLE_CHOICES = 300,
    HTTP_MOVED_PERMANENTLY = 301,
    HTTP_MOVED_TEMPORARILY = 302,
    HTTP_SEE_OTHER = 303,
    HTTP_NOT_MODIFIED = 304,
    HTTP_USE_PROXY = 305,
    HTTP_BAD_REQUEST = 400,
    HTTP_UNAUTHORISED = 401,
    HTTP_PAYMENT_REQUIRED = 402,
    HTTP_FORBIDDEN = 403,
    HTTP_NOT_FOUND = 404,
    HTTP_METHOD_NOT_ALLOWED = 405,
    HTTP_NONE_ACCEPTABLE = 406,
    HTTP_PROXY_AUTHENTICATION_REQUIRED = 407,
    HTTP_REQUEST_TIMEOUT = 408,
    HTTP_CONFLICT = 409,
    HTTP_GONE = 410,
    HTTP_LENGTH_REQUIRED = 411,
    HTTP_UNLESS_TRUE = 412,
    HTTP_INTERNAL_SERVER_ERROR = 500,
    HTTP_NOT_IMPLEMENTED = 501,
    HTTP_BAD_GATEWAY = 502,
    HTTP_SERVICE_UNAVAILABLE = 503,
    HTTP_GATEWAY_TIMEOUT = 504
  };

  // The reason phrase ("Moved Temporarily" for 302); empty for a code
  // outside the list above (307, 413, ...).
  static String text(E_Code code);
};

class IHttpClient;

// Receives the body of IHttpClient::request as it arrives, on the caller's
// thread.
class ZU_API IHttpReceiver : public IBase {
 public:
  // The next `length` bytes of the body, valid during the call only.
  virtual void onData(boost::shared_ptr<IHttpClient> client, unsigned char const* data, unsigned int length) = 0;
  // The body is complete, or the connection delivered no more of it (the
  // request then returns false).
  virtual void onEnd(boost::shared_ptr<IHttpClient> client) = 0;
};

// HTTP/1.1 on the calling thread, over plain TCP for "http" URLs and over
// TLS for "https" ones (port 443 unless the URL names one; see zu/tls.h),
// following up to 9 redirects (301, 302, 307, 308 with the same method and
// body; 303 with a GET without a body; a relative Location is taken
// relative to the URL that answered; a redirect may switch between http
// and https). Other schemes are refused ("url scheme error. only support
// http."). Interim (1xx) answers are passed
// over; an answer without a length or chunks runs to the connection's end. Failures return false and are
// reported under the client: kind 1 for connecting and sending ("can't
// open remote host:" + host, "send request failed."), kind 2 for the rest;
// an https connection whose handshake fails reports the TLS socket's code
// and text (TLS_ERROR_NOT_TRUSTED "certificate not trusted: ...",
// TLS_ERROR_NAME_MISMATCH, TLS_ERROR_EXPIRED, TLS_ERROR_HANDSHAKE; 2
// "handshake timed out"), a record failing later TLS_ERROR_HANDSHAKE, and
// OpenSSL that cannot be loaded 100 "libssl.so.3 could not be loaded: ...".
// `timeout` bounds connecting (with the handshake), the keep-alive check,
// each write and each read. With keepAlive, the next exchange with the same
// scheme and host text reuses the connection if the last response was read completely (a
// chunked one to its blank line), did not say "Connection: close", and the
// peer has neither closed it nor sent anything more since; a GET or HEAD
// whose reused connection fails before any byte of the answer is sent once
// more on a fresh connection. One thread at a time per client.
class ZU_API IHttpClient : public IBase {
 public:
  // GET; the body (by chunked coding, Content-Length or the connection's
  // end; empty for 1xx, 204, 304 and 404) replaces `response`.
  virtual bool get(String const& url, String& response, bool keepAlive) = 0;
  // Sends `method` with `headers` (Host, User-Agent and Content-Length are
  // added when absent) and `body`; the response head goes to
  // `responseHeaders` and the body (none for HEAD) to `receiver`, whose
  // onEnd ends every request that got a response head.
  virtual bool request(String const& method, String const& url, MIME const& headers, String const& body,
                       MIME& responseHeaders, IHttpReceiver& receiver, bool keepAlive) = 0;
  // The status code of the last response head read; 100 before any.
  virtual unsigned int status() = 0;
  // GET as above, the body as bytes (it may hold zero bytes, which a String
  // would end at) replacing `body`, and the final response's head replacing
  // `responseHeaders`.
  virtual bool get(String const& url, ByteArray& body, MIME& responseHeaders, bool keepAlive) = 0;

  // https: servers are verified, chain and host name (or address), against
  // the system's trust store unless a CA file (PEM, one or more
  // certificates) or a folder of hashed certificates is named; naming one
  // replaces the system's store for the connections opened afterwards.
  // False, reported under the client with the TLS context's code and text,
  // when it cannot be loaded.
  virtual bool setCAFile(String const& file) = 0;
  virtual bool setCAFolder(String const& folder) = 0;  // as setCAFile, a folder of hashed certificates
  // https: accepts any certificate for any name (what `curl -k` does), for
  // tests against self-signed servers. The connections are still encrypted
  // but no longer authenticated: never for real peers.
  virtual void insecureDisableVerification() = 0;

  // `userAgent`: the User-Agent sent when a request has none; `timeout` in ms.
  static boost::shared_ptr<IHttpClient> New(String const& userAgent, unsigned int timeout);
};

// A request as the connection parsed it. `url` is "http://" + the Host
// header + the request target (or the target itself when it is a whole
// URL), or empty without a Host header. The URL keeps its parts decoded:
// "%2F" in the path reads as "/" and "/./" is collapsed; `target` holds the
// target as it came, for hosts that must tell them apart.
struct HttpRequest {
  String method;  // as sent ("GET", "POST", ...)
  URL url;  // see above
  MIME headers;  // in the order received
  String body;  // decoded from its chunks when chunked
  String target;  // the request target as sent
};

// An answer for IHttpConnection::respond.
struct HttpResponse {
  HttpStatus::E_Code code = HttpStatus::HTTP_OK;  // the status line's code
  MIME headers;  // completed by respond()
  String body;  // sent with its Content-Length
};

class IHttpConnection;

// What a connection accepts of a request. A request line of `maxLine`
// bytes or more is answered 414; a header line that long, more than
// `maxHeaders` header lines or a head of more than `maxHead` bytes, 431; a
// body of more than `maxBody` bytes, 413.
struct HttpLimits {
  unsigned int maxLine = 512;  // a line this long or longer is refused
  unsigned int maxHeaders = 19;  // header lines
  unsigned int maxHead = 0xFFFFFFFF;  // bytes of the head; no limit by default
  unsigned int maxBody = 10240;  // bytes of the body
};

// Implemented by servers; held weakly by the connection.
class ZU_API IHttpConnectionCallback : public IBase {
 public:
  // A complete request, on the reactor thread. Reading pauses until the
  // connection's respond().
  virtual void onRequest(boost::shared_ptr<IHttpConnection> connection, HttpRequest const& request) = 0;
  // 0: a request that failed to parse or broke a limit (reading pauses
  // until respond()); 2: the peer closed; 3: the idle or receive time-out
  // expired, or queued answers did not move within the idle time-out (again
  // every second until the caller acts). The connection takes no action of
  // its own.
  virtual void onEvent(boost::shared_ptr<IHttpConnection> connection, unsigned int event) = 0;
};

// The server side of one accepted TCP connection, persistent across
// requests. Requests are read on the pooled reactor "http-connection";
// limits: by default lines below 512 bytes, at most 19 header lines, bodies
// up to 10240 bytes (see HttpLimits); "HTTP/1.1" only (others: 505). A body
// comes by Content-Length or in chunks; other transfer codings are refused
// (501). A head that could frame its body more than one way is refused
// (400): Content-Length with Transfer-Encoding, lengths that disagree or
// are not digits, white space before a colon, a folded line, a second Host,
// a NUL or CR in a value. The absolute form of a target ("GET http://h/p")
// is taken as the request's URL. After a refused request, or a request that
// says "Connection: close", nothing more is read: the answer carries
// "Connection: close" and the connection closes once it is sent (unless
// the host writes the body itself behind the head; then the peer's close or
// a time-out ends it) and reports event 2 from the timer thread. A one-second
// tick on timer reactor 0 watches the idle time-out (waiting for a request)
// and the receive time-out (from a request's first byte to its last).
// Reading pauses while more than 64 KB of answers wait to be sent.
class ZU_API IHttpConnection : public IBase {
 public:
  // Attaches the socket, starts reading and the time-out tick.
  virtual void start(boost::weak_ptr<IHttpConnectionCallback> callback) = 0;
  // Answers the request last handed out (does nothing otherwise). Adds to
  // `response.headers`, when absent: "Server", "Content-Type" (text/html),
  // "Date"; and "Content-Length" of the body. What the socket does not take
  // at once is queued and written as it becomes writable.
  virtual void respond(HttpResponse& response) = 0;
  virtual ISocket* socket() = 0;  // the connection's socket, owned by the connection
  // After event 0: the status the refused request should be answered with
  // (400, 413, 414, 431, 501 or 505).
  virtual unsigned int refusedStatus() { return 400; }

  // `socket`: an accepted TCP socket; `idle` and `receive`: the time-outs
  // in ms.
  static boost::shared_ptr<IHttpConnection> New(boost::shared_ptr<ISocket> socket, unsigned int idle,
                                                unsigned int receive);
  // As above, with the host's own limits.
  static boost::shared_ptr<IHttpConnection> New(boost::shared_ptr<ISocket> socket, unsigned int idle,
                                                unsigned int receive, HttpLimits const& limits);
};

}  // namespace http
}  // namespace net
}  // namespace zu

#endif
