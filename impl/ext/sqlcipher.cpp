// The loader of SQLCipher, the SQLite engine with keyed, encrypted files
// behind the SQLite connections.
#include "ext/sqlcipher.h"

namespace zu {
namespace ext {

namespace {

Library<SQLCipher>* loadSQLCipher() {
  Library<SQLCipher>* const library = new Library<SQLCipher>();
#if ZU_WITH_SQLITE
  Resolver resolve(SQLCIPHER_SONAME);
  SQLCipher& api = library->api;
  resolve(api.sqlite3_open, "sqlite3_open");
  resolve(api.sqlite3_key, "sqlite3_key");
  resolve(api.sqlite3_close, "sqlite3_close");
  resolve(api.sqlite3_total_changes, "sqlite3_total_changes");
  resolve(api.sqlite3_changes, "sqlite3_changes");
  resolve(api.sqlite3_prepare_v2, "sqlite3_prepare_v2");
  resolve(api.sqlite3_errmsg, "sqlite3_errmsg");
  resolve(api.sqlite3_column_count, "sqlite3_column_count");
  resolve(api.sqlite3_column_name, "sqlite3_column_name");
  resolve(api.sqlite3_column_type, "sqlite3_column_type");
  resolve(api.sqlite3_column_text, "sqlite3_column_text");
  resolve(api.sqlite3_step, "sqlite3_step");
  resolve(api.sqlite3_finalize, "sqlite3_finalize");
  resolve(api.sqlite3_mprintf, "sqlite3_mprintf");
  resolve(api.sqlite3_free, "sqlite3_free");
  library->loaded = resolve.finish(library->failure);
#else
  library->failure = notBuiltIn(SQLCIPHER_SONAME, "ZU_WITH_SQLITE");
#endif
  return library;
}

}  // namespace

Library<SQLCipher> const& sqlcipher() {
  static Library<SQLCipher> const* const library = loadSQLCipher();
  static std::atomic<bool> logged{false};
  if (!library->loaded) logOnce(logged, library->failure);
  return *library;
}

}  // namespace ext
}  // namespace zu
