#include <zu/app.h>
#include <zu/logger.h>
#include <zu/sys.h>

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "../impl/app/console_hook.h"
#include "support/child.h"
#include "support/finalize.h"
#include "support/temp_dir.h"
#include "support/log_lines.h"

using zu::String;
using zu::TArray;
using zu::app::ConsoleHook;
using zu::app::IArguments;
using zu::app::IRegistryKey;

namespace {

std::vector<std::string> strings(TArray<String> const& array) {
  std::vector<std::string> out;
  for (String const& s : array) out.push_back(s.cstr());
  return out;
}

// Every token of `line` as a positional argument.
std::vector<std::string> tokens(char const* line) { return strings(IArguments::New(String("-- ") + line, "")->arguments()); }

typedef std::vector<std::string> Words;

}  // namespace

TEST(Arguments, QuotesAndBackslashesHoldBlanksInsideOneToken) {
  EXPECT_EQ((Words{"word", "two words", "single pair", "joined pair"}),
            tokens("word \"two words\"  'single pair'\tjoined\\ pair"));
  // Quotes group part of a token and vanish; nothing inside them is special.
  EXPECT_EQ((Words{"ab cd", "it's", "a\\b", "x\"y"}), tokens("a\"b c\"d \"it's\" 'a\\b' 'x\"y'"));
  // An empty pair of quotes is a token; a lone backslash at the end stays.
  EXPECT_EQ((Words{"", "end\\"}), tokens("\"\" end\\"));
  // An unclosed quote runs to the end of the text.
  EXPECT_EQ((Words{"open", "rest of  it"}), tokens("open 'rest of  it"));
  EXPECT_EQ((Words{"a", "b"}), tokens(" \n a\r\n\vb\f "));
  EXPECT_TRUE(tokens("   ").empty());
}

TEST(Arguments, ThisAppGivesBackTheProcessArguments) {
  Words const expected = zu::test::processArguments();
  EXPECT_EQ(expected, strings(IArguments::New("-- " + zu::sys::getProperty("app.command"), "")->arguments()));
  // Without "--" the program is the first positional argument, options the
  // option list does not know are dropped.
  TArray<String> const positional = IArguments::thisApp("")->arguments();
  ASSERT_FALSE(positional.empty());
  EXPECT_EQ(expected[0], positional[0].cstr());
}

TEST(Arguments, ArgumentsWithBlanksQuotesAndBackslashesSurviveTheProcessCommandLine) {
  std::vector<std::string> const arguments = {"--gtest_filter=Arguments.ThisAppGivesBackTheProcessArguments",
                                              "two words", "", "it's", "say \"hi\"", "back\\slash\\", "tab\there",
                                              "line\nfeed", "-o", "\xc3\xbc", "'", "\\", "a\\\"b"};
  std::string const dir = zu::test::makeTempDir("zu-args-");
  ASSERT_FALSE(dir.empty());
  zu::test::ChildOptions options;
  options.output = dir + "/out.txt";
  zu::test::Child child;
  ASSERT_TRUE(child.start(zu::test::Child::self(), arguments, options));
  ASSERT_TRUE(child.wait(std::chrono::seconds(60)));
  std::ifstream in(options.output, std::ios::binary);
  std::string const out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(0, child.exitCode()) << out;
  EXPECT_NE(std::string::npos, out.find("[  PASSED  ] 1 test")) << out;
  in.close();
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::u8path(dir), ignored);
}

TEST(Arguments, LettersTakeAttachedOrFollowingValues) {
  char const* const optionList = "v-verbose;o-output:";
  boost::shared_ptr<IArguments> args = IArguments::New("-v -oout.txt word", optionList);
  EXPECT_TRUE(args->has('v'));
  EXPECT_TRUE(args->has("verbose"));
  EXPECT_STREQ("", args->value('v', "unset").cstr());
  EXPECT_STREQ("out.txt", args->value("output", "").cstr());
  EXPECT_EQ(Words{"word"}, strings(args->arguments()));

  // ";" takes only the attached rest; ":" takes the next token when nothing
  // is attached.
  args = IArguments::New("-v word -o a.txt -o b.txt", optionList);
  EXPECT_EQ(Words{"word"}, strings(args->arguments()));
  EXPECT_EQ(2, args->count('o'));
  EXPECT_EQ(2, args->count("output"));
  EXPECT_STREQ("a.txt\nb.txt", args->value('o', "").cstr());

  // The first known letter of a group takes the rest as its value.
  args = IArguments::New("-zvo -zq", optionList);
  EXPECT_STREQ("o", args->value('v', "").cstr());
  EXPECT_FALSE(args->has('o'));
  EXPECT_EQ(0, args->count('z'));
  EXPECT_EQ(0, args->count('q'));
  EXPECT_TRUE(args->arguments().empty());

  // Letters and names match exactly.
  EXPECT_EQ(0, args->count('V'));
  EXPECT_EQ(0, args->count("Verbose"));
  EXPECT_STREQ("fallback", args->value("output", "fallback").cstr());
  EXPECT_STREQ("fallback", args->value("nosuch", "fallback").cstr());
}

