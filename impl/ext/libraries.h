// The C libraries behind four families, opened with dlopen on first use: a
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
  F(sqlite3_free)
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

// Their tables of functions.
struct MariaDB { ZU_MARIADB_FUNCTIONS(ZU_EXT_MEMBER) };
struct SQLCipher { ZU_SQLCIPHER_FUNCTIONS(ZU_EXT_MEMBER) };
struct Pcre2Posix { ZU_PCRE2POSIX_FUNCTIONS(ZU_EXT_MEMBER) };
struct Expat { ZU_EXPAT_FUNCTIONS(ZU_EXT_MEMBER) };

// Each library is opened on the first call from any thread; MariaDB's
// client is also initialised then, before it is used in any way.
Library<MariaDB> const& mariadb();
Library<SQLCipher> const& sqlcipher();
Library<Pcre2Posix> const& pcre2posix();
Library<Expat> const& expat();

}  // namespace ext
}  // namespace zu

#endif
