// The C libraries behind five families, opened with dlopen on first use: a
// table of every function zu calls in each, listed once by its C name.
#ifndef ZU_IMPL_EXT_LIBRARIES_H
#define ZU_IMPL_EXT_LIBRARIES_H

#include "ext/loader.h"
#include "platform/shared_library.h"

// A family built without its library has an empty list and an empty table.
#if ZU_WITH_MYSQL
#include <mysql.h>
#define ZU_MARIADB_FUNCTIONS(F) \
  F(mysql_server_init) F(mysql_init) F(mysql_options) F(mysql_real_connect) F(mysql_error) F(mysql_close) \
  F(mysql_query) F(mysql_store_result) F(mysql_field_count) F(mysql_affected_rows) F(mysql_next_result) \
  F(mysql_more_results) F(mysql_free_result) F(mysql_fetch_field) F(mysql_num_rows) F(mysql_fetch_row) \
  F(mysql_fetch_lengths) F(mysql_real_escape_string) F(mysql_escape_string)
#else
#define ZU_MARIADB_FUNCTIONS(F)
#endif

#if ZU_WITH_SQLITE
#include <sqlite3.h>
#define ZU_SQLCIPHER_FUNCTIONS(F) \
  F(sqlite3_open) F(sqlite3_key) F(sqlite3_close) F(sqlite3_total_changes) F(sqlite3_changes) \
  F(sqlite3_prepare_v2) F(sqlite3_errmsg) F(sqlite3_column_count) F(sqlite3_column_name) \
  F(sqlite3_column_type) F(sqlite3_column_text) F(sqlite3_step) F(sqlite3_finalize) F(sqlite3_mprintf) \
  F(sqlite3_free) F(sqlite3_busy_timeout)
#else
#define ZU_SQLCIPHER_FUNCTIONS(F)
#endif

#if ZU_WITH_REGEX
#include <pcre2posix.h>
#define ZU_PCRE2POSIX_FUNCTIONS(F) \
  F(pcre2_regcomp) F(pcre2_regexec) F(pcre2_regerror) F(pcre2_regfree)
#else
#define ZU_PCRE2POSIX_FUNCTIONS(F)
#endif

#if ZU_WITH_XML
#include <expat.h>
#define ZU_EXPAT_FUNCTIONS(F) \
  F(XML_ParserCreate) F(XML_ParserFree) F(XML_SetUserData) F(XML_SetElementHandler) \
  F(XML_SetCharacterDataHandler) F(XML_SetXmlDeclHandler) F(XML_SetDoctypeDeclHandler) \
  F(XML_SetNamespaceDeclHandler) F(XML_Parse) F(XML_GetErrorCode) F(XML_ErrorString) F(XML_StopParser)
#else
#define ZU_EXPAT_FUNCTIONS(F)
#endif

// OpenSSL: libssl, whose handle also finds the libcrypto functions it
// depends on (the BIO pairs, the error queue, the verification parameters).
// Only functions are listed; the macros of the headers are their
// SSL_ctrl/SSL_CTX_ctrl/BIO_ctrl forms, called through these.
#if ZU_WITH_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#define ZU_OPENSSL_FUNCTIONS(F) \
  F(OPENSSL_init_ssl) F(TLS_client_method) F(TLS_server_method) F(SSL_CTX_new) F(SSL_CTX_free) \
  F(SSL_CTX_ctrl) F(SSL_CTX_set_options) F(SSL_CTX_set_verify) F(SSL_CTX_set_default_verify_paths) \
  F(SSL_CTX_load_verify_locations) F(SSL_CTX_use_certificate_chain_file) F(SSL_CTX_use_PrivateKey_file) \
  F(SSL_CTX_check_private_key) F(SSL_CTX_set_alpn_protos) F(SSL_CTX_set_alpn_select_cb) \
  F(SSL_select_next_proto) F(SSL_new) F(SSL_free) F(SSL_set_bio) F(SSL_set_connect_state) \
  F(SSL_set_accept_state) F(SSL_set_verify) F(SSL_ctrl) F(SSL_do_handshake) F(SSL_is_init_finished) \
  F(SSL_read) F(SSL_peek) F(SSL_write) F(SSL_pending) F(SSL_get_error) F(SSL_shutdown) \
  F(SSL_get_verify_result) F(SSL_get0_param) F(SSL_get_version) F(SSL_get0_alpn_selected) \
  F(X509_VERIFY_PARAM_set1_host) F(X509_VERIFY_PARAM_set1_ip_asc) F(X509_VERIFY_PARAM_set_hostflags) \
  F(X509_verify_cert_error_string) F(ERR_get_error) F(ERR_clear_error) F(ERR_error_string_n) \
  F(BIO_new_bio_pair) F(BIO_free) F(BIO_ctrl) F(BIO_ctrl_pending) F(BIO_ctrl_get_write_guarantee) \
  F(BIO_nread0) F(BIO_nread) F(BIO_nwrite0) F(BIO_nwrite)
#else
#define ZU_OPENSSL_FUNCTIONS(F)
#endif

namespace zu {
namespace ext {

// The libraries, by the file names this system gives them: MariaDB's
// client, through which the MySQL connections reach their server;
// SQLCipher, the SQLite engine with keyed, encrypted files; PCRE2's
// POSIX-style interface, the engine of the regular expressions; Expat, the
// parser under the XML document reader.
char const* const MARIADB_SONAME = __::platform::MARIADB_LIBRARY;
char const* const SQLCIPHER_SONAME = __::platform::SQLCIPHER_LIBRARY;
char const* const PCRE2POSIX_SONAME = __::platform::PCRE2POSIX_LIBRARY;
char const* const EXPAT_SONAME = __::platform::EXPAT_LIBRARY;
// OpenSSL 3's TLS library, under the TLS connections (it brings its
// crypto library along).
char const* const OPENSSL_SONAME = __::platform::OPENSSL_LIBRARY;

// Their tables of functions.
struct MariaDB { ZU_MARIADB_FUNCTIONS(ZU_EXT_MEMBER) };
struct SQLCipher { ZU_SQLCIPHER_FUNCTIONS(ZU_EXT_MEMBER) };
struct Pcre2Posix { ZU_PCRE2POSIX_FUNCTIONS(ZU_EXT_MEMBER) };
struct Expat { ZU_EXPAT_FUNCTIONS(ZU_EXT_MEMBER) };
struct OpenSSL { ZU_OPENSSL_FUNCTIONS(ZU_EXT_MEMBER) };

// Each library is opened on the first call from any thread; MariaDB's
// client is also initialised then, before it is used in any way.
Library<MariaDB> const& mariadb();
Library<SQLCipher> const& sqlcipher();
Library<Pcre2Posix> const& pcre2posix();
Library<Expat> const& expat();
Library<OpenSSL> const& openssl();

}  // namespace ext
}  // namespace zu

#endif
