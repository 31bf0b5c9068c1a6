// Database connections over the MariaDB/MySQL client library and SQLCipher
// (SQLite with encrypted files), and the in-memory record sets they fill.
// Both engines are reached through their loaders: a connection opens its
// library the first time it needs it.
#include <zu/cypher.h>
#include <zu/db.h>
#include <zu/em.h>
#include <zu/fs.h>
#include <zu/net.h>
#include <zu/sys.h>
#include <zu/url.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/assertion.h"
#include "diag/logging.h"
#include "ext/mariadb.h"
#include "ext/sqlcipher.h"

namespace zu {
namespace db {
namespace impl {

namespace {

unsigned int const ERROR_NOT_OPENED = 1;
unsigned int const ERROR_ENGINE = 100;

char const* const notOpenedText = "connection not opened";

#if ZU_WITH_MYSQL
// Found rows for UPDATE, several statements and several results per text.
unsigned long const mysqlClientFlags = CLIENT_FOUND_ROWS | CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS;
static_assert((CLIENT_FOUND_ROWS | CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS) == 0x30002, "client flags");

char const* orNull(String const& text) { return text.empty() ? nullptr : text.cstr(); }
#endif

}  // namespace

// The rows of one result, filled by the connection that made it.
class RecordSet : public IRecordSet {
 public:
  unsigned int size() const override;
  bool empty() const override;
  TArray<String> fields() const override;
  TArray<String> row(unsigned int index) const override;
  String get(unsigned int row, String const& name, String const& defaultValue) const override;
  String get(unsigned int row, unsigned int column) const override;

 private:
  friend class MysqlConnection;
  friend class SqliteConnection;

  TArray<String> const& rowAt(unsigned int index) const;

  TArray<String> fields_;
  std::vector<TArray<String>> rows_;
};

#if ZU_WITH_MYSQL
class MysqlConnection : public IConnection {
 public:
  explicit MysqlConnection(URL const& url);
  ~MysqlConnection() override;

  bool open() override;
  void close() override;
  bool isOpen() const override;
  boost::shared_ptr<IRecordSet> query(String const& sql, unsigned int* affected) override;
  String escape(String const& text) override;

 private:
  void const* owner() const { return static_cast<IConnection const*>(this); }
  void failed(String const& sql, char const* error);
  // The client library's functions; only called once it is loaded.
  static ext::MariaDB const& api() { return ext::mariadb().api; }

  String user_;
  String password_;
  String host_;
  unsigned short port_;
  String database_;
  String charset_;
  String socket_;
  MYSQL* mysql_;  // null while closed
};
#endif  // ZU_WITH_MYSQL

#if ZU_WITH_SQLITE
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
  void failed(String const& sql, char const* error);
  // The engine's functions; only called once it is loaded.
  static ext::SQLCipher const& api() { return ext::sqlcipher().api; }

  sqlite3* sqlite_;  // null while closed
  String file_;
  ByteArray key_;
};
#endif  // ZU_WITH_SQLITE

// The connection of an engine this build of the library was made without:
// it never opens, and each operation reports why.
class UnavailableConnection : public IConnection {
 public:
  explicit UnavailableConnection(std::string const& (*failure)()) : failure_(failure) {}

  bool open() override { return ext::unavailable(owner(), failure_()); }
  void close() override {}
  bool isOpen() const override { return false; }
  boost::shared_ptr<IRecordSet> query(String const&, unsigned int* affected) override {
    if (affected) *affected = 0;
    em::report(owner(), ERROR_NOT_OPENED, String(notOpenedText));
    return boost::shared_ptr<IRecordSet>();
  }
  String escape(String const&) override {
    ext::unavailable(owner(), failure_());
    return String();
  }

 private:
  void const* owner() const { return static_cast<IConnection const*>(this); }

