// The connection factory, the pool of open connections, and the record
// set both engines fill.
#include <zu/db.h>
#include <zu/em.h>
#include <zu/sys.h>
#include <zu/url.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <atomic>
#include <list>
#include <memory>
#include <utility>

#include "core/assertion.h"
#include "db/db_internal.h"
#include "diag/logging.h"
#include "ext/libraries.h"

namespace zu {
namespace db {
namespace impl {

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

bool RecordSet::isNull(unsigned int row, unsigned int column) const {
  ZU_ASSERT(column < rowAt(row).size(), "column < columns");
  return row < nulls_.size() && column < nulls_[row].size() && nulls_[row][column];
}

void RecordSet::markNull(std::size_t row, unsigned int column) {
  if (nulls_.size() <= row) nulls_.resize(row + 1);
  std::vector<bool>& cells = nulls_[row];
  if (cells.size() <= column) cells.resize(fields_.size() > column ? fields_.size() : column + 1);
  cells[column] = true;
}

// ------------------------------------------------------------------ factory

// The engines left out of the build: their connections only say why.
#if !ZU_WITH_MYSQL
IConnection* newMysqlConnection(URL const&) {
  return new UnavailableConnection([]() -> std::string const& { return ext::mariadb().failure; });
}
#endif
#if !ZU_WITH_SQLITE
IConnection* newSqliteConnection(URL const&) {
  return new UnavailableConnection([]() -> std::string const& { return ext::sqlcipher().failure; });
}
#endif

IConnection* newConnection(String const& connectionString) {
  URL const url(connectionString);
  String const scheme = url.getScheme();
  if (scheme.compare("mysql", true) == 0) return newMysqlConnection(url);
  if (scheme.compare("sqlite", true) == 0) return newSqliteConnection(url);
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
