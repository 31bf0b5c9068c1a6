// The loader of SQLCipher, the SQLite engine with keyed, encrypted files
// behind the SQLite connections.
#ifndef ZU_IMPL_EXT_SQLCIPHER_H
#define ZU_IMPL_EXT_SQLCIPHER_H

#include "ext/loader.h"

#if ZU_WITH_SQLITE
#include <sqlite3.h>
#endif

namespace zu {
namespace ext {

char const* const SQLCIPHER_SONAME = "libsqlcipher.so.0";

#if ZU_WITH_SQLITE
// Every function of the library that zu calls, by its C name.
struct SQLCipher {
  decltype(&::sqlite3_open) sqlite3_open;
  decltype(&::sqlite3_key) sqlite3_key;
  decltype(&::sqlite3_close) sqlite3_close;
  decltype(&::sqlite3_total_changes) sqlite3_total_changes;
  decltype(&::sqlite3_changes) sqlite3_changes;
  decltype(&::sqlite3_prepare_v2) sqlite3_prepare_v2;
  decltype(&::sqlite3_errmsg) sqlite3_errmsg;
  decltype(&::sqlite3_column_count) sqlite3_column_count;
  decltype(&::sqlite3_column_name) sqlite3_column_name;
  decltype(&::sqlite3_column_type) sqlite3_column_type;
  decltype(&::sqlite3_column_text) sqlite3_column_text;
  decltype(&::sqlite3_step) sqlite3_step;
  decltype(&::sqlite3_finalize) sqlite3_finalize;
  decltype(&::sqlite3_mprintf) sqlite3_mprintf;
  decltype(&::sqlite3_free) sqlite3_free;
};
#else
struct SQLCipher {};
#endif

// The library, opened on the first call from any thread.
Library<SQLCipher> const& sqlcipher();

}  // namespace ext
}  // namespace zu

#endif
