// Private to the database family: the record set both engines fill, the
// connection of an engine left out of the build, and the factories.
#ifndef ZU_IMPL_DB_DB_INTERNAL_H
#define ZU_IMPL_DB_DB_INTERNAL_H

#include <zu/db.h>
#include <zu/em.h>
#include <zu/url.h>

#include <string>
#include <vector>

#include "diag/logging.h"
#include "ext/loader.h"

namespace zu {
namespace db {
namespace impl {

unsigned int const ERROR_NOT_OPENED = 1;
unsigned int const ERROR_ENGINE = 100;

char const* const notOpenedText = "connection not opened";

// What query() does on a closed connection: reports code 1 and gives no
// records.
inline boost::shared_ptr<IRecordSet> notOpened(void const* owner) {
  em::report(owner, ERROR_NOT_OPENED, String(notOpenedText));
  return boost::shared_ptr<IRecordSet>();
}

// The rows of one result, filled by the connection that made it.
class RecordSet : public IRecordSet {
 public:
  unsigned int size() const override;
  bool empty() const override;
  TArray<String> fields() const override;
  TArray<String> row(unsigned int index) const override;
  String get(unsigned int row, String const& name, String const& defaultValue) const override;
  String get(unsigned int row, unsigned int column) const override;
  bool isNull(unsigned int row, unsigned int column) const override;

 private:
  friend class MysqlConnection;
  friend class SqliteConnection;

  TArray<String> const& rowAt(unsigned int index) const;
  // Records that the cell at `column` of the row being added, `row`, is
  // SQL NULL.
  void markNull(std::size_t row, unsigned int column);

  TArray<String> fields_;
  std::vector<TArray<String>> rows_;
  // Per row, which cells are NULL; rows past its end (and rows without
  // entries) have none, so a result without NULLs costs nothing here.
  std::vector<std::vector<bool>> nulls_;
};

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
    return notOpened(owner());
  }
  String escape(String const&) override {
    ext::unavailable(owner(), failure_());
    return String();
  }

 private:
  void const* owner() const { return static_cast<IConnection const*>(this); }

  std::string const& (*failure_)();
};

// A statement the engine refused: its message goes to the caller's guard
// as code 100 and to the log at level 3, under the connection's class name.
template <class Connection>
void queryFailed(Connection const& connection, String const& sql, char const* error) {
  void const* const owner = static_cast<IConnection const*>(&connection);
  if (em::catching(owner)) em::report(owner, ERROR_ENGINE, String(error));
  ZU_LOG_OBJ(3, "[DBG1]", connection, "query failed,sql=\"" << sql << "\" Err=" << error);
}

// A new, closed connection of each engine (an UnavailableConnection when
// the engine was left out of the build).
IConnection* newMysqlConnection(URL const& url);
IConnection* newSqliteConnection(URL const& url);
// The connection for the connection string's scheme; null for others.
IConnection* newConnection(String const& connectionString);

}  // namespace impl
}  // namespace db
}  // namespace zu

#endif
