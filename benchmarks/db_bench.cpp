// Small SELECTs and INSERT batches through zu::db against the engines' own C
// interfaces (sqlite3_* and mysql_*) on the same databases. The MySQL side
// runs against a private MariaDB server started for this run.
#include <benchmark/benchmark.h>
#include <mysql.h>
#include <sqlite3.h>
#include <zu/db.h>
#include <zu/logger.h>

#include <cstdio>
#include <string>

#include "../tests/db_server.h"

namespace {

typedef boost::shared_ptr<zu::db::IConnection> Connection;

std::string sqliteDir;
zu_test::MariaDbServer* mariadb = nullptr;
bool mariadbUp = false;

std::string sqliteFile() { return sqliteDir + "/bench.db"; }

char const* const createSql =
    "DROP TABLE IF EXISTS b; CREATE TABLE b (id INTEGER PRIMARY KEY, name VARCHAR(40), v INTEGER)";
char const* const createMysql =
    "DROP TABLE IF EXISTS b; CREATE TABLE b (id INTEGER PRIMARY KEY AUTO_INCREMENT, name VARCHAR(40), v INTEGER)";
int const batch = 100;

// One INSERT statement of `batch` rows.
std::string insertBatch(int round) {
  std::string sql = "INSERT INTO b (name, v) VALUES ";
  for (int i = 0; i < batch; ++i) {
    if (i) sql += ",";
    sql += "('name-" + std::to_string(round) + "-" + std::to_string(i) + "'," + std::to_string(i) + ")";
  }
  return sql;
}

void fillSqlite(Connection const& db) {
  db->query(createSql);
  db->query(insertBatch(0).c_str());
}

// ------------------------------------------------------------------ SQLite

void BM_SqliteSelect_Zu(benchmark::State& state) {
  Connection db = zu::db::IConnection::New(("sqlite://" + sqliteFile()).c_str());
  if (!db->open()) return state.SkipWithError("sqlite open failed");
  fillSqlite(db);
  int id = 0;
  for (auto _ : state) {
    std::string const sql = "SELECT id, name, v FROM b WHERE id = " + std::to_string(id++ % batch + 1);
    boost::shared_ptr<zu::db::IRecordSet> rows = db->query(sql.c_str());
    benchmark::DoNotOptimize(rows->get(0, 1u));
  }
}
BENCHMARK(BM_SqliteSelect_Zu);

void BM_SqliteSelect_Raw(benchmark::State& state) {
  sqlite3* db = nullptr;
  if (sqlite3_open(sqliteFile().c_str(), &db) != SQLITE_OK) return state.SkipWithError("sqlite open failed");
  sqlite3_exec(db, createSql, nullptr, nullptr, nullptr);
  sqlite3_exec(db, insertBatch(0).c_str(), nullptr, nullptr, nullptr);
  int id = 0;
  for (auto _ : state) {
    std::string const sql = "SELECT id, name, v FROM b WHERE id = " + std::to_string(id++ % batch + 1);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    std::string name;
    while (sqlite3_step(statement) == SQLITE_ROW) name = reinterpret_cast<char const*>(sqlite3_column_text(statement, 1));
    sqlite3_finalize(statement);
    benchmark::DoNotOptimize(name);
  }
  sqlite3_close(db);
}
BENCHMARK(BM_SqliteSelect_Raw);

void BM_SqliteInsertBatch_Zu(benchmark::State& state) {
  Connection db = zu::db::IConnection::New(("sqlite://" + sqliteFile()).c_str());
  if (!db->open()) return state.SkipWithError("sqlite open failed");
  db->query(createSql);
  int round = 0;
  for (auto _ : state) {
    unsigned int affected = 0;
    db->query(("BEGIN;" + insertBatch(round++) + ";COMMIT").c_str(), &affected);
    benchmark::DoNotOptimize(affected);
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SqliteInsertBatch_Zu);

void BM_SqliteInsertBatch_Raw(benchmark::State& state) {
  sqlite3* db = nullptr;
  if (sqlite3_open(sqliteFile().c_str(), &db) != SQLITE_OK) return state.SkipWithError("sqlite open failed");
  sqlite3_exec(db, createSql, nullptr, nullptr, nullptr);
  int round = 0;
  for (auto _ : state) {
    sqlite3_exec(db, ("BEGIN;" + insertBatch(round++) + ";COMMIT").c_str(), nullptr, nullptr, nullptr);
    benchmark::DoNotOptimize(sqlite3_changes(db));
  }
  state.SetItemsProcessed(state.iterations() * batch);
  sqlite3_close(db);
}
BENCHMARK(BM_SqliteInsertBatch_Raw);

// ------------------------------------------------------------------- MySQL

MYSQL* rawMysql() {
  MYSQL* mysql = mysql_init(nullptr);
  if (!mysql_real_connect(mysql, "127.0.0.1", mariadb->user, mariadb->password, mariadb->database, mariadb->port(),
                          nullptr, CLIENT_FOUND_ROWS | CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS)) {
    mysql_close(mysql);
    return nullptr;
  }
  return mysql;
}

// Runs a text and drops all its results.
void rawRun(MYSQL* mysql, std::string const& sql) {
  if (mysql_query(mysql, sql.c_str()) != 0) return;
  do {
    if (MYSQL_RES* result = mysql_store_result(mysql)) mysql_free_result(result);
  } while (mysql_next_result(mysql) == 0);
}

Connection zuMysql(benchmark::State& state) {
  if (!mariadbUp) {
    state.SkipWithError("no MariaDB server (package mariadb-server)");
    return Connection();
  }
  Connection db = zu::db::IConnection::New(mariadb->tcpUrl().c_str());
  if (!db->open()) {
    state.SkipWithError("mysql open failed");
    return Connection();
  }
  return db;
}

MYSQL* openRawMysql(benchmark::State& state) {
  if (!mariadbUp) {
    state.SkipWithError("no MariaDB server (package mariadb-server)");
    return nullptr;
  }
  MYSQL* mysql = rawMysql();
  if (!mysql) state.SkipWithError("mysql open failed");
  return mysql;
}

void BM_MysqlSelect_Zu(benchmark::State& state) {
  Connection db = zuMysql(state);
  if (!db) return;
  db->query(createMysql);
  db->query(insertBatch(0).c_str());
  int id = 0;
  for (auto _ : state) {
    std::string const sql = "SELECT id, name, v FROM b WHERE id = " + std::to_string(id++ % batch + 1);
    boost::shared_ptr<zu::db::IRecordSet> rows = db->query(sql.c_str());
    benchmark::DoNotOptimize(rows->get(0, 1u));
  }
}
BENCHMARK(BM_MysqlSelect_Zu)->UseRealTime();

void BM_MysqlSelect_Raw(benchmark::State& state) {
  MYSQL* mysql = openRawMysql(state);
  if (!mysql) return;
  rawRun(mysql, createMysql);
  rawRun(mysql, insertBatch(0));
  int id = 0;
  for (auto _ : state) {
    std::string const sql = "SELECT id, name, v FROM b WHERE id = " + std::to_string(id++ % batch + 1);
    mysql_query(mysql, sql.c_str());
    MYSQL_RES* result = mysql_store_result(mysql);
    std::string name;
    while (MYSQL_ROW row = mysql_fetch_row(result)) name = row[1] ? row[1] : "";
    mysql_free_result(result);
    benchmark::DoNotOptimize(name);
  }
  mysql_close(mysql);
}
BENCHMARK(BM_MysqlSelect_Raw)->UseRealTime();

void BM_MysqlInsertBatch_Zu(benchmark::State& state) {
  Connection db = zuMysql(state);
  if (!db) return;
  db->query(createMysql);
  int round = 0;
  for (auto _ : state) {
    unsigned int affected = 0;
    db->query(insertBatch(round++).c_str(), &affected);
    benchmark::DoNotOptimize(affected);
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_MysqlInsertBatch_Zu)->UseRealTime();

void BM_MysqlInsertBatch_Raw(benchmark::State& state) {
  MYSQL* mysql = openRawMysql(state);
  if (!mysql) return;
  rawRun(mysql, createMysql);
  int round = 0;
  for (auto _ : state) {
    rawRun(mysql, insertBatch(round++));
    benchmark::DoNotOptimize(mysql_affected_rows(mysql));
  }
  state.SetItemsProcessed(state.iterations() * batch);
  mysql_close(mysql);
}
BENCHMARK(BM_MysqlInsertBatch_Raw)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  zu::util::logger::setLevel(1);  // no connection lines in the figures
  char pattern[] = "/tmp/zu_dbb_XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  sqliteDir = pattern;
  zu_test::MariaDbServer server;
  mariadb = &server;
  std::string const whyNot = server.start();
  mariadbUp = whyNot.empty();
  if (!mariadbUp) std::fprintf(stderr, "MySQL benchmarks skipped: %s\n", whyNot.c_str());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  server.stop();
  std::error_code ignored;
  std::filesystem::remove_all(sqliteDir, ignored);
  return 0;
}