TEST(Arguments, UnknownOptionsAreListedAndLeftOutOfTheRest) {
  char const* const optionList = "v-verbose;o-output:";
  boost::shared_ptr<IArguments> args =
      IArguments::New("-zvo --frob --output=x.txt -q word -- --late", optionList);
  EXPECT_EQ((Words{"-z", "--frob", "--output=x.txt", "-q"}), strings(args->unknown()));
  EXPECT_EQ((Words{"word", "--late"}), strings(args->arguments()));
  // Without the "=" form the token names no option: the output is unset.
  EXPECT_FALSE(args->has("output"));
  EXPECT_STREQ("o", args->value('v', "").cstr());
  EXPECT_TRUE(IArguments::New("-v a b", optionList)->unknown().empty());
}

TEST(Arguments, LongOptionsTakeAnEqualsValueWhenAskedOrFromArgv) {
  char const* const optionList = "v-verbose;o-output:n-name";
  boost::shared_ptr<IArguments> args =
      IArguments::New("--output=x.txt --verbose=loud --name= --frob=1 --output y.txt --output=a=b.txt", optionList, true);
  // The name ends at the first "=": the value may hold more.
  EXPECT_EQ(3, args->count("output"));
  EXPECT_STREQ("x.txt\ny.txt\na=b.txt", args->value('o', "").cstr());
  EXPECT_STREQ("loud", args->value("verbose", "").cstr());
  EXPECT_TRUE(args->has('n'));
  EXPECT_STREQ("", args->value("name", "unset").cstr());
  EXPECT_EQ(Words{"--frob=1"}, strings(args->unknown()));
  EXPECT_TRUE(args->arguments().empty());

  // argv: every string is one token as it stands, quotes and blanks included.
  char const* argv[] = {"prog", "-v", "--output=a b=c.txt", "\"quoted\" word", "-x", "it's", nullptr};
  args = IArguments::New(6, argv, optionList);
  EXPECT_EQ((Words{"prog", "\"quoted\" word", "it's"}), strings(args->arguments()));
  EXPECT_STREQ("a b=c.txt", args->value("output", "").cstr());
  EXPECT_TRUE(args->has("verbose"));
  EXPECT_EQ(Words{"-x"}, strings(args->unknown()));
  // main()'s own type binds too.
  char arg0[] = "prog", arg1[] = "--name", arg2[] = "n1";
  char* mainArgv[] = {arg0, arg1, arg2, nullptr};
  args = IArguments::New(3, mainArgv, optionList);
  EXPECT_STREQ("n1", args->value('n', "").cstr());
  EXPECT_EQ(Words{"prog"}, strings(args->arguments()));
}

TEST(Arguments, HelpHasOneAlignedLinePerEntry) {
  String const text = IArguments::help("v-verbose;o-output:-level:q", {"more output", "write to a file", "", "quiet"});
  EXPECT_STREQ(
      "  -v[value], --verbose  more output\n"
      "  -o, --output <value>  write to a file\n"
      "      --level <value>\n"
      "  -q <value>            quiet\n",
      text.cstr());
  // Fewer descriptions than entries: the rest have none.
  TArray<String> one;
  one.append(String("only the first"));
  EXPECT_STREQ("  -a <value>  only the first\n  -b <value>\n", IArguments::help("ab", one).cstr());
  EXPECT_STREQ("", IArguments::help("", {}).cstr());
}

TEST(Arguments, LongOptionsTakeTheNextTokenUnlessTheValueIsAttachedOnly) {
  boost::shared_ptr<IArguments> args =
      IArguments::New("--output name.txt word --verbose file --unknown", "v-verbose;o-output:");
  EXPECT_STREQ("name.txt", args->value("output", "").cstr());
  EXPECT_EQ(1, args->count('v'));
  EXPECT_STREQ("", args->value("verbose", "unset").cstr());
  EXPECT_EQ((Words{"word", "file"}), strings(args->arguments()));
  EXPECT_EQ(0, args->count("unknown"));
}

TEST(Arguments, AMissingValueLeavesTheValueAsItWas) {
  boost::shared_ptr<IArguments> args = IArguments::New("-o a.txt --output", "v-verbose;o-output:");
  EXPECT_EQ(2, args->count('o'));
  EXPECT_STREQ("a.txt", args->value('o', "").cstr());
  args = IArguments::New("-o", "o-output:");
  EXPECT_TRUE(args->has("output"));
  EXPECT_STREQ("", args->value("output", "unset").cstr());
}

TEST(Arguments, DoubleDashEndsOptionsAndALoneDashIsPositional) {
  boost::shared_ptr<IArguments> args = IArguments::New("- -v -- -o x --output -- -v", "v-verbose;o-output:");
  EXPECT_EQ((Words{"-", "-o", "x", "--output", "--", "-v"}), strings(args->arguments()));
  EXPECT_EQ(1, args->count('v'));
  EXPECT_FALSE(args->has('o'));
}

