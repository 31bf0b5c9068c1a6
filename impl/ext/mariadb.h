// The loader of the MariaDB client library, through which the MySQL
// connections reach their server.
#ifndef ZU_IMPL_EXT_MARIADB_H
#define ZU_IMPL_EXT_MARIADB_H

#include "ext/loader.h"

#if ZU_WITH_MYSQL
#include <mysql.h>
#endif

namespace zu {
namespace ext {

char const* const MARIADB_SONAME = "libmariadb.so.3";

#if ZU_WITH_MYSQL
// Every function of the library that zu calls, by its C name.
struct MariaDB {
  decltype(&::mysql_server_init) mysql_server_init;
  decltype(&::mysql_init) mysql_init;
  decltype(&::mysql_options) mysql_options;
  decltype(&::mysql_real_connect) mysql_real_connect;
  decltype(&::mysql_error) mysql_error;
  decltype(&::mysql_close) mysql_close;
  decltype(&::mysql_query) mysql_query;
  decltype(&::mysql_store_result) mysql_store_result;
  decltype(&::mysql_field_count) mysql_field_count;
  decltype(&::mysql_affected_rows) mysql_affected_rows;
  decltype(&::mysql_next_result) mysql_next_result;
  decltype(&::mysql_more_results) mysql_more_results;
  decltype(&::mysql_free_result) mysql_free_result;
  decltype(&::mysql_fetch_field) mysql_fetch_field;
  decltype(&::mysql_num_rows) mysql_num_rows;
  decltype(&::mysql_fetch_row) mysql_fetch_row;
  decltype(&::mysql_fetch_lengths) mysql_fetch_lengths;
  decltype(&::mysql_real_escape_string) mysql_real_escape_string;
  decltype(&::mysql_escape_string) mysql_escape_string;
};
#else
struct MariaDB {};
#endif

// The library, opened on the first call from any thread, and the client library initialised before it is used in any way.
Library<MariaDB> const& mariadb();

}  // namespace ext
}  // namespace zu

#endif
