// zu::db: MySQL and SQLite databases behind one connection interface, their
// results as in-memory tables of text, and a pool of open connections.
//
// A connection is named by a URL, the connection string:
//   mysql://user[:password]@[host][:port]/database[?charset=NAME&socket=PATH]
//     (scheme matched without regard to case; port 3306 when absent; an
//     empty host or socket leaves the choice to the client library)
//   sqlite:///path/to/file[?key=HEX]
//     (a non-empty key encrypts the file: it must be given again to read it)
//
// Failures are results (false, an empty pointer) with the reason reported
// to a zu::em::CatchError guard set on the failing object: code 1 for
// "connection not opened", code 2 for a statement and parameters that do
// not fit (query with parameters), code 100 with the engine's own message
// for every engine failure, and code 100 with "<library> could not be
// loaded: <reason>" when the engine's library is missing. Nothing throws.
#ifndef ZU_DB_H
#define ZU_DB_H

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <type_traits>
#include <vector>
#include <zu/array.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {
namespace db {

// The rows of one result, every cell as the engine's text form of the value
// (SQL NULL reads as the empty text). Filled once, never changed afterwards:
// safe to read from any thread.
class ZU_API IRecordSet : public IBase {
 public:
  // Number of rows.
  virtual unsigned int size() const = 0;
  // True when there are no rows.
  virtual bool empty() const = 0;
  // The column names in the engine's order (shares the record set's storage).
  virtual TArray<String> fields() const = 0;
  // One row, one cell per column. `index` < size(), else the library's
  // assertion aborts.
  virtual TArray<String> row(unsigned int index) const = 0;
  // The cell of the first column whose name equals `name` without regard
  // to case; `defaultValue` when no column has that name.
  virtual String get(unsigned int row, String const& name, String const& defaultValue) const = 0;
  // The cell at `column` of `row`; both indices are checked by assertion.
  virtual String get(unsigned int row, unsigned int column) const = 0;

  // The cell at `column` of `row` as a number: `defaultValue` when it is
  // NULL, empty, not wholly a decimal number, or out of the type's range.
  // Indices are checked by assertion.
  int getInt(unsigned int row, unsigned int column, int defaultValue = 0) const;
  // As getInt, as a 64-bit number.
  std::int64_t getInt64(unsigned int row, unsigned int column, std::int64_t defaultValue = 0) const;
  // As getInt, as a real number.
  double getReal(unsigned int row, unsigned int column, double defaultValue = 0.0) const;
  // True when the cell at `column` of `row` is SQL NULL (which get() reads
  // as the empty text, as it reads an empty text). Indices are checked by
  // assertion.
  virtual bool isNull(unsigned int row, unsigned int column) const;
};

// One value for a "?" placeholder of IConnection::query: SQL NULL (made by
// the default constructor and by a null `char const*`), a text (quoted and
// escaped by the connection), or a number (written as is; a double that is
// not finite is written as NULL).
class ZU_API SqlValue {
 public:
  SqlValue();                      // NULL
  SqlValue(String const& text);    // a text
  SqlValue(char const* text);      // a text; NULL when `text` is null
  SqlValue(double value);          // a number; NULL when not finite
  // Every integer type, bool as 0 or 1.
  template <class T, class = typename std::enable_if<std::is_integral<T>::value>::type>
  SqlValue(T value)
      : SqlValue(std::is_signed<T>::value, static_cast<std::int64_t>(value), static_cast<std::uint64_t>(value)) {}

  bool isNull() const { return kind_ == KIND_NULL; }  // SQL NULL
  bool isText() const { return kind_ == KIND_TEXT; }  // a text, quoted when written
  // The text, or the number's decimal form; empty for NULL.
  String const& text() const { return text_; }

 private:
  SqlValue(bool isSigned, std::int64_t signedValue, std::uint64_t unsignedValue);

  enum Kind { KIND_NULL, KIND_TEXT, KIND_NUMBER };
  Kind kind_;
  String text_;
};

// One database connection, used by one thread at a time.
class ZU_API IConnection : public IBase {
 public:
  // Closes any open handle first, then connects. True when connected; a
  // failure leaves the connection closed.
  virtual bool open() = 0;
  // Releases the handle; nothing happens on a closed connection.
  virtual void close() = 0;
  // True while a handle is held.
  virtual bool isOpen() const = 0;
  // Runs `sql`, which may hold several statements. `affected`, when given,
  // is set to 0 first and then to the engine's count of rows changed (for
  // MySQL, rows matched by an UPDATE). The record set holds the rows of the
  // last statement that produced rows (MySQL) or of the first statement
  // (SQLite); it has no columns and no rows when there were none. An empty
  // pointer on failure; the connection stays open.
  virtual boost::shared_ptr<IRecordSet> query(String const& sql, unsigned int* affected = nullptr) = 0;
  // `text` made safe inside a quoted SQL string literal, without adding
  // quotes: a backslash before each special character (MySQL; the open
  // connection's character set and quoting mode are honoured) or each
  // single quote doubled (SQLite).
  virtual String escape(String const& text) = 0;

  // Runs exactly one statement whose "?" placeholders take `params` in
  // order, each made safe by this connection's escape(): a text quoted and
  // escaped, a number as it is, NULL as NULL, so no value can end the
  // statement or start another. Placeholders are the "?" outside quoted
  // strings, quoted names and comments. The statement may end with one
  // ";"; any other ";", a quote left open, or a count of placeholders other
  // than params.size() fails with code 2 before anything is sent. Otherwise
  // as query(sql, affected).
  boost::shared_ptr<IRecordSet> query(String const& sql, std::vector<SqlValue> const& params,
                                      unsigned int* affected = nullptr);

  // A new, closed connection for the connection string's scheme ("mysql"
  // or "sqlite"); an empty pointer, and a warning line, for any other.
  static boost::shared_ptr<IConnection> New(String const& connectionString);
};

// Open connections for one connection string, lent out as ordinary shared
// pointers: when the last copy goes away the connection returns to the
// pool (or is destroyed when the pool is gone). No upper bound, no waiting,
// no health checks. All operations may run on any threads at once.
class ZU_API IConnectionPool : public IBase {
 public:
  // The idle connection that came back first, else a newly opened one; an
  // empty pointer when none could be opened, with the connection's error
  // reported again for the pool object.
  virtual boost::shared_ptr<IConnection> acquire() = 0;
  // Connections opened and not yet dropped by clear(), idle and lent out.
  virtual unsigned int count() const = 0;
  // Closes and destroys every idle connection; lent-out ones are untouched.
  virtual void clear() = 0;

  // Opens nothing yet. The pool must stay owned by shared pointers.
  static boost::shared_ptr<IConnectionPool> New(String const& connectionString);
};

}  // namespace db
}  // namespace zu

#endif
