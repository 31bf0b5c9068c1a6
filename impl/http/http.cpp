// The HTTP value types: MIME header sets with case-blind names, requests
// and responses.
#include <zu/http.h>

#include <cstring>

#include "http/http_literals.h"
#include "core/text.h"

namespace zu {
namespace net {
namespace http {

namespace {

using ::zu::__::lowerAscii;

// Names match when their lower-case forms are equal (ASCII letters only,
// as String::toLower folds them), compared without making the copies.
bool sameName(String const& a, String const& b) {
  char const* p = a.cstr();
  char const* q = b.cstr();
  for (; *p && *q; ++p, ++q)
    if (lowerAscii(*p) != lowerAscii(*q)) return false;
  return *p == *q;
}

}  // namespace

unsigned int MIME::size() const { return lines.size(); }

void MIME::reset() { lines.clear(); }

bool MIME::set(String const& name, String const& value) {
  lines.append(StringPair{name, value});
  return true;
}

String MIME::get(String const& name, String const& defaultValue) const {
  for (unsigned int i = 0, n = lines.size(); i < n; ++i)
    if (sameName(lines[i].name, name)) return lines[i].value;
  return defaultValue;
}

TArray<String> MIME::getValues(String const& name) const {
  TArray<String> values;
  for (unsigned int i = 0, n = lines.size(); i < n; ++i)
    if (sameName(lines[i].name, name)) values.append(lines[i].value);
  return values;
}

bool MIME::contains(String const& name) const {
  for (unsigned int i = 0, n = lines.size(); i < n; ++i)
    if (sameName(lines[i].name, name)) return true;
  return false;
}

bool MIME::addLine(String const& line) {
  unsigned int const at = line.find(literals::headerSeparator);
  if (at == 0xFFFFFFFF) return false;
  return set(line.left(at), line.mid(at + 2));
}

String MIME::toString() const {
  std::size_t bytes = 0;
  for (unsigned int i = 0, n = lines.size(); i < n; ++i)
    bytes += lines[i].name.length() + lines[i].value.length() + 4;
  String text;
  if (bytes == 0) return text;
  char* w = text.getBuffer(static_cast<unsigned int>(bytes));
  for (unsigned int i = 0, n = lines.size(); i < n; ++i) {
    unsigned int const nameLength = lines[i].name.length();
    unsigned int const valueLength = lines[i].value.length();
    std::memcpy(w, lines[i].name.cstr(), nameLength);
    w += nameLength;
    std::memcpy(w, literals::headerSeparator, 2);
    w += 2;
    std::memcpy(w, lines[i].value.cstr(), valueLength);
    w += valueLength;
    std::memcpy(w, literals::lineEnd, 2);
    w += 2;
  }
  *w = 0;
  return text;
}

String HttpStatus::text(E_Code code) {
  switch (code) {
    case HTTP_CONTINUE: return "Continue";
    case HTTP_SWITCHING_PROTOCOLS: return "Switching Protocols";
    case HTTP_OK: return "OK";
    case HTTP_CREATED: return "Created";
    case HTTP_ACCEPTED: return "Accepted";
    case HTTP_NON_AUTHORITATIVE_INFORMATION: return "Non-Authoritative Information";
    case HTTP_NO_CONTENT: return "No Content";
    case HTTP_RESET_CONTENT: return "Reset Content";
    case HTTP_PARTIAL_CONTENT: return "Partial Content";
    case HTTP_MULTIPLE_CHOICES: return "Multiple Choices";
    case HTTP_MOVED_PERMANENTLY: return "Moved Permanently";
    case HTTP_MOVED_TEMPORARILY: return "Moved Temporarily";
    case HTTP_SEE_OTHER: return "See Other";
    case HTTP_NOT_MODIFIED: return "Not Modified";
    case HTTP_USE_PROXY: return "Use Proxy";
    case HTTP_BAD_REQUEST: return "Bad Request";
    case HTTP_UNAUTHORISED: return "Unauthorised";
    case HTTP_PAYMENT_REQUIRED: return "Payment Required";
    case HTTP_FORBIDDEN: return "Forbidden";
    case HTTP_NOT_FOUND: return "Not Found";
    case HTTP_METHOD_NOT_ALLOWED: return "Method Not Allowed";
    case HTTP_NONE_ACCEPTABLE: return "None Acceptable";
    case HTTP_PROXY_AUTHENTICATION_REQUIRED: return "Proxy Authentication Required";
    case HTTP_REQUEST_TIMEOUT: return "Request Timeout";
    case HTTP_CONFLICT: return "Conflict";
    case HTTP_GONE: return "Gone";
    case HTTP_LENGTH_REQUIRED: return "Length Required";
    case HTTP_UNLESS_TRUE: return "Unless True";
    case HTTP_INTERNAL_SERVER_ERROR: return "Internal Server Error";
    case HTTP_NOT_IMPLEMENTED: return "Not Implemented";
    case HTTP_BAD_GATEWAY: return "Bad Gateway";
    case HTTP_SERVICE_UNAVAILABLE: return "Service Unavailable";
    case HTTP_GATEWAY_TIMEOUT: return "Gateway Timeout";
  }
  return String();
}

}  // namespace http
}  // namespace net
}  // namespace zu