  std::string const& (*failure_)();
};

// ---------------------------------------------------------------- RecordSet

unsigned int RecordSet::size() const { return static_cast<unsigned int>(rows_.size()); }

bool RecordSet::empty() const { return rows_.empty(); }

TArray<String> RecordSet::fields() const { return fields_; }

TArray<String> RecordSet::row(unsigned int index) const { return rowAt(index); }

String RecordSet::get(unsigned int row, String const& name, String const& defaultValue) const {
  TArray<String> const& cells = rowAt(row);
  unsigned int const columns = fields_.size();
  for (unsigned int i = 0; i < columns; ++i) {
    if (fields_[i].compare(name, true) == 0) return cells[i];
  }
  return defaultValue;
}

String RecordSet::get(unsigned int row, unsigned int column) const { return rowAt(row)[column]; }

TArray<String> const& RecordSet::rowAt(unsigned int index) const {
  ZU_ASSERT(index < rows_.size(), "index < size()");
  return rows_[index];
}

// ---------------------------------------------------------- MysqlConnection
#if ZU_WITH_MYSQL

MysqlConnection::MysqlConnection(URL const& url) : port_(0), mysql_(nullptr) {
  String const userInfo = url.getUserInfo();
  unsigned int const colon = userInfo.find(':');
  if (colon == 0xFFFFFFFF) {
    user_ = userInfo;
  } else {
    user_ = userInfo.left(colon);
    password_ = userInfo.mid(colon + 1);
  }
  net::HostName const hostName(url.getHostName());
  host_ = hostName.host();
  port_ = hostName.port(3306);
  String const path = url.getPath();
  if (!path.empty()) database_ = path.mid(1);
  charset_ = url.getQuery("charset");
  socket_ = url.getQuery("socket");
}

MysqlConnection::~MysqlConnection() { close(); }

bool MysqlConnection::open() {
  close();
  ext::Library<ext::MariaDB> const& client = ext::mariadb();
  if (!client.loaded) return ext::unavailable(owner(), client.failure);
  mysql_ = api().mysql_init(nullptr);
  ZU_ASSERT(mysql_ != nullptr, "_mysql!=NULL");
  my_bool reconnect = 1;
  api().mysql_options(mysql_, MYSQL_OPT_RECONNECT, &reconnect);
  if (!charset_.empty()) api().mysql_options(mysql_, MYSQL_SET_CHARSET_NAME, charset_.cstr());
  if (api().mysql_real_connect(mysql_, orNull(host_), user_.cstr(), password_.cstr(), database_.cstr(), port_,
                         orNull(socket_), mysqlClientFlags) != nullptr) {
    ZU_LOG_OBJ(3, "[DBG1]", *this,
               " connected to " << user_ << "@" << host_ << ":" << port_ << "/" << database_);
    return true;
  }
  char const* const error = api().mysql_error(mysql_);
  if (em::catching(owner())) em::report(owner(), ERROR_ENGINE, String(error));
  ZU_LOG_OBJ(3, "[DBG1]", *this,
             " failed to open " << user_ << "@" << host_ << ":" << port_ << "/" << database_ << ". Err=" << error);
  api().mysql_close(mysql_);
  mysql_ = nullptr;
  return false;
}

void MysqlConnection::close() {
  if (mysql_ == nullptr) return;
  api().mysql_close(mysql_);
  mysql_ = nullptr;
}

bool MysqlConnection::isOpen() const { return mysql_ != nullptr; }

boost::shared_ptr<IRecordSet> MysqlConnection::query(String const& sql, unsigned int* affected) {
  if (mysql_ == nullptr) {
    em::report(owner(), ERROR_NOT_OPENED, String(notOpenedText));
    return boost::shared_ptr<IRecordSet>();
  }
  if (api().mysql_query(mysql_, sql.cstr()) != 0) {
    failed(sql, api().mysql_error(mysql_));
    return boost::shared_ptr<IRecordSet>();
  }
  if (affected) *affected = 0;
  MYSQL_RES* kept = nullptr;
  bool ok = true;
  for (;;) {
    MYSQL_RES* const result = api().mysql_store_result(mysql_);
    if (result != nullptr) {
      // The rows of the last statement that produced any are returned.
      if (kept) api().mysql_free_result(kept);
      kept = result;
    } else if (api().mysql_field_count(mysql_) != 0) {
      ok = false;
      break;
    } else if (affected) {
      *affected = static_cast<unsigned int>(api().mysql_affected_rows(mysql_));
    }
    int const status = api().mysql_next_result(mysql_);
    if (status == -1) break;
    if (status > 0) {
      ok = false;
      break;
    }
  }
  if (!ok) {
    failed(sql, api().mysql_error(mysql_));
    if (kept) api().mysql_free_result(kept);
    // Results still pending would make every later query fail with
    // "commands out of sync": read and drop them.
    while (api().mysql_more_results(mysql_) && api().mysql_next_result(mysql_) == 0) {
      if (MYSQL_RES* const rest = api().mysql_store_result(mysql_)) api().mysql_free_result(rest);
    }
    return boost::shared_ptr<IRecordSet>();
  }
  boost::shared_ptr<RecordSet> records = boost::make_shared<RecordSet>();
  if (kept) {
    while (MYSQL_FIELD* const field = api().mysql_fetch_field(kept)) records->fields_.append(String(field->name));
    unsigned int const columns = records->fields_.size();
    records->rows_.reserve(static_cast<std::size_t>(api().mysql_num_rows(kept)));
    while (MYSQL_ROW const row = api().mysql_fetch_row(kept)) {
      unsigned long const* const lengths = api().mysql_fetch_lengths(kept);
      TArray<String> cells;
      for (unsigned int i = 0; i < columns; ++i) {
        cells.append(row[i] ? String(row[i], static_cast<unsigned int>(lengths[i])) : String());
      }
      records->rows_.push_back(std::move(cells));
    }
    api().mysql_free_result(kept);
  }
  return records;
}

String MysqlConnection::escape(String const& text) {
  unsigned long const length = text.length();
  if (length == 0) return text;
  ext::Library<ext::MariaDB> const& client = ext::mariadb();
  if (!client.loaded) {
    ext::unavailable(owner(), client.failure);
    return String();
  }
  String escaped;
  char* const buffer = escaped.getBuffer(static_cast<unsigned int>(length * 2));
  // An open connection knows its character set (a multi-byte set can hide
  // a quote inside a character) and whether backslashes escape at all.
  unsigned long written = mysql_ != nullptr ? api().mysql_real_escape_string(mysql_, buffer, text.cstr(), length)
                                            : static_cast<unsigned long>(-1);
  if (written == static_cast<unsigned long>(-1)) written = api().mysql_escape_string(buffer, text.cstr(), length);
  buffer[written] = '\0';
  return escaped;
}

void MysqlConnection::failed(String const& sql, char const* error) {
  if (em::catching(owner())) em::report(owner(), ERROR_ENGINE, String(error));
  ZU_LOG_OBJ(3, "[DBG1]", *this, "query failed,sql=\"" << sql << "\" Err=" << error);
}

#endif  // ZU_WITH_MYSQL

// --------------------------------------------------------- SqliteConnection
#if ZU_WITH_SQLITE

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
  if (sqlite_ == nullptr) {
    em::report(owner(), ERROR_NOT_OPENED, String(notOpenedText));
    return boost::shared_ptr<IRecordSet>();
  }
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
      failed(sql, api().sqlite3_errmsg(sqlite_));
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
        cells.append(String(reinterpret_cast<char const*>(api().sqlite3_column_text(statement, i))));
      }
      records->rows_.push_back(std::move(cells));
    }
    if (step != SQLITE_DONE) {
      failed(sql, api().sqlite3_errmsg(sqlite_));
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

void SqliteConnection::failed(String const& sql, char const* error) {
  if (em::catching(owner())) em::report(owner(), ERROR_ENGINE, String(error));
  ZU_LOG_OBJ(3, "[DBG1]", *this, "query failed,sql=\"" << sql << "\" Err=" << error);
}

#endif  // ZU_WITH_SQLITE

// ------------------------------------------------------------------ factory

IConnection* newConnection(String const& connectionString) {
  URL const url(connectionString);
  String const scheme = url.getScheme();
#if ZU_WITH_MYSQL
  if (scheme.compare("mysql", true) == 0) return new MysqlConnection(url);
#else
  if (scheme.compare("mysql", true) == 0) return new UnavailableConnection([]() -> std::string const& { return ext::mariadb().failure; });
#endif
#if ZU_WITH_SQLITE
  if (scheme.compare("sqlite", true) == 0) return new SqliteConnection(url);
#else
  if (scheme.compare("sqlite", true) == 0) return new UnavailableConnection([]() -> std::string const& { return ext::sqlcipher().failure; });
#endif
  ZU_LOG(1, "[WARN]", "unsupported db " << scheme);
  return nullptr;
}

// ------------------------------------------------------------ ConnectionPool

class ConnectionPool : public IConnectionPool, public boost::enable_shared_from_this<ConnectionPool> {
 public:
  // The deleter of every lent-out connection: brings it back to the pool,
  // or destroys it when the pool is gone.
  class Recycler {
   public:
    explicit Recycler(boost::weak_ptr<ConnectionPool> pool) : pool_(std::move(pool)) {}
    void operator()(IConnection* connection) const {
      boost::shared_ptr<ConnectionPool> pool = pool_.lock();
      if (pool)
        pool->giveBack(connection);
      else
        delete connection;
    }

   private:
    boost::weak_ptr<ConnectionPool> pool_;
  };

  explicit ConnectionPool(String const& connectionString) : connectionString_(connectionString), count_(0) {}

  ~ConnectionPool() override {
    std::list<IConnection*> idle;
    {
      sys::ScopedLock lock(lock_);
      idle.swap(idle_);
    }
    for (IConnection* connection : idle) delete connection;
  }

  boost::shared_ptr<IConnection> acquire() override {
    IConnection* connection = nullptr;
    {
      sys::ScopedLock lock(lock_);
      if (!idle_.empty()) {
        connection = idle_.front();
        idle_.pop_front();
      }
    }
    if (connection) return lend(connection);

    // Opened outside the lock: threads that find nothing idle each open
    // a connection of their own.
    std::unique_ptr<IConnection> fresh(newConnection(connectionString_));
    if (!fresh) return boost::shared_ptr<IConnection>();
    bool opened;
    unsigned int code = 0;
    String text;
    {
      em::CatchError guard(static_cast<IConnection*>(fresh.get()));
      opened = fresh->open();
      if (!opened) {
        code = guard.code();
        text = guard.text();
      }
    }
    if (!opened) {
      em::report(static_cast<IConnectionPool*>(this), code, text);
      return boost::shared_ptr<IConnection>();
    }
    count_.fetch_add(1);
    return lend(fresh.release());
  }

  unsigned int count() const override { return count_.load(std::memory_order_relaxed); }

  void clear() override {
    std::list<IConnection*> idle;
    {
      sys::ScopedLock lock(lock_);
      idle.swap(idle_);
      count_.fetch_sub(static_cast<unsigned int>(idle.size()));
    }
    for (IConnection* connection : idle) delete connection;
  }

 private:
  boost::shared_ptr<IConnection> lend(IConnection* connection) {
    return boost::shared_ptr<IConnection>(connection, Recycler(shared_from_this()));
  }

  void giveBack(IConnection* connection) {
    // A connection its borrower closed (or failed to reopen) would be
    // handed out closed forever: it leaves the pool instead.
    if (!connection->isOpen()) {
      count_.fetch_sub(1);
      delete connection;
      return;
    }
    sys::ScopedLock lock(lock_);
    idle_.push_back(connection);
  }

  String const connectionString_;
  std::list<IConnection*> idle_;  // open, not lent out; owned by the pool
  sys::Mutex lock_;
  std::atomic<unsigned int> count_;
};

}  // namespace impl

boost::shared_ptr<IConnection> IConnection::New(String const& connectionString) {
  return boost::shared_ptr<IConnection>(impl::newConnection(connectionString));
}

boost::shared_ptr<IConnectionPool> IConnectionPool::New(String const& connectionString) {
  return boost::make_shared<impl::ConnectionPool>(connectionString);
}

}  // namespace db
}  // namespace zu
