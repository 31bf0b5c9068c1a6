// The loader of the MariaDB client library, through which the MySQL
// connections reach their server.
#include "ext/mariadb.h"

namespace zu {
namespace ext {

namespace {

Library<MariaDB>* loadMariaDB() {
  Library<MariaDB>* const library = new Library<MariaDB>();
#if ZU_WITH_MYSQL
  Resolver resolve(MARIADB_SONAME);
  MariaDB& api = library->api;
  resolve(api.mysql_server_init, "mysql_server_init");
  resolve(api.mysql_init, "mysql_init");
  resolve(api.mysql_options, "mysql_options");
  resolve(api.mysql_real_connect, "mysql_real_connect");
  resolve(api.mysql_error, "mysql_error");
  resolve(api.mysql_close, "mysql_close");
  resolve(api.mysql_query, "mysql_query");
  resolve(api.mysql_store_result, "mysql_store_result");
  resolve(api.mysql_field_count, "mysql_field_count");
  resolve(api.mysql_affected_rows, "mysql_affected_rows");
  resolve(api.mysql_next_result, "mysql_next_result");
  resolve(api.mysql_more_results, "mysql_more_results");
  resolve(api.mysql_free_result, "mysql_free_result");
  resolve(api.mysql_fetch_field, "mysql_fetch_field");
  resolve(api.mysql_num_rows, "mysql_num_rows");
  resolve(api.mysql_fetch_row, "mysql_fetch_row");
  resolve(api.mysql_fetch_lengths, "mysql_fetch_lengths");
  resolve(api.mysql_real_escape_string, "mysql_real_escape_string");
  resolve(api.mysql_escape_string, "mysql_escape_string");
  library->loaded = resolve.finish(library->failure);
  // The client library sets up its character sets and thread keys here;
  // done later by the first mysql_init, it would race between threads, and
  // escaping before any connection was made would use the tables unset.
  if (library->loaded && api.mysql_server_init(0, nullptr, nullptr) != 0) {
    library->loaded = false;
    library->failure = std::string(MARIADB_SONAME) + " could not be loaded: the client library failed to initialise";
  }
#else
  library->failure = notBuiltIn(MARIADB_SONAME, "ZU_WITH_MYSQL");
#endif
  return library;
}

}  // namespace

Library<MariaDB> const& mariadb() {
  static Library<MariaDB> const* const library = loadMariaDB();
  static std::atomic<bool> logged{false};
  if (!library->loaded) logOnce(logged, library->failure);
  return *library;
}

}  // namespace ext
}  // namespace zu
