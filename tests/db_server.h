// A private MariaDB server for tests and benchmarks: installed into a fresh
// temporary directory, listening on 127.0.0.1 at a free port and on a unix
// socket in that directory, stopped and removed by stop() or the destructor.
#ifndef ZU_TESTS_DB_SERVER_H
#define ZU_TESTS_DB_SERVER_H

#include <string>

namespace zu_test {

// The account and database every test uses (the password holds a colon on
// purpose), and the server's loopback address once it has a port.
class MariaDbAccount {
 public:
  static constexpr char const* user = "zu";
  static constexpr char const* password = "pw:x";
  static constexpr char const* database = "zu_test";

  unsigned short port() const { return port_; }

  // "mysql://zu:pw:x@127.0.0.1:PORT/zu_test" plus `query`.
  std::string tcpUrl(std::string const& query = "") const {
    return std::string("mysql://") + user + ":" + password + "@127.0.0.1:" + std::to_string(port_) + "/" +
           database + query;
  }

 protected:
  unsigned short port_ = 0;
};

}  // namespace zu_test

#ifdef _WIN32
#include <cstdlib>

namespace zu_test {

// Under Wine the server cannot be started from here: scripts/windows_stage.sh
// starts one on the Linux side for the whole stage (the same account and
// database as below) and names its TCP port in ZU_TEST_MARIADB_PORT, or
// says in ZU_TEST_MARIADB_ERROR why an installed server did not start.
// Without either, the server is missing.
class MariaDbServer : public MariaDbAccount {
 public:
  bool missing() const { return missing_; }

  std::string start() {
    if (char const* error = std::getenv("ZU_TEST_MARIADB_ERROR")) return error;
    char const* port = std::getenv("ZU_TEST_MARIADB_PORT");
    if (port == nullptr || std::atoi(port) <= 0) {
      missing_ = true;
      return "ZU_TEST_MARIADB_PORT is not set (scripts/windows_stage.sh sets it when mariadb-server is installed)";
    }
    port_ = static_cast<unsigned short>(std::atoi(port));
    return std::string();
  }

 private:
  bool missing_ = false;
};

}  // namespace zu_test

#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zu_test {

class MariaDbServer : public MariaDbAccount {
 public:
  ~MariaDbServer() { stop(); }

  // True when start() failed because the server is not installed (a test
  // may then be skipped); any other failure to start is a test failure.
  bool missing() const { return missing_; }

  // Empty on success, else why the server could not be started.
  std::string start() {
    std::string const installDb = find("mariadb-install-db");
    std::string const daemon = find("mariadbd");
    admin_ = find("mariadb-admin");
    client_ = find("mariadb");
    if (installDb.empty() || daemon.empty() || admin_.empty() || client_.empty())
    {
      missing_ = true;
      return "the MariaDB server programs (package mariadb-server) are not installed";
    }
    char pattern[] = "/tmp/zu_db_XXXXXX";  // short: the socket path is limited
    if (!mkdtemp(pattern)) return "no temporary directory";
    dir_ = pattern;
    socket_ = dir_ + "/mysqld.sock";
    bool const root = geteuid() == 0;
    std::string const userOption = root ? " --user=root" : "";
    // Each server keeps its temporary tables in its own folder: servers
    // set up at the same time in the shared /tmp take each other's names.
    std::string const tmp = dir_ + "/tmp";
    if (mkdir(tmp.c_str(), 0700) != 0) return "no temporary directory";
    if (run("TMPDIR=" + tmp + " " + installDb + " --no-defaults" + userOption + " --datadir=" + dir_ +
            "/data --auth-root-authentication-method=normal --skip-test-db >" + dir_ + "/install.log 2>&1") != 0)
    {
      std::ifstream in(dir_ + "/install.log");
      std::string const log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      return "mariadb-install-db failed:\n" + log.substr(0, 2000);
    }
    port_ = freePort();
    std::vector<std::string> args = {daemon, "--no-defaults"};
    if (root) args.push_back("--user=root");
    for (std::string const& a :
         {"--datadir=" + dir_ + "/data", std::string("--bind-address=127.0.0.1"), "--port=" + std::to_string(port_),
          "--socket=" + socket_, "--pid-file=" + dir_ + "/mysqld.pid", "--log-error=" + dir_ + "/error.log",
          std::string("--skip-name-resolve"), "--tmpdir=" + tmp, std::string("--innodb-buffer-pool-size=64M")})
      args.push_back(a);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, daemon.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      return "mariadbd could not be started";
    }
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (run(admin_ + " --no-defaults --socket=" + socket_ + " -uroot ping >/dev/null 2>&1") != 0) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return "mariadbd ended at start, see " + dir_ + "/error.log";
      }
      if (std::chrono::steady_clock::now() > deadline) return "mariadbd did not answer within 60 s";
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string sql = std::string("CREATE DATABASE ") + database + ";";
    for (char const* host : {"localhost", "127.0.0.1"}) {
      sql += std::string("CREATE USER '") + user + "'@'" + host + "' IDENTIFIED BY '" + password + "';";
      sql += std::string("GRANT ALL ON ") + database + ".* TO '" + user + "'@'" + host + "';";
    }
    if (run(client_ + " --no-defaults --socket=" + socket_ + " -uroot -e \"" + sql + "\"") != 0)
      return "the test database could not be created";
    return std::string();
  }

  void stop() {
    if (pid_ > 0) {
      if (run(admin_ + " --no-defaults --socket=" + socket_ + " -uroot shutdown >/dev/null 2>&1") != 0)
        kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (!dir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
      dir_.clear();
    }
  }

  std::string const& socket() const { return socket_; }

 private:
  bool missing_ = false;
  static int run(std::string const& command) {
    int const status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static std::string find(char const* name) {
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    path += ":/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin:/sbin";
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t end = path.find(':', start);
      if (end == std::string::npos) end = path.size();
      std::string const candidate = path.substr(start, end - start) + "/" + name;
      if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
      start = end + 1;
    }
    return std::string();
  }

  static unsigned short freePort() {
    int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned short port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port = ntohs(address.sin_port);
    if (fd >= 0) close(fd);
    return port;
  }

  std::string admin_;
  std::string client_;
  std::string dir_;
  std::string socket_;
  pid_t pid_ = -1;
};

}  // namespace zu_test

#endif
#endif
