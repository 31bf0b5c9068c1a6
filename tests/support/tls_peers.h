// Peers for the TLS tests: programs started with pipes on their standard
// streams, and the certificates the openssl command makes once per test
// program (a test CA, a server certificate for localhost and 127.0.0.1, an
// expired one, one for another name, a self-signed one).
#ifndef ZU_TESTS_SUPPORT_TLS_PEERS_H
#define ZU_TESTS_SUPPORT_TLS_PEERS_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/wait.h"

extern char** environ;

namespace zu {
namespace test {

// A program started with pipes on its standard streams; killed when the
// object goes.
class Peer {
 public:
  Peer() = default;
  Peer(Peer const&) = delete;
  Peer& operator=(Peer const&) = delete;
  ~Peer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
  }

  bool start(std::vector<std::string> const& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> argv;
    for (std::string const& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int const spawned = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (spawned != 0) pid_ = -1;
    return spawned == 0;
  }

  // Reads the output until it holds `text`; false at the deadline or end.
  bool await(std::string const& text, int milliseconds = 10000) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (output_.find(text) == std::string::npos) {
      auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readSome(int(left.count()))) return false;
    }
    return true;
  }

  // Reads everything until the program closes its output, then reaps it;
  // its exit status, or -1 when it had to be killed.
  int finish(int milliseconds = 10000) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (true) {
      auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readSome(int(left.count()))) break;
    }
    // The output may close a moment before the program exits.
    int status = 0;
    bool const exited = waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                                          std::chrono::milliseconds(milliseconds));
    if (!exited) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void write(std::string const& text) { EXPECT_EQ(ssize_t(text.size()), ::write(in_, text.data(), text.size())); }
  std::string const& output() const { return output_; }

 private:
  bool readSome(int milliseconds) {
    pollfd wanted = {out_, POLLIN, 0};
    if (::poll(&wanted, 1, milliseconds) <= 0) return false;
    char block[4096];
    ssize_t const n = ::read(out_, block, sizeof block);
    if (n <= 0) return false;
    output_.append(block, size_t(n));
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string output_;
};

inline std::string run(std::string const& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  char block[4096];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, pipe)) > 0) output.append(block, n);
  int const status = ::pclose(pipe);
  if (status != 0) ADD_FAILURE() << command << " failed:\n" << output;
  return output;
}

// The certificates, made once for all tests.
struct Certificates {
  std::string folder;
  std::string file(std::string const& name) const { return folder + "/" + name; }

  Certificates() {
    char pattern[] = "/tmp/zu_tls_XXXXXX";
    folder = ::mkdtemp(pattern);
    std::string const ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    run("cd " + folder + " && openssl req -x509" + ec + " -keyout ca.key -out ca.pem -days 30 -subj '/CN=zu test CA'");
    leaf("server", "subjectAltName=DNS:localhost,IP:127.0.0.1", "30");
    leaf("expired", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-1");
    leaf("other", "subjectAltName=DNS:other.example,IP:10.9.9.9", "30");
    run("cd " + folder + " && openssl req -x509" + ec +
        " -keyout self.key -out self.pem -days 30 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
  }
  ~Certificates() { std::system(("rm -rf " + folder).c_str()); }

  // A certificate of the test CA: <name>.pem and <name>.key.
  void leaf(std::string const& name, std::string const& altNames, std::string const& days) {
    std::ofstream(file(name + ".ext")) << altNames << "\nbasicConstraints=CA:FALSE\n";
    run("cd " + folder + " && openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + name +
        ".key -out " + name + ".csr -subj /CN=" + name + " && openssl x509 -req -in " + name +
        ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days " + days + " -out " + name + ".pem -extfile " + name + ".ext");
  }
};

inline Certificates const& certificates() {
  static Certificates const made;
  return made;
}

// A listener that answers each connection with `answer` (nothing when
// empty) after the first bytes come, and keeps it open for `hold`.
class PlainServer {
 public:
  PlainServer(std::string answer, bool closeAfter) : answer_(std::move(answer)), closeAfter_(closeAfter) {
    listener_ = listenLoopback(port);
    thread_ = std::thread([this] {
      int const fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      char block[4096];
      if (::read(fd, block, sizeof block) > 0 && !answer_.empty()) (void)!::write(fd, answer_.data(), answer_.size());
      if (!closeAfter_) {
        pollfd wanted = {fd, POLLIN, 0};
        while (!stop_ && ::poll(&wanted, 1, 20) >= 0) {
          if ((wanted.revents & POLLIN) && ::read(fd, block, sizeof block) <= 0) break;
        }
      }
      ::close(fd);
    });
  }
  ~PlainServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  unsigned short port = 0;

 private:
  std::string const answer_;
  bool const closeAfter_;
  int listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace test
}  // namespace zu

#endif
