// The database binding: the connection pool behind the scripts, and
// db.query for them.
#ifndef ZUSERVE_DATABASE_H
#define ZUSERVE_DATABASE_H

#include <zu/db.h>
#include <zu/js.h>

#include "zuserve.h"

namespace zuserve {

// The pool of the configured database and its engine ("sqlite" or
// "mysql"); null and empty without a database.
extern shared_ptr<zu::db::IConnectionPool> databasePool;
extern String databaseEngine;

// Opens the pool for `connection` (sqlite://... or mysql://...) and takes
// one connection from it; a ConfigError when it cannot.
void openDatabase(String const& connection);

// db.query(sql, ...values): each "?" outside quotes takes the next value;
// the rows come back as an array of objects (column name to text).
shared_ptr<js::IValue> dbQuery(shared_ptr<js::IObject>, TArray<shared_ptr<js::IValue>> const& arguments);

}  // namespace zuserve

#endif
