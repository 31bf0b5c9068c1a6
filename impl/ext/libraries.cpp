// The accessors of the C libraries behind the families: MariaDB's client,
// SQLCipher, PCRE2's POSIX-style interface, Expat and OpenSSL, each opened on
// first use.
#include "ext/libraries.h"

namespace zu {
namespace ext {

// Unused when a library is not built in: its list of functions is empty then.
#define ZU_EXT_RESOLVER [](Resolver & resolve [[maybe_unused]], auto& api [[maybe_unused]])

Library<Expat> const& expat() {
  return opened<Expat>([] {
    return load<Expat>(EXPAT_SONAME, ZU_WITH_XML, "ZU_WITH_XML", ZU_EXT_RESOLVER { ZU_EXPAT_FUNCTIONS(ZU_EXT_RESOLVE) });
  });
}

Library<Pcre2Posix> const& pcre2posix() {
  return opened<Pcre2Posix>([] {
    return load<Pcre2Posix>(PCRE2POSIX_SONAME, ZU_WITH_REGEX, "ZU_WITH_REGEX",
                            ZU_EXT_RESOLVER { ZU_PCRE2POSIX_FUNCTIONS(ZU_EXT_RESOLVE) });
  });
}

Library<SQLCipher> const& sqlcipher() {
  return opened<SQLCipher>([] {
    return load<SQLCipher>(SQLCIPHER_SONAME, ZU_WITH_SQLITE, "ZU_WITH_SQLITE",
                           ZU_EXT_RESOLVER { ZU_SQLCIPHER_FUNCTIONS(ZU_EXT_RESOLVE) });
  });
}

Library<MariaDB> const& mariadb() {
  return opened<MariaDB>([] {
    Library<MariaDB>* const library = load<MariaDB>(MARIADB_SONAME, ZU_WITH_MYSQL, "ZU_WITH_MYSQL",
                                                    ZU_EXT_RESOLVER { ZU_MARIADB_FUNCTIONS(ZU_EXT_RESOLVE) });
#if ZU_WITH_MYSQL
    // The client library sets up its character sets and thread keys here;
    // done later by the first mysql_init, it would race between threads, and
    // escaping before any connection was made would use the tables unset.
    if (library->loaded && library->api.mysql_server_init(0, nullptr, nullptr) != 0) {
      library->loaded = false;
      library->failure = std::string(MARIADB_SONAME) + " could not be loaded: the client library failed to initialise";
    }
#endif
    return library;
  });
}

Library<OpenSSL> const& openssl() {
  return opened<OpenSSL>([] {
    Library<OpenSSL>* const library = load<OpenSSL>(OPENSSL_SONAME, ZU_WITH_TLS, "ZU_WITH_TLS",
                                                    ZU_EXT_RESOLVER { ZU_OPENSSL_FUNCTIONS(ZU_EXT_RESOLVE) },
                                                    __::platform::OPENSSL_CRYPTO_LIBRARY);
#if ZU_WITH_TLS
    // Done once here, under the loader's lock, rather than implicitly by
    // whichever thread makes the first context.
    if (library->loaded && library->api.OPENSSL_init_ssl(0, nullptr) != 1) {
      library->loaded = false;
      library->failure = std::string(OPENSSL_SONAME) + " could not be loaded: the library failed to initialise";
    }
#endif
    return library;
  });
}

}  // namespace ext
}  // namespace zu
