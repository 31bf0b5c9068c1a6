// libzu.so exports its public interface only: nothing of a private
// namespace (zu::...::__, impl, anonymous) but the two names the public
// headers' inline code reaches.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

// The demangled names of the defined dynamic symbols, one a line.
std::set<std::string> exportedNames(char const* library) {
  std::set<std::string> names;
  std::string const command = std::string("nm -D --defined-only --demangle '") + library + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return names;
  char line[8192];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    // "address type name"
    std::size_t const first = text.find(' ');
    std::size_t const second = first == std::string::npos ? first : text.find(' ', first + 1);
    if (second != std::string::npos) names.insert(text.substr(second + 1));
  }
  ::pclose(pipe);
  return names;
}

bool isPrivate(std::string const& name) {
  return name.find("::__::") != std::string::npos || name.find("::impl::") != std::string::npos ||
         name.find("(anonymous namespace)") != std::string::npos;
}

}  // namespace

TEST(Exports, OnlyThePublicInterfaceAndTheInlineCodesHelpers) {
  std::set<std::string> const names = exportedNames(LIBZU_PATH);
  ASSERT_GT(names.size(), 100u) << "nm could not read " << LIBZU_PATH;
  std::set<std::string> const allowed = {
      "zu::__::assertionFailed(char const*, char const*, unsigned int)",  // TArray's index checks
      "zu::util::logger::__::threshold",                                  // the inline canLog
      "zu::util::logger::__::threadLogStream()",                          // the inline LogMessage
  };
  for (std::string const& name : names) {
    if (!isPrivate(name)) continue;
    EXPECT_TRUE(allowed.count(name)) << "exported: " << name;
  }
}
