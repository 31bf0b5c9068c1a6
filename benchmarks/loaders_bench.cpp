// The first use of each family that opens an outside library: the library
// is opened and every function of its table resolved (for MariaDB, the
// client library initialised too), then the operation runs. Each first-use
// case runs exactly once, in this process's first use of that family; the
// warm cases beside them are the same operation once the library is
// loaded, so the difference is the loading. This binary links none of the
// libraries, or the first use would find them loaded already. (The MariaDB
// client and SQLCipher share OpenSSL's libraries: whichever runs first pays
// for loading those.)
#include <benchmark/benchmark.h>

#include <zu/db.h>
#include <zu/util.h>
#include <zu/xml.h>

namespace {

void regex() {
  boost::shared_ptr<zu::util::IRegEx> compiled = zu::util::IRegEx::compile("a+b", 0);
  benchmark::DoNotOptimize(compiled);
}

void xml() {
  boost::shared_ptr<zu::xml::IParser> parser = zu::xml::IParser::New();
  bool const parsed = parser->parse("<a><b/></a>", 11, true);
  benchmark::DoNotOptimize(parsed);
}

void mysqlEscape() {
  // Needs no server: escaping outside a connection uses the client
  // library's own tables.
  boost::shared_ptr<zu::db::IConnection> connection = zu::db::IConnection::New("mysql://u@127.0.0.1/none");
  zu::String const escaped = connection->escape("it's");
  benchmark::DoNotOptimize(escaped);
}

void sqliteOpen() {
  boost::shared_ptr<zu::db::IConnection> connection = zu::db::IConnection::New("sqlite:///:memory:");
  bool const opened = connection->open();
  benchmark::DoNotOptimize(opened);
}

template <void (*Operation)()>
void BM_Use(benchmark::State& state) {
  for (auto _ : state) Operation();
}

}  // namespace

// Registered in this order, each first use before its warm case.
BENCHMARK_TEMPLATE(BM_Use, regex)->Name("BM_FirstUse_Regex_PCRE2")->Iterations(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Use, regex)->Name("BM_WarmUse_Regex")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Use, xml)->Name("BM_FirstUse_Xml_Expat")->Iterations(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Use, xml)->Name("BM_WarmUse_Xml")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Use, mysqlEscape)->Name("BM_FirstUse_MysqlEscape_MariaDB")->Iterations(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Use, mysqlEscape)->Name("BM_WarmUse_MysqlEscape")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Use, sqliteOpen)->Name("BM_FirstUse_SqliteOpen_SQLCipher")->Iterations(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Use, sqliteOpen)->Name("BM_WarmUse_SqliteOpen")->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