TEST(Arguments, EachEntryKeepsItsOwnLetterNameAndKind) {
  // x has neither long name nor suffix, quiet no letter and no suffix,
  // dry-run a dash in its name; every entry keeps its own name and kind.
  char const* const optionList = "xv-verbose;-quiet.n-dry-run;o-output:";
  boost::shared_ptr<IArguments> args =
      IArguments::New("-x val -v word --quiet q --dry-run -o out --output more", optionList);
  EXPECT_STREQ("val", args->value('x', "").cstr());
  EXPECT_STREQ("", args->value("verbose", "unset").cstr());
  EXPECT_STREQ("q", args->value("quiet", "").cstr());
  EXPECT_EQ(1, args->count('n'));
  EXPECT_STREQ("", args->value("dry-run", "unset").cstr());
  EXPECT_STREQ("out\nmore", args->value("output", "").cstr());
  EXPECT_EQ(Words{"word"}, strings(args->arguments()));

  args = IArguments::New("--quiet word -q", "-quiet;v-verbose;");
  EXPECT_EQ(1, args->count("quiet"));
  EXPECT_EQ(0, args->count(' '));
  EXPECT_EQ(Words{"word"}, strings(args->arguments()));
  EXPECT_EQ(0, args->count(""));
}

namespace {

long long millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// The names of a key's subkeys and of its values, in the order it lists them.
Words subkeys(boost::shared_ptr<IRegistryKey> const& key) {
  Words names;
  String name;
  for (unsigned int i = 0; key->enumKey(i, name); ++i) names.push_back(name.cstr());
  return names;
}
Words valueNames(boost::shared_ptr<IRegistryKey> const& key) {
  Words names;
  String name;
  for (unsigned int i = 0; key->enumValue(i, name); ++i) names.push_back(name.cstr());
  return names;
}

}  // namespace

// The shutdown flag never goes back to false, so the whole life of the hook
// is one test.
#ifndef _WIN32
TEST(ConsoleHook, ConcurrentSignalsBecomeOneShutdownRequest) {
  boost::shared_ptr<zu::test::LogLines> lines = boost::make_shared<zu::test::LogLines>();
  zu::util::logger::setLevel(5);
  zu::util::logger::setCallback(lines);

  EXPECT_FALSE(ConsoleHook::waitForShutdown(0));
  ConsoleHook::install(true);
  ConsoleHook::install(false);

  // Logoff is passed on and requests nothing.
  EXPECT_FALSE(zu::app::__::handleConsoleEvent(5));
  EXPECT_TRUE(lines->has("received CTRL_LOGOFF_EVENT"));
  EXPECT_FALSE(ConsoleHook::waitForShutdown(0));

  ASSERT_EQ(0, std::raise(SIGINT));
  EXPECT_TRUE(ConsoleHook::waitForShutdown(10000));
  EXPECT_TRUE(lines->has("shutdown due to CTRL_C_EVENT"));
  EXPECT_TRUE(lines->has("shutting down ..."));

  // The event released one wait; a later one returns true at its time-out.
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ConsoleHook::waitForShutdown(50));
  EXPECT_GE(millisecondsSince(start), 45);

  // One waiter per event.
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      if (ConsoleHook::waitForShutdown(20000)) ++released;
    });
  ASSERT_EQ(0, std::raise(SIGTERM));
  ASSERT_TRUE(lines->waitFor("shutdown due to CTRL_SHUTDOWN_EVENT"));
  for (int i = 0; i < 1000 && released.load() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(1, released.load());
  ASSERT_EQ(0, std::raise(SIGHUP));
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(2, released.load());
  EXPECT_TRUE(lines->waitFor("shutdown due to CTRL_CLOSE_EVENT"));

  ASSERT_EQ(0, std::raise(SIGQUIT));
  EXPECT_TRUE(lines->waitFor("shutdown due to CTRL_BREAK_EVENT"));
  EXPECT_TRUE(zu::app::__::handleConsoleEvent(3));
  EXPECT_TRUE(lines->has("shutdown due to CTRL_UNKNOWN_EVENT"));

  // finalize() ends the event thread; a signal meanwhile waits for the next
  // install.
  zu::finalize();
  ASSERT_EQ(0, std::raise(SIGINT));
  ConsoleHook::install(true);
  EXPECT_TRUE(lines->waitFor("shutdown due to CTRL_C_EVENT", 2));
  EXPECT_TRUE(ConsoleHook::waitForShutdown(0));

  zu::util::logger::setCallback(boost::weak_ptr<zu::util::logger::ILogCallback>());
  zu::util::logger::setLevel(3);
}
#else
// The events' meaning first (the family's handler, as the system's handler
// thread calls it), then the system's own route for Ctrl+C.
TEST(ConsoleHook, ConsoleEventsBecomeOneShutdownRequest) {
  boost::shared_ptr<zu::test::LogLines> lines = boost::make_shared<zu::test::LogLines>();
  zu::util::logger::setLevel(5);
  zu::util::logger::setCallback(lines);
  struct Restore {
    ~Restore() {
      zu::util::logger::setCallback(boost::weak_ptr<zu::util::logger::ILogCallback>());
      zu::util::logger::setLevel(3);
    }
  } restore;

  EXPECT_FALSE(ConsoleHook::waitForShutdown(0));
  ConsoleHook::install(true);
  EXPECT_FALSE(zu::app::__::handleConsoleEvent(CTRL_LOGOFF_EVENT));
  EXPECT_TRUE(lines->has("received CTRL_LOGOFF_EVENT"));
  EXPECT_FALSE(ConsoleHook::waitForShutdown(0));

  EXPECT_TRUE(zu::app::__::handleConsoleEvent(CTRL_SHUTDOWN_EVENT));
  EXPECT_TRUE(ConsoleHook::waitForShutdown(10000));
  EXPECT_TRUE(lines->has("shutdown due to CTRL_SHUTDOWN_EVENT"));
  EXPECT_TRUE(lines->has("shutting down ..."));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ConsoleHook::waitForShutdown(50));
  EXPECT_GE(millisecondsSince(start), 45);
  EXPECT_TRUE(zu::app::__::handleConsoleEvent(CTRL_CLOSE_EVENT));
  EXPECT_TRUE(lines->has("shutdown due to CTRL_CLOSE_EVENT"));
  EXPECT_TRUE(zu::app::__::handleConsoleEvent(CTRL_BREAK_EVENT));
  EXPECT_TRUE(lines->has("shutdown due to CTRL_BREAK_EVENT"));
  EXPECT_TRUE(zu::app::__::handleConsoleEvent(3));
  EXPECT_TRUE(lines->has("shutdown due to CTRL_UNKNOWN_EVENT"));

  // Ctrl+C to every process of this console, this one included.
  if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) || !lines->waitFor("shutdown due to CTRL_C_EVENT"))
    GTEST_SKIP() << "Wine delivers no console control event to a program whose console is a pipe (as under ctest)";
}
#endif

