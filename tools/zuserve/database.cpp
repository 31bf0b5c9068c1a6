// The database binding: scripts reach the configured database through
// db.query, with values escaped by the connection.
#include "database.h"

#include <zu/em.h>

namespace zuserve {

shared_ptr<zu::db::IConnectionPool> databasePool;
String databaseEngine;

namespace {

// The SQL text of a script value: numbers and booleans bare, null and
// undefined as NULL, everything else a quoted, escaped string.
String sqlValue(zu::db::IConnection& connection, shared_ptr<js::IValue> const& value) {
  if (!value || boost::dynamic_pointer_cast<js::IUndefined>(value) || boost::dynamic_pointer_cast<js::INull>(value))
    return "NULL";
  if (shared_ptr<js::IBoolean> b = boost::dynamic_pointer_cast<js::IBoolean>(value)) return b->value() ? "1" : "0";
  if (shared_ptr<js::INumber> n = boost::dynamic_pointer_cast<js::INumber>(value)) {
    if (n->isNaN() || n->isInfinity()) return "NULL";
    return String::printf("%.17g", n->toDouble());
  }
  return "'" + connection.escape(value->toString()) + "'";
}

}  // namespace

void openDatabase(String const& connection) {
  databaseEngine = connection.left(connection.find(':')).toLower();
  if (databaseEngine != "sqlite" && databaseEngine != "mysql")
    throw ConfigError(("unknown database \"" + connection + "\" (sqlite:// or mysql://)").cstr());
  databasePool = zu::db::IConnectionPool::New(connection);
  zu::em::CatchError error(databasePool.get());
  shared_ptr<zu::db::IConnection> first = databasePool->acquire();
  if (!first) throw ConfigError(("cannot open the database: " + error.text().toTrimed()).cstr());
  // Readers and one writer at a time, without blocking each other.
  if (databaseEngine == "sqlite") first->query("PRAGMA journal_mode = WAL");
}

shared_ptr<js::IValue> dbQuery(shared_ptr<js::IObject>, TArray<shared_ptr<js::IValue>> const& arguments) {
  if (arguments.empty() || !arguments[0] || !databasePool) return nullptr;
  shared_ptr<zu::db::IConnection> connection;
  {
    zu::em::CatchError error(databasePool.get());
    connection = databasePool->acquire();
    if (!connection) {
      logError("db.query: no database connection: " + error.text());
      return nullptr;
    }
  }
  // SQLite connections fail at once on a file another connection is
  // writing; waiting a little lets the contexts take turns instead.
  if (databaseEngine == "sqlite") connection->query("PRAGMA busy_timeout = 5000");
  String const sql = arguments[0]->toString();
  String text;
  char const* s = sql.cstr();
  unsigned int next = 1;
  char quote = 0;
  for (unsigned int i = 0; s[i]; ++i) {
    char const c = s[i];
    if (quote) {
      if (c == quote) quote = 0;
      text += c;
    } else if (c == '\'' || c == '"' || c == '`') {
      quote = c;
      text += c;
    } else if (c == '?') {
      text += sqlValue(*connection, next < arguments.size() ? arguments[next] : nullptr);
      ++next;
    } else {
      text += c;
    }
  }
  shared_ptr<zu::db::IRecordSet> rows;
  {
    zu::em::CatchError error(connection.get());
    rows = connection->query(text);
    if (!rows) {
      logError("db.query failed: " + error.text() + " in: " + sql);
      return nullptr;
    }
  }
  TArray<String> const fields = rows->fields();
  shared_ptr<js::IArray> result = js::IArray::New(rows->size());
  for (unsigned int r = 0; result && r < rows->size(); ++r) {
    shared_ptr<js::IObject> row = js::IObject::New();
    if (!row) return nullptr;
    for (unsigned int c = 0; c < fields.size(); ++c) row->set(fields[c], js::IString::New(rows->get(r, c)));
    result->set(r, row);
  }
  return result;
}

}  // namespace zuserve
