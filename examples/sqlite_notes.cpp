// Keeps notes in an SQLite file. Every value from the command line goes in
// through a bound parameter, so quotes and semicolons in it are only text.
//
//   example_sqlite_notes <database file> add <author> <text> [stars]
//   example_sqlite_notes <database file> list <author>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include <zu/db.h>
#include <zu/em.h>

int main(int argc, char** argv) {
  std::string const command = argc > 2 ? argv[2] : "";
  if (!(command == "add" && (argc == 5 || argc == 6)) && !(command == "list" && argc == 4)) {
    std::cerr << "usage: " << argv[0] << " <db> add <author> <text> [stars] | <db> list <author>\n";
    return 2;
  }
  // The URL's path is the file's absolute path; a drive letter gets a '/' in front.
  std::string path = std::filesystem::absolute(argv[1]).generic_u8string();
  if (path.empty() || path[0] != '/') path.insert(0, "/");
  auto db = zu::db::IConnection::New("sqlite://" + path);
  zu::em::CatchError error(db.get());
  auto fail = [&] {
    std::cerr << "error(" << error.code() << ") " << error.text() << "\n";
    return 1;
  };
  if (!db->open() || !db->query("CREATE TABLE IF NOT EXISTS notes (id INTEGER PRIMARY KEY, author TEXT, "
                                "body TEXT, stars INTEGER)"))
    return fail();

  if (command == "add") {
    zu::db::SqlValue stars;  // NULL unless given
    if (argc == 6) stars = std::atoi(argv[5]);
    unsigned int added = 0;
    if (!db->query("INSERT INTO notes (author, body, stars) VALUES (?, ?, ?)", {argv[3], argv[4], stars}, &added))
      return fail();
    std::cout << added << " note added\n";
    return 0;
  }
  auto rows = db->query("SELECT id, body, stars FROM notes WHERE author = ? ORDER BY id", {argv[3]});
  if (!rows) return fail();
  for (unsigned int i = 0; i < rows->size(); ++i) {
    std::cout << rows->getInt64(i, 0) << ": " << rows->get(i, 1);
    if (!rows->isNull(i, 2)) std::cout << " (" << rows->getInt(i, 2) << " stars)";
    std::cout << "\n";
  }
  return 0;
}