#ifndef _WIN32
namespace {

// Points the registry at a fresh directory for each test.
class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zu-registry-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    root_ = std::string(pattern) + "/store";
    ::setenv("ZU_REGISTRY_ROOT", root_.c_str(), 1);
    base_ = pattern;
  }
  void TearDown() override {
    ::unsetenv("ZU_REGISTRY_ROOT");
    std::string const command = "rm -rf '" + base_ + "'";
    EXPECT_EQ(0, std::system(command.c_str()));
  }
  bool exists(std::string const& relative) const {
    struct stat st;
    return ::stat((root_ + "/" + relative).c_str(), &st) == 0;
  }
  std::string root_;
  std::string base_;
};

}  // namespace

TEST_F(Registry, HivePrefixesMatchWithoutRegardToCase) {
  boost::shared_ptr<IRegistryKey> machine = IRegistryKey::New("hkey_local_machine\\Software\\Zu", false);
  EXPECT_STREQ("hkey_local_machine\\Software\\Zu", machine->path().cstr());
  EXPECT_FALSE(machine->readOnly());
  ASSERT_TRUE(machine->set("n", 1u));
  EXPECT_TRUE(exists("HKEY_LOCAL_MACHINE/Software/Zu"));

  boost::shared_ptr<IRegistryKey> user = IRegistryKey::New("Software\\Zu", false);
  EXPECT_STREQ("HKEY_CURRENT_USER\\Software\\Zu", user->path().cstr());
  ASSERT_TRUE(user->set("n", 2u));
  EXPECT_TRUE(exists("HKEY_CURRENT_USER/Software/Zu"));

  // Key names match in any case and keep their first spelling.
  boost::shared_ptr<IRegistryKey> again = IRegistryKey::New("HKEY_LOCAL_MACHINE\\SOFTWARE\\\\zu\\", true);
  EXPECT_STREQ("1", again->value("N", "").cstr());
  EXPECT_EQ(Words{"Software"}, subkeys(IRegistryKey::New("HKEY_LOCAL_MACHINE\\", true)));
  // A hive name without its backslash is no prefix.
  EXPECT_STREQ("HKEY_CURRENT_USER\\HKEY_USERS", IRegistryKey::New("HKEY_USERS", true)->path().cstr());
}

TEST_F(Registry, AReadOnlyKeyIsNeverCreated) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New("HKEY_USERS\\Missing\\Key", true);
  EXPECT_TRUE(key->readOnly());
  EXPECT_STREQ("default", key->value("x", "default").cstr());
  EXPECT_FALSE(key->set("x", 1u));
  EXPECT_FALSE(key->set("x", String("text")));
  EXPECT_FALSE(key->removeValue("x"));
  EXPECT_FALSE(key->removeKey("a"));
  String name;
  EXPECT_FALSE(key->enumKey(0, name));
  EXPECT_FALSE(key->enumValue(0, name));
  EXPECT_FALSE(exists(""));

  // An existing key opened read-only reads but never writes.
  ASSERT_TRUE(IRegistryKey::New("HKEY_USERS\\Here", false)->set("x", String("v")));
  key = IRegistryKey::New("HKEY_USERS\\Here", true);
  EXPECT_STREQ("v", key->value("x", "").cstr());
  EXPECT_FALSE(key->set("x", String("w")));
  EXPECT_FALSE(key->removeValue("x"));
  EXPECT_STREQ("v", key->value("x", "").cstr());
}

