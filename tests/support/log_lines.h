// Log lines collected in tests: a log callback that keeps every line it is
// given (from any thread), and a guard that installs one while it lives.
#ifndef ZU_TESTS_SUPPORT_LOG_LINES_H
#define ZU_TESTS_SUPPORT_LOG_LINES_H

#include <zu/logger.h>

#include <boost/make_shared.hpp>
#include <mutex>
#include <string>
#include <vector>

#include "wait.h"

namespace zu {
namespace test {

class LogLines : public util::logger::ILogCallback {
 public:
  void onLog(char const* line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  }

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  // The lines that contain `text`.
  std::vector<std::string> matching(std::string const& text) const {
    std::vector<std::string> found;
    for (std::string const& line : lines())
      if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
  }

  int count(std::string const& text) const { return static_cast<int>(matching(text).size()); }
  bool has(std::string const& text) const { return count(text) > 0; }

  // Waits (at most ten seconds) until `text` was logged `times` times.
  bool waitFor(std::string const& text, int times = 1) const {
    return zu::test::waitFor([&] { return count(text) >= times; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Sends the log to a LogLines while it lives.
class LogCapture {
 public:
  LogCapture() : lines_(boost::make_shared<LogLines>()) { util::logger::setCallback(lines_); }
  ~LogCapture() { util::logger::setCallback(boost::weak_ptr<util::logger::ILogCallback>()); }
  LogCapture(LogCapture const&) = delete;
  LogCapture& operator=(LogCapture const&) = delete;

  LogLines const& operator*() const { return *lines_; }
  LogLines const* operator->() const { return lines_.get(); }

 private:
  boost::shared_ptr<LogLines> lines_;
};

}  // namespace test
}  // namespace zu

#endif
