// zu::net::http: header blocks and status texts shared by the HTTP client
// and the server-side HTTP connection.
#ifndef ZU_HTTP_H
#define ZU_HTTP_H

#include <zu/array.h>
#include <zu/config.h>
#include <zu/string.h>

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

  unsigned int size() const;
  void reset();
  // Appends the pair, also when the name is present already. Always true.
  bool set(String const& name, String const& value);
  // The value of the first pair of that name, else `defaultValue`.
  String get(String const& name, String const& defaultValue) const;
  // The values of all pairs of that name, in order.
  TArray<String> getValues(String const& name) const;
  bool contains(String const& name) const;
  // "Name: value" (without its line end) split at the first ": " and
  // appended; false, changing nothing, when the line holds no ": ".
  bool addLine(String const& line);
  // Each pair as name, ": ", value, "\r\n"; no blank line after the last.
  String toString() const;
};

class ZU_API HttpStatus {
 public:
  enum E_Code {
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

}  // namespace http
}  // namespace net
}  // namespace zu

#endif