TEST_F(Registry, ValuesKeepTheirTypeAndFirstSpelling) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New("Software\\Values", false);
  ASSERT_TRUE(key->set("Answer", 42u));
  EXPECT_STREQ("42", key->value("answer", "").cstr());
  ASSERT_TRUE(key->set("max", 0xFFFFFFFFu));
  EXPECT_STREQ("4294967295", key->value("MAX", "").cstr());
  String const text("line one\nline two \"quoted\" \xc3\xa9t\xc3\xa9 \\ 12 3\n");
  ASSERT_TRUE(key->set("Text", text));
  EXPECT_STREQ(text.cstr(), key->value("text", "").cstr());
  ASSERT_TRUE(key->set("", String("default value")));
  EXPECT_STREQ("default value", key->value("", "").cstr());
  ASSERT_TRUE(key->set("empty", String()));
  EXPECT_STREQ("", key->value("empty", "unset").cstr());

  // Replacing in another spelling keeps the stored name and place, and the
  // new type.
  ASSERT_TRUE(key->set("ANSWER", String("forty-two")));
  EXPECT_STREQ("forty-two", key->value("Answer", "").cstr());
  EXPECT_EQ((Words{"Answer", "max", "Text", "", "empty"}), valueNames(key));

  // Another object on the same key sees every change.
  boost::shared_ptr<IRegistryKey> other = IRegistryKey::New("SOFTWARE\\VALUES", true);
  EXPECT_EQ((Words{"Answer", "max", "Text", "", "empty"}), valueNames(other));
  EXPECT_TRUE(key->removeValue("TEXT"));
  EXPECT_FALSE(key->removeValue("text"));
  EXPECT_STREQ("gone", other->value("Text", "gone").cstr());
  EXPECT_EQ((Words{"Answer", "max", "", "empty"}), valueNames(other));
}

TEST_F(Registry, KeysStoredInTwoSpellingsEnumerateByTheirBytesAndTheFirstIsOpened) {
  // Only another program could have made both: zu finds an existing
  // spelling before it creates a key.
  ASSERT_TRUE(IRegistryKey::New("Software\\Twice", false)->set("v", 1u));
  for (char const* spelling : {"dup", "Dup"}) {
    std::string const dir = root_ + "/HKEY_CURRENT_USER/Software/Twice/" + spelling;
    ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
    std::ofstream(dir + "/.values", std::ios::binary) << "zu registry values 1\n1 1 " << std::strlen(spelling) << "\nv"
                                                      << spelling << "\n";
  }
  EXPECT_EQ((Words{"Dup", "dup"}), subkeys(IRegistryKey::New("Software\\Twice", true)));
  EXPECT_STREQ("Dup", IRegistryKey::New("Software\\Twice\\DUP", true)->value("v", "").cstr());
}

TEST_F(Registry, SubkeysEnumerateInAStableCaseBlindOrder) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New("Software\\List", false);
  for (char const* name : {"beta", "Alpha", "gamma", "text/html", ".hidden", "100%", "..", "%2F"})
    ASSERT_TRUE(IRegistryKey::New(String("Software\\List\\") + name, false)->set("v", 1u)) << name;
  // Names the file system would refuse or read as its own come back as given.
  EXPECT_EQ((Words{"%2F", "..", ".hidden", "100%", "Alpha", "beta", "gamma", "text/html"}), subkeys(key));
  EXPECT_TRUE(IRegistryKey::New("Software\\List\\TEXT/HTML", true)->value("v", "").cstr()[0] == '1');
  ASSERT_TRUE(key->set("v", 1u));
  EXPECT_EQ(8u, subkeys(key).size());
}

TEST_F(Registry, RemoveKeyTakesEverythingBelowIt) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New("Software\\Tree", false);
  boost::shared_ptr<IRegistryKey> deep = IRegistryKey::New("Software\\Tree\\a\\b\\c", false);
  ASSERT_TRUE(deep->set("x", 1u));
  ASSERT_TRUE(IRegistryKey::New("Software\\Tree\\a\\b", false)->set("y", 2u));
  ASSERT_TRUE(IRegistryKey::New("Software\\Tree\\a\\other", false)->set("z", 3u));

  EXPECT_TRUE(key->removeKey("A\\B"));
  EXPECT_EQ(Words{"other"}, subkeys(IRegistryKey::New("Software\\Tree\\a", true)));
  EXPECT_STREQ("none", IRegistryKey::New("Software\\Tree\\a\\b\\c", true)->value("x", "none").cstr());
  // A key object whose key was removed fails from then on.
  EXPECT_FALSE(deep->set("x", 2u));
  EXPECT_STREQ("none", deep->value("x", "none").cstr());

  EXPECT_FALSE(key->removeKey("a\\b"));
  EXPECT_FALSE(key->removeKey(""));
  EXPECT_FALSE(key->removeKey("missing\\b"));
  EXPECT_TRUE(key->removeKey("a"));
  EXPECT_TRUE(subkeys(key).empty());
  EXPECT_FALSE(IRegistryKey::New("Software\\Tree", true)->removeKey("x"));
}

TEST_F(Registry, ADamagedValuesFileIsNeitherReadNorOverwritten) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New("Software\\Damaged", false);
  std::string const file = root_ + "/HKEY_CURRENT_USER/Software/Damaged/.values";
  // A record behind a good one, each broken in one way.
  for (std::string const damage : {"1 4 100\ntrun", "1 40 1\nab\n", "99999999999 1 1\nab\n", "1 1 1\nabX",
                                    "1 1 1\nab", "1 1\nab\n", "1 x 1\nab\n"}) {
    ASSERT_TRUE(key->set("kept", String("yes")));
    {
      std::ofstream out(file, std::ios::app | std::ios::binary);
      out << damage;
    }
    EXPECT_STREQ("default", key->value("kept", "default").cstr()) << damage;
    EXPECT_FALSE(key->set("other", 1u)) << damage;
    std::ifstream in(file, std::ios::binary);
    std::string const content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(damage, content.substr(content.size() - damage.size())) << damage;
    ASSERT_EQ(0, ::unlink(file.c_str()));
  }
}

