// A new, empty folder below the system's temporary folder, for a test's
// files: the same on POSIX systems and Windows.
#ifndef ZU_TESTS_SUPPORT_TEMP_DIR_H
#define ZU_TESTS_SUPPORT_TEMP_DIR_H

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

namespace zu {
namespace test {

// The folder's path (UTF-8, the system's separators), "" when none could be
// made. `prefix` starts its name.
inline std::string makeTempDir(std::string const& prefix) {
  static std::atomic<unsigned> serial{0};
  std::error_code error;
  std::filesystem::path const base = std::filesystem::temp_directory_path(error);
  if (error) return std::string();
  auto const seed = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::filesystem::path const candidate =
        base / (prefix + std::to_string(seed % 1000000007ull) + "_" + std::to_string(serial++));
    if (std::filesystem::create_directory(candidate, error)) return candidate.u8string();
  }
  return std::string();
}

}  // namespace test
}  // namespace zu

#endif
