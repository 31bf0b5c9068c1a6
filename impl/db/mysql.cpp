// MySQL connections over the MariaDB client library, reached through its
// loader: a connection opens the library the first time it needs it.
#include <zu/db.h>
#include <zu/em.h>
#include <zu/net.h>
#include <zu/url.h>

#include <boost/make_shared.hpp>
#include <utility>

#include "core/assertion.h"
#include "db/db_internal.h"
#include "diag/logging.h"
#include "ext/libraries.h"

namespace zu {
namespace db {
namespace impl {

#if ZU_WITH_MYSQL

namespace {

// Found rows for UPDATE, several statements and several results per text.
unsigned long const mysqlClientFlags = CLIENT_FOUND_ROWS | CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS;
static_assert((CLIENT_FOUND_ROWS | CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS) == 0x30002, "client flags");

char const* orNull(String const& text) { return text.empty() ? nullptr : text.cstr(); }

}  // namespace

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
  if (mysql_ == nullptr) return notOpened(owner());
  if (api().mysql_query(mysql_, sql.cstr()) != 0) {
    queryFailed(*this, sql, api().mysql_error(mysql_));
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
    queryFailed(*this, sql, api().mysql_error(mysql_));
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
        if (row[i] == nullptr) {
          records->markNull(records->rows_.size(), i);
          cells.append(String());
        } else {
          cells.append(String(row[i], static_cast<unsigned int>(lengths[i])));
        }
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

IConnection* newMysqlConnection(URL const& url) { return new MysqlConnection(url); }

#endif  // ZU_WITH_MYSQL

}  // namespace impl
}  // namespace db
}  // namespace zu