// Values another program wrote: texts up to their first zero, numbers only
// as the decimal digits of an unsigned 32-bit value, other types not at all.
TEST_F(Registry, ValuesAreReadByTheirType) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New("Software\\Typed", false);
  ASSERT_TRUE(key->set("first", 1u));
  struct Stored {
    int type;
    std::string name, data, read;
  };
  std::vector<Stored> const stored = {
      {1, "sz", std::string("text\0more", 9), "text"},  {2, "expand", "%PATH%", "%PATH%"},
      {7, "multi", std::string("a\0b\0", 4), "a"},     {4, "dword", "4294967295", "4294967295"},
      {4, "zero", "0", "0"},                             {4, "wide", "4294967296", "default"},
      {4, "long", "00000000001", "default"},             {4, "sign", "-1", "default"},
      {4, "letter", "1x", "default"},                    {4, "empty", "", "default"},
      {3, "binary", "\x01\x02", "default"},              {11, "qword", "1", "default"},
  };
  std::string text = "zu registry values 1\n";
  for (Stored const& value : stored)
    text += std::to_string(value.type) + " " + std::to_string(value.name.size()) + " " +
            std::to_string(value.data.size()) + "\n" + value.name + value.data + "\n";
  {
    std::ofstream out(root_ + "/HKEY_CURRENT_USER/Software/Typed/.values", std::ios::trunc | std::ios::binary);
    out << text;
  }
  for (Stored const& value : stored)
    EXPECT_STREQ(value.read.c_str(), key->value(value.name.c_str(), "default").cstr()) << value.name;
  EXPECT_EQ(stored.size(), valueNames(key).size());
  EXPECT_STREQ("default", key->value("first", "default").cstr());
}

#endif

namespace {

// The key the writers share: ZU_REGISTRY_SHARED names it in a child.
std::string sharedKey() {
  char const* const key = std::getenv("ZU_REGISTRY_SHARED");
  return key && *key ? key : "Software\\Shared";
}

void writeValues(char const* prefix, int count) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New(sharedKey().c_str(), false);
  for (int i = 0; i < count; ++i) key->set(String(prefix) + String(i), static_cast<unsigned int>(i));
}

void expectAllValues(std::vector<std::string> const& prefixes, int count) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New(sharedKey().c_str(), true);
  String name;
  unsigned int n = 0;
  while (key->enumValue(n, name)) ++n;
  EXPECT_EQ(prefixes.size() * count, n);
  for (std::string const& prefix : prefixes)
    for (int i = 0; i < count; ++i)
      EXPECT_STREQ(String(i).cstr(), key->value(String(prefix.c_str()) + String(i), "lost").cstr());
}

// This program started again with ZU_REGISTRY_WRITER set writes its values
// and ends, before any test runs; the registry root comes with the
// environment.
int const registryWriter = [] {
  char const* const prefix = std::getenv("ZU_REGISTRY_WRITER");
  if (!prefix) return 0;
  writeValues(prefix, 60);
  zu::finalize();
  std::exit(0);
}();

void writersInTwoProcessesLoseNoValue() {
  std::vector<std::string> const prefixes = {"first", "second"};
  std::vector<std::unique_ptr<zu::test::Child>> children;
  for (std::string const& prefix : prefixes) {
    children.emplace_back(new zu::test::Child);
    zu::test::ChildOptions options;
    options.environment.push_back("ZU_REGISTRY_WRITER=" + prefix);
    ASSERT_TRUE(children.back()->start(zu::test::Child::self(), {}, options));
  }
  for (auto& child : children) {
    ASSERT_TRUE(child->wait(std::chrono::seconds(120)));
    EXPECT_EQ(0, child->exitCode());
  }
  expectAllValues(prefixes, 60);
}

}  // namespace

#ifndef _WIN32
TEST_F(Registry, ConcurrentWritersOnOneKeyLoseNoValue) {
  std::vector<std::thread> writers;
  std::vector<std::string> const prefixes = {"a", "b", "c", "d"};
  for (std::string const& prefix : prefixes) writers.emplace_back([&prefix] { writeValues(prefix.c_str(), 40); });
  for (std::thread& writer : writers) writer.join();
  expectAllValues(prefixes, 40);
}

TEST_F(Registry, WritersInTwoProcessesLoseNoValue) { writersInTwoProcessesLoseNoValue(); }

// A change replaces the values file whole: a reader on another key object
// sees the values before the change or after it, never none.
TEST_F(Registry, ConcurrentReadersSeeEveryValueWhileAWriterStores) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New("Software\\Busy", false);
  ASSERT_TRUE(key->set("kept", String("here")));
  std::atomic<bool> writing{true};
  std::atomic<int> reads{0}, lost{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&] {
      boost::shared_ptr<IRegistryKey> mine = IRegistryKey::New("Software\\Busy", true);
      while (writing) {
        if (std::string(mine->value("kept", "lost").cstr()) != "here") ++lost;
        ++reads;
      }
    });
  for (unsigned int i = 0; i < 200; ++i) ASSERT_TRUE(key->set("counter", i));
  writing = false;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(0, lost.load()) << "of " << reads.load() << " reads";
  EXPECT_STREQ("199", key->value("counter", "").cstr());
}

