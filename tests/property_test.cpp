#include <zu/fs.h>
#include <zu/logger.h>
#include <zu/sys.h>
#include <zu/time.h>

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <cstdlib>
#include <thread>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/utsname.h>
#include <unistd.h>
#endif

#include "support/child.h"

#include "support/log_lines.h"

using zu::String;
using zu::sys::getProperty;
using zu::sys::setProperty;

namespace {

// Logs warnings with the source position to a callback while it lives.
class WarningLog : public ::testing::Test {
 protected:
  void SetUp() override {
    zu::util::logger::setLevel(1);
    zu::util::logger::setOptions(zu::util::logger::LOG_OPTION_SOURCE, zu::util::logger::LOG_OPTION_TIME);
    zu::util::logger::setCallback(lines_);
  }
  void TearDown() override {
    zu::util::logger::setCallback(boost::weak_ptr<zu::util::logger::ILogCallback>());
    zu::util::logger::setOptions(zu::util::logger::LOG_OPTION_TIME, zu::util::logger::LOG_OPTION_SOURCE);
    zu::util::logger::setLevel(3);
  }
  std::vector<std::string> lines() const { return lines_->lines(); }
  boost::shared_ptr<zu::test::LogLines> lines_ = boost::make_shared<zu::test::LogLines>();
};

}  // namespace

TEST_F(WarningLog, BuiltInsAreReadOnlyAndSayWhy) {
  EXPECT_STREQ("1", getProperty("zu.version").cstr());
  setProperty("zu.version", "2");
  EXPECT_STREQ("1", getProperty("zu.version").cstr());
  ASSERT_EQ(1u, lines().size());
  EXPECT_NE(std::string::npos, lines()[0].find("[WARN]"));
  EXPECT_NE(std::string::npos, lines()[0].find("property.cpp(338) attempt to modify read-only property (zu.version=2)"))
      << lines()[0];
}

TEST_F(WarningLog, TheFreeStoreSetsReplacesAndRemoves) {
  setProperty("a", "x");
  EXPECT_STREQ("x", getProperty("a").cstr());
  setProperty("a", "y");
  EXPECT_STREQ("y", getProperty("a").cstr());
  setProperty("A", "upper");
  EXPECT_STREQ("y", getProperty("a").cstr());  // names match exactly
  setProperty("a", "");
  EXPECT_TRUE(lines().empty());
  EXPECT_STREQ("", getProperty("a").cstr());
  ASSERT_EQ(1u, lines().size());
  EXPECT_NE(std::string::npos, lines()[0].find("property.cpp(324) property(a) not defined")) << lines()[0];
  EXPECT_STREQ("upper", getProperty("A").cstr());
  setProperty("A", "");
}

TEST(Property, BuiltInsDescribeTheProgramTheSystemAndTheUser) {
  // The load time is the library's, not the first reader's: read a second
  // and more after this test began, it still lies before.
  zu::sys::Time const started = zu::sys::Time::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_STREQ(zu::fs::Path(zu::test::Child::self().c_str()).toString().cstr(), getProperty("app.path").cstr());
  String const command = getProperty("app.command");
  EXPECT_NE(nullptr, std::strstr(command.cstr(), "property_test"));
  // The load time: a valid HTTP date not after now.
  zu::sys::Time const loaded(getProperty("app.uptime"));
  EXPECT_GT(loaded.toSeconds(), 0);
  EXPECT_LE(loaded.toSeconds(), started.toSeconds());

#ifdef _WIN32
  // "Windows <release>", "v<major>.<minor>.<build>".
  std::string const name = getProperty("os.name").cstr();
  EXPECT_EQ(0u, name.find("Windows ")) << name;
  std::string const version = getProperty("os.version").cstr();
  unsigned major = 0, minor = 0, build = 0;
  EXPECT_EQ(3, std::sscanf(version.c_str(), "v%u.%u.%u", &major, &minor, &build)) << version;
  EXPECT_GE(major, 5u) << version;
  SYSTEM_INFO system;
  ::GetNativeSystemInfo(&system);
  if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) { EXPECT_STREQ("x64", getProperty("os.arch").cstr()); }
#else
  utsname u;
  ASSERT_EQ(0, uname(&u));
  EXPECT_EQ(std::string("Linux ") + u.release, getProperty("os.name").cstr());
  std::string const version = getProperty("os.version").cstr();
  EXPECT_EQ(0u, version.find("v"));
  EXPECT_EQ(0u, std::string(u.release).find(version.substr(1)));
  if (std::string(u.machine) == "x86_64") {
    EXPECT_STREQ("x64", getProperty("os.arch").cstr());
  }
#endif

  EXPECT_FALSE(getProperty("user.name").empty());
  // Computed at each call: the environment is read again.
#ifdef _WIN32
  // The temporary folder follows TMP; the documents folder is the user's
  // known folder.
  wchar_t old[32768];
  DWORD const oldLength = ::GetEnvironmentVariableW(L"TMP", old, 32768);
  std::string const drive = zu::fs::Path(".").toString().left(2).cstr();
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", (std::wstring(drive.begin(), drive.end()) + L"\\zu tmp\\x\\..\\").c_str()));
  EXPECT_EQ(drive + "\\zu tmp", getProperty("user.temp").cstr());
  ::SetEnvironmentVariableW(L"TMP", oldLength ? old : nullptr);
  EXPECT_STREQ(zu::fs::Path(std::filesystem::temp_directory_path().u8string().c_str()).toString().cstr(),
               getProperty("user.temp").cstr());
  EXPECT_EQ(zu::fs::Directory, zu::fs::type(getProperty("user.home")));
#else
  char const* old = std::getenv("TMPDIR");
  std::string const saved = old ? old : "";
  setenv("TMPDIR", "/var/tmp//x/../", 1);
  EXPECT_STREQ("/var/tmp", getProperty("user.temp").cstr());
  unsetenv("TMPDIR");
  EXPECT_STREQ("/tmp", getProperty("user.temp").cstr());
  setenv("XDG_DOCUMENTS_DIR", "/srv/docs/", 1);
  EXPECT_STREQ("/srv/docs", getProperty("user.home").cstr());
  unsetenv("XDG_DOCUMENTS_DIR");
  if (!saved.empty()) setenv("TMPDIR", saved.c_str(), 1);
#endif
}
