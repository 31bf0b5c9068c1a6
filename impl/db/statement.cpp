// Statements with bound values and typed cell reads: built on any
// connection's escape() and query(), and on a record set's text cells.
#include <zu/db.h>
#include <zu/em.h>

#include <charconv>
#include <cmath>
#include <system_error>

#include "db/db_internal.h"

namespace zu {
namespace db {

namespace {

unsigned int const ERROR_STATEMENT = 2;

// Where a "?" placeholder stands in `sql`, outside quoted strings, quoted
// names and comments. False when a quote or comment is left open, or when
// anything but blanks and comments follows a ";" (a second statement).
// `backslashEscapes`: the engine reads a backslash inside a quoted string
// as escaping the next character (MySQL), and "#" starts a comment.
bool findPlaceholders(char const* sql, std::size_t length, bool backslashEscapes, std::vector<std::size_t>& marks) {
  bool ended = false;
  std::size_t i = 0;
  while (i < length) {
    char const c = sql[i];
    char const next = i + 1 < length ? sql[i + 1] : '\0';
    if ((c == '-' && next == '-') || (c == '#' && backslashEscapes)) {
      while (i < length && sql[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && next == '*') {
      std::size_t at = i + 2;
      while (at + 1 < length && !(sql[at] == '*' && sql[at + 1] == '/')) ++at;
      if (at + 1 >= length) return false;
      i = at + 2;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
      ++i;
      continue;
    }
    if (ended) return false;
    if (c == '\'' || c == '"' || c == '`') {
      ++i;
      for (;;) {
        if (i >= length) return false;
        char const inside = sql[i];
        if (inside == '\\' && backslashEscapes && c != '`') {
          i += 2;
          continue;
        }
        if (inside == c) {
          // A doubled quote stands for itself.
          if (i + 1 < length && sql[i + 1] == c) {
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        ++i;
      }
      continue;
    }
    if (c == '?') marks.push_back(i);
    if (c == ';') ended = true;
    ++i;
  }
  return true;
}

template <class Integer>
Integer parseInteger(String const& text, Integer defaultValue) {
  char const* const begin = text.cstr();
  char const* const end = begin + text.length();
  Integer value = 0;
  std::from_chars_result const result = std::from_chars(begin, end, value);
  if (result.ec != std::errc() || result.ptr != end || begin == end) return defaultValue;
  return value;
}

}  // namespace

// ------------------------------------------------------------ SqlValue

SqlValue::SqlValue() : kind_(KIND_NULL) {}

SqlValue::SqlValue(String const& text) : kind_(KIND_TEXT), text_(text) {}

SqlValue::SqlValue(char const* text) : kind_(text ? KIND_TEXT : KIND_NULL), text_(text ? String(text) : String()) {}

SqlValue::SqlValue(double value) : kind_(std::isfinite(value) ? KIND_NUMBER : KIND_NULL) {
  if (kind_ == KIND_NULL) return;
  // The shortest text that reads back as the same double, with a decimal
  // point whatever the process's locale.
  char digits[32];
  std::to_chars_result const result = std::to_chars(digits, digits + sizeof digits, value);
  text_ = String(digits, static_cast<unsigned int>(result.ptr - digits));
}

SqlValue::SqlValue(bool isSigned, std::int64_t signedValue, std::uint64_t unsignedValue)
    : kind_(KIND_NUMBER), text_(isSigned ? String(signedValue) : String(unsignedValue)) {}

// ------------------------------------------------------------ IRecordSet

int IRecordSet::getInt(unsigned int row, unsigned int column, int defaultValue) const {
  return parseInteger<int>(get(row, column), defaultValue);
}

std::int64_t IRecordSet::getInt64(unsigned int row, unsigned int column, std::int64_t defaultValue) const {
  return parseInteger<std::int64_t>(get(row, column), defaultValue);
}

double IRecordSet::getReal(unsigned int row, unsigned int column, double defaultValue) const {
  String const text = get(row, column);
  char const* const begin = text.cstr();
  char const* const end = begin + text.length();
  double value = 0;
  // from_chars reads the engines' "2.5" whatever the process's locale.
  std::from_chars_result const result = std::from_chars(begin, end, value);
  if (result.ec != std::errc() || result.ptr != end || begin == end) return defaultValue;
  return value;
}

bool IRecordSet::isNull(unsigned int row, unsigned int column) const {
  get(row, column);  // the indices' assertions
  return false;
}

// ------------------------------------------------------------ IConnection

boost::shared_ptr<IRecordSet> IConnection::query(String const& sql, std::vector<SqlValue> const& params,
                                                 unsigned int* affected) {
  void const* const owner = static_cast<IConnection const*>(this);
  if (affected) *affected = 0;
  // The connection's own escaping says how it reads quoted strings: MySQL
  // (unless in NO_BACKSLASH_ESCAPES mode) doubles a backslash, SQLite
  // leaves it alone.
  bool const backslashEscapes = escape("\\") == "\\\\";
  std::vector<std::size_t> marks;
  if (!findPlaceholders(sql.cstr(), sql.length(), backslashEscapes, marks)) {
    em::report(owner, ERROR_STATEMENT, String("not exactly one statement"));
    return boost::shared_ptr<IRecordSet>();
  }
  if (marks.size() != params.size()) {
    em::report(owner, ERROR_STATEMENT,
               String("statement has ") + String(static_cast<unsigned int>(marks.size())) + " placeholders, " +
                   String(static_cast<unsigned int>(params.size())) + " values given");
    return boost::shared_ptr<IRecordSet>();
  }
  String text;
  std::size_t from = 0;
  for (std::size_t i = 0; i < marks.size(); ++i) {
    text += String(sql.cstr() + from, static_cast<unsigned int>(marks[i] - from));
    SqlValue const& value = params[i];
    if (value.isNull()) {
      text += "NULL";
    } else if (!value.isText()) {
      text += value.text();
    } else {
      String const escaped = escape(value.text());
      // escape() has reported why (the engine's library is missing).
      if (escaped.empty() && !value.text().empty()) return boost::shared_ptr<IRecordSet>();
      text += "'";
      text += escaped;
      text += "'";
    }
    from = marks[i] + 1;
  }
  text += String(sql.cstr() + from, static_cast<unsigned int>(sql.length() - from));
  return query(text, affected);
}

}  // namespace db
}  // namespace zu