TEST_F(Registry, NamesMatchWithoutRegardToCaseBeyondAscii) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New("Software\\Folding", false);
  ASSERT_TRUE(key->set("gr\xC3\xBC\xC3\x9F" "e", String("hello")));              // grüße
  EXPECT_STREQ("hello", key->value("GR\xC3\x9C\xC3\x9F" "E", "").cstr());       // GRÜßE
  EXPECT_STREQ("none", key->value("GRUESSE", "none").cstr());
  // A second spelling replaces the value and keeps the first name.
  ASSERT_TRUE(key->set("GR\xC3\x9C\xC3\x9F" "E", 7u));
  EXPECT_EQ(Words{"gr\xC3\xBC\xC3\x9F" "e"}, valueNames(key));
  EXPECT_TRUE(key->removeValue("Gr\xC3\x9C\xC3\x9F" "e"));
  EXPECT_TRUE(valueNames(key).empty());

  // Keys: "Ümlaut" is found as "üMLAUT"; creating it again in another
  // spelling makes no second key.
  ASSERT_TRUE(IRegistryKey::New("Software\\Folding\\\xC3\x9Cmlaut", false)->set("v", 1u));
  EXPECT_STREQ("1", IRegistryKey::New("Software\\Folding\\\xC3\xBCMLAUT", true)->value("v", "").cstr());
  ASSERT_TRUE(IRegistryKey::New("Software\\FOLDING\\\xC3\xBCmlaut", false)->set("w", 2u));
  ASSERT_TRUE(IRegistryKey::New("Software\\Folding\\\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0", false)->set("v", 3u));
  ASSERT_TRUE(IRegistryKey::New("Software\\Folding\\zebra", false)->set("v", 4u));
  ASSERT_TRUE(IRegistryKey::New("Software\\Folding\\\xC3\xA0 la carte", false)->set("v", 5u));
  // Enumerated by folded code point: ASCII first, then "à", "Ü", Cyrillic.
  EXPECT_EQ((Words{"zebra", "\xC3\xA0 la carte", "\xC3\x9Cmlaut", "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"}),
            subkeys(key));
  EXPECT_STREQ("2", IRegistryKey::New("Software\\Folding\\\xC3\x9CMLAUT", true)->value("W", "").cstr());
  EXPECT_STREQ("3", IRegistryKey::New("Software\\Folding\\\xD0\xBC\xD0\x9E\xD0\xA1\xD0\x9A\xD0\x92\xD0\x90", true)
                        ->value("v", "").cstr());
  EXPECT_TRUE(key->removeKey("\xC3\xBCMLAUT"));
  EXPECT_EQ(3u, subkeys(key).size());
}
#else
namespace {

// The registry of the system, below HKEY_CURRENT_USER\Software\zu
// test\<the case's name>, which each case removes before and after it
// (a Wine prefix's registry persists, and cases run in parallel).
class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    clean();
    ::_putenv_s("ZU_REGISTRY_SHARED", at("Shared").cstr());
  }
  void TearDown() override {
    clean();
    ::_putenv_s("ZU_REGISTRY_SHARED", "");
  }
  void clean() { IRegistryKey::New("Software\\zu test", false)->removeKey(name_.c_str()); }
  // The path of `sub` below this case's key, and the same as UTF-16 below
  // HKEY_CURRENT_USER.
  String at(std::string const& sub) const { return String(("Software\\zu test\\" + name_ + "\\" + sub).c_str()); }
  std::wstring wide(std::string const& sub) const {
    std::string const text = at(sub).cstr();
    std::wstring out(text.size() + 1, L'\0');
    int const n = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return out;
  }
  // Whether the key exists below HKEY_CURRENT_USER, and the type of a value.
  static bool exists(std::wstring const& path) {
    HKEY key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
  }
  static DWORD typeOf(std::wstring const& path, wchar_t const* name) {
    DWORD type = REG_NONE;
    if (::RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_ANY, &type, nullptr, nullptr) != ERROR_SUCCESS)
      return REG_NONE;
    return type;
  }
  std::string name_;
  // The real registry lists values in its own order.
  static std::vector<std::string> values(boost::shared_ptr<IRegistryKey> const& key) {
    std::vector<std::string> names = valueNames(key);
    std::sort(names.begin(), names.end());
    return names;
  }
};

}  // namespace

