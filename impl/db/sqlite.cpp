// SQLite connections over SQLCipher (SQLite with keyed, encrypted files),
// reached through its loader: a connection opens the library the first
// time it needs it.
#include <zu/cypher.h>
#include <zu/db.h>
#include <zu/em.h>
#include <zu/fs.h>
#include <zu/url.h>

#include <boost/make_shared.hpp>
#include <utility>

#include "db/db_internal.h"
#include "diag/logging.h"
#include "ext/libraries.h"

namespace zu {
namespace db {
namespace impl {

#if ZU_WITH_SQLITE

// How long a statement waits for a lock another connection holds.
int const LOCK_WAIT_MILLISECONDS = 5000;

class SqliteConnection : public IConnection {
 public:
  explicit SqliteConnection(URL const& url);
  ~SqliteConnection() override;

  bool open() override;
  void close() override;
  bool isOpen() const override;
  boost::shared_ptr<IRecordSet> query(String const& sql, unsigned int* affected) override;
  String escape(String const& text) override;

 private:
  void const* owner() const { return static_cast<IConnection const*>(this); }
  // The engine's functions; only called once it is loaded.
  static ext::SQLCipher const& api() { return ext::sqlcipher().api; }

  sqlite3* sqlite_;  // null while closed
  String file_;
  ByteArray key_;
};

SqliteConnection::SqliteConnection(URL const& url)
    : sqlite_(nullptr), file_(fs::Path(url.getPath()).toString()), key_(url.getQuery("key")) {}

SqliteConnection::~SqliteConnection() { close(); }

bool SqliteConnection::open() {
  close();
  ext::Library<ext::SQLCipher> const& engine = ext::sqlcipher();
  if (!engine.loaded) return ext::unavailable(owner(), engine.failure);
  // The engine is keyed with the digest of the key bytes. A connection
  // string without a key gives a plain file that any SQLite tool reads.
  ByteArray const digest = cypher::IMD5::digest(key_);
  int result = api().sqlite3_open(file_.cstr(), &sqlite_);
  if (result == SQLITE_OK && !key_.empty()) {
    result = api().sqlite3_key(sqlite_, digest.ptr(), static_cast<int>(digest.size()));
  }
  // Connections to one file take its locks in turn: one that finds a lock
  // taken waits for it a while instead of failing with "database is
  // locked". Readers contend too where the system's file locks are
  // exclusive while a shared lock is being taken (Windows).
  if (result == SQLITE_OK) result = api().sqlite3_busy_timeout(sqlite_, LOCK_WAIT_MILLISECONDS);
  if (result == SQLITE_OK) return true;
  if (sqlite_ != nullptr) api().sqlite3_close(sqlite_);
  sqlite_ = nullptr;
  em::report(owner(), ERROR_ENGINE, String("failed to open sqlite db"));
  ZU_LOG_OBJ(3, "[DBG1]", *this, "failed to open " << file_);
  return false;
}

void SqliteConnection::close() {
  if (sqlite_ == nullptr) return;
  api().sqlite3_close(sqlite_);
  sqlite_ = nullptr;
}

bool SqliteConnection::isOpen() const { return sqlite_ != nullptr; }

boost::shared_ptr<IRecordSet> SqliteConnection::query(String const& sql, unsigned int* affected) {
  if (sqlite_ == nullptr) return notOpened(owner());
  if (affected) *affected = 0;
  // Each statement runs exactly once; the first one's rows are collected
  // while it runs, so a statement that changes data is never repeated.
  int const changesBefore = api().sqlite3_total_changes(sqlite_);
  boost::shared_ptr<RecordSet> records = boost::make_shared<RecordSet>();
  bool first = true;
  char const* rest = sql.cstr();
  while (*rest != '\0') {
    sqlite3_stmt* statement = nullptr;
    char const* next = nullptr;
    if (api().sqlite3_prepare_v2(sqlite_, rest, -1, &statement, &next) != SQLITE_OK) {
      queryFailed(*this, sql, api().sqlite3_errmsg(sqlite_));
      return boost::shared_ptr<IRecordSet>();
    }
    if (statement == nullptr) break;  // only blanks or comments were left
    rest = next;
    bool const collect = first;
    first = false;
    int const columns = collect ? api().sqlite3_column_count(statement) : 0;
    for (int i = 0; i < columns; ++i) records->fields_.append(String(api().sqlite3_column_name(statement, i)));
    int step;
    while ((step = api().sqlite3_step(statement)) == SQLITE_ROW) {
      if (!collect) continue;
      TArray<String> cells;
      for (int i = 0; i < columns; ++i) {
        // A NULL value has no text (nor has an empty BLOB).
        unsigned char const* const text = api().sqlite3_column_text(statement, i);
        if (text == nullptr && api().sqlite3_column_type(statement, i) == SQLITE_NULL) {
          records->markNull(records->rows_.size(), static_cast<unsigned int>(i));
        }
        cells.append(String(reinterpret_cast<char const*>(text)));
      }
      records->rows_.push_back(std::move(cells));
    }
    if (step != SQLITE_DONE) {
      queryFailed(*this, sql, api().sqlite3_errmsg(sqlite_));
      api().sqlite3_finalize(statement);
      return boost::shared_ptr<IRecordSet>();
    }
    api().sqlite3_finalize(statement);
  }
  // sqlite3_changes keeps the count of the last INSERT, UPDATE or DELETE
  // run on the handle, possibly by an earlier text: it only counts when
  // this text changed anything.
  if (affected && api().sqlite3_total_changes(sqlite_) != changesBefore) {
    *affected = static_cast<unsigned int>(api().sqlite3_changes(sqlite_));
  }
  return records;
}

String SqliteConnection::escape(String const& text) {
  ext::Library<ext::SQLCipher> const& engine = ext::sqlcipher();
  if (!engine.loaded) {
    ext::unavailable(owner(), engine.failure);
    return String();
  }
  char* const quoted = api().sqlite3_mprintf("%q", text.cstr());
  String const result(quoted);
  api().sqlite3_free(quoted);
  return result;
}

IConnection* newSqliteConnection(URL const& url) { return new SqliteConnection(url); }

#endif  // ZU_WITH_SQLITE

}  // namespace impl
}  // namespace db
}  // namespace zu
