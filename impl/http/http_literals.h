// Protocol literals shared by the HTTP client and the HTTP connection.
#ifndef ZU_IMPL_HTTP_LITERALS_H
#define ZU_IMPL_HTTP_LITERALS_H

namespace zu {
namespace net {
namespace http {
namespace literals {

constexpr char const protocolVersion[] = "HTTP/1.1";
constexpr char const headerSeparator[] = ": ";
constexpr char const lineEnd[] = "\r\n";
constexpr char const contentLength[] = "Content-Length";
constexpr char const transferEncoding[] = "Transfer-Encoding";
constexpr char const chunked[] = "chunked";
constexpr char const host[] = "Host";
constexpr char const date[] = "Date";
constexpr char const userAgent[] = "User-Agent";
constexpr char const connection[] = "Connection";
constexpr char const keepAlive[] = "Keep-Alive";
constexpr char const location[] = "Location";
constexpr char const server[] = "Server";
constexpr char const contentType[] = "Content-Type";

}  // namespace literals
}  // namespace http
}  // namespace net
}  // namespace zu

#endif