TEST_F(Registry, ValuesKeepTheirTypeOnTheSystemsRegistry) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New(at("Values"), false);
  EXPECT_FALSE(key->readOnly());
  ASSERT_TRUE(key->set("Answer", 42u));
  EXPECT_STREQ("42", key->value("answer", "").cstr());
  EXPECT_EQ(DWORD(REG_DWORD), typeOf(wide("Values"), L"Answer"));
  ASSERT_TRUE(key->set("max", 0xFFFFFFFFu));
  EXPECT_STREQ("4294967295", key->value("MAX", "").cstr());
  String const text("line one\nline two \xc3\xa9t\xc3\xa9 \\ 12");
  ASSERT_TRUE(key->set("Text", text));
  EXPECT_STREQ(text.cstr(), key->value("text", "").cstr());
  EXPECT_EQ(DWORD(REG_SZ), typeOf(wide("Values"), L"Text"));
  ASSERT_TRUE(key->set("empty", String()));
  EXPECT_STREQ("", key->value("empty", "unset").cstr());
  EXPECT_STREQ("unset", key->value("missing", "unset").cstr());

  // Another type under another spelling replaces the value.
  ASSERT_TRUE(key->set("ANSWER", String("forty-two")));
  EXPECT_STREQ("forty-two", key->value("Answer", "").cstr());
  EXPECT_EQ(DWORD(REG_SZ), typeOf(wide("Values"), L"Answer"));
  EXPECT_EQ((Words{"Answer", "Text", "empty", "max"}), values(key));

  boost::shared_ptr<IRegistryKey> other = IRegistryKey::New(at("VALUES").toUpper(), true);
  EXPECT_TRUE(key->removeValue("TEXT"));
  EXPECT_FALSE(key->removeValue("text"));
  EXPECT_STREQ("gone", other->value("Text", "gone").cstr());
  EXPECT_EQ((Words{"Answer", "empty", "max"}), values(other));
}

TEST_F(Registry, AReadOnlyKeyIsNeverCreated) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New(at("Missing\\Key"), true);
  EXPECT_TRUE(key->readOnly());
  EXPECT_STREQ("default", key->value("x", "default").cstr());
  EXPECT_FALSE(key->set("x", 1u));
  EXPECT_FALSE(key->set("x", String("text")));
  EXPECT_FALSE(key->removeValue("x"));
  EXPECT_FALSE(key->removeKey("a"));
  String name;
  EXPECT_FALSE(key->enumKey(0, name));
  EXPECT_FALSE(key->enumValue(0, name));
  EXPECT_FALSE(exists(wide("Missing")));

  // An existing key opened read-only reads but never writes.
  ASSERT_TRUE(IRegistryKey::New(at("Here"), false)->set("x", String("v")));
  key = IRegistryKey::New(at("Here"), true);
  EXPECT_STREQ("v", key->value("x", "").cstr());
  EXPECT_FALSE(key->set("x", String("w")));
  EXPECT_FALSE(key->removeValue("x"));
  EXPECT_STREQ("v", key->value("x", "").cstr());
}

TEST_F(Registry, HivePrefixesMatchWithoutRegardToCase) {
  String const given = String("hkey_current_user\\") + at("H");
  boost::shared_ptr<IRegistryKey> user = IRegistryKey::New(given, false);
  EXPECT_STREQ(given.cstr(), user->path().cstr());
  ASSERT_TRUE(user->set("n", 1u));
  boost::shared_ptr<IRegistryKey> again = IRegistryKey::New(at("h").toUpper(), true);
  EXPECT_STREQ((String("HKEY_CURRENT_USER\\") + at("h").toUpper()).cstr(), again->path().cstr());
  EXPECT_STREQ("1", again->value("N", "").cstr());
  EXPECT_TRUE(exists(wide("H")));
  EXPECT_EQ(Words{"H"}, subkeys(IRegistryKey::New(String("HKEY_CURRENT_USER\\") + at(""), true)));
}

TEST_F(Registry, RemoveKeyTakesEverythingBelowIt) {
  boost::shared_ptr<IRegistryKey> key = IRegistryKey::New(at("Tree"), false);
  boost::shared_ptr<IRegistryKey> deep = IRegistryKey::New(at("Tree\\a\\b\\c"), false);
  ASSERT_TRUE(deep->set("x", 1u));
  ASSERT_TRUE(IRegistryKey::New(at("Tree\\a\\b"), false)->set("y", 2u));
  ASSERT_TRUE(IRegistryKey::New(at("Tree\\a\\other"), false)->set("z", 3u));

  EXPECT_TRUE(key->removeKey("A\\B"));
  EXPECT_EQ(Words{"other"}, subkeys(IRegistryKey::New(at("Tree\\a"), true)));
  EXPECT_FALSE(exists(wide("Tree\\a\\b")));
  EXPECT_STREQ("none", IRegistryKey::New(at("Tree\\a\\b\\c"), true)->value("x", "none").cstr());
  EXPECT_STREQ("none", deep->value("x", "none").cstr());

  EXPECT_FALSE(key->removeKey("a\\b"));
  EXPECT_FALSE(key->removeKey(""));
  EXPECT_FALSE(key->removeKey("missing\\b"));
  EXPECT_TRUE(key->removeKey("a"));
  EXPECT_TRUE(subkeys(key).empty());
}

TEST_F(Registry, ConcurrentWritersOnOneKeyLoseNoValue) {
  std::vector<std::thread> writers;
  std::vector<std::string> const prefixes = {"a", "b", "c", "d"};
  for (std::string const& prefix : prefixes) writers.emplace_back([&prefix] { writeValues(prefix.c_str(), 40); });
  for (std::thread& writer : writers) writer.join();
  expectAllValues(prefixes, 40);
}

TEST_F(Registry, WritersInTwoProcessesLoseNoValue) { writersInTwoProcessesLoseNoValue(); }
#endif
