// Command-line arguments and the console shutdown hook.
#include <zu/app.h>
#include <zu/sys.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/app_platform.h"
#include "app/console_hook.h"
#include "diag/logging.h"

namespace zu {
namespace app {

namespace platform = __::platform;

namespace impl {

namespace {

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Entry kinds, from the suffix after an entry of the option list.
enum {
  KIND_PLAIN = 0,     // no suffix: the rest of the token, else the next token
  KIND_ATTACHED = 1,  // ";": the rest of the token only, possibly empty
  KIND_VALUE = 2      // ":": the rest of the token, else the next token
};

}  // namespace

class Arguments : public IArguments {
 public:
  Arguments(String const& commandLine, String const& optionList, bool longValues) : longValues_(longValues) {
    tokenise(commandLine.cstr());
    readOptionList(optionList.cstr());
    classify();
  }

  // The tokens as given: no quoting or escapes to undo.
  Arguments(int argc, char const* const* argv, String const& optionList) : longValues_(true) {
    for (int i = 0; argv && i < argc; ++i)
      if (argv[i]) tokens_.append(String(argv[i]));
    readOptionList(optionList.cstr());
    classify();
  }

  TArray<String> arguments() const override { return positional_; }

  int count(String const& name) const override {
    int const entry = findName(name);
    return entry < 0 ? 0 : counts_[entry];
  }

  int count(char letter) const override {
    int const entry = findLetter(letter);
    return entry < 0 ? 0 : counts_[entry];
  }

  String value(String const& name, String const& defaultValue) const override {
    return valueOf(findName(name), defaultValue);
  }

  String value(char letter, String const& defaultValue) const override {
    return valueOf(findLetter(letter), defaultValue);
  }

  bool has(String const& name) const override { return count(name) > 0; }
  bool has(char letter) const override { return count(letter) > 0; }

  TArray<String> unknown() const override { return unknown_; }

 private:
  // White space ends a token only outside quotes. Quotes group and are
  // dropped; nothing inside them is special. Outside them a backslash makes
  // the next character literal, and one at the very end stays.
  void tokenise(char const* text) {
    std::string token;
    char const* p = text;
    for (;;) {
      while (*p && isSpace(*p)) ++p;
      if (!*p) break;
      token.clear();
      while (*p && !isSpace(*p)) {
        char const c = *p;
        if (c == '"' || c == '\'') {
          ++p;
          while (*p && *p != c) token += *p++;
          if (*p) ++p;  // an unclosed quote runs to the end
        } else if (c == '\\' && p[1]) {
          token += p[1];
          p += 2;
        } else {
          token += c;
          ++p;
        }
      }
      tokens_.append(String(token.c_str()));
    }
  }

  // Each entry gets its letter (blank for "-"), its long name ("" for none)
  // and its kind at its own index, so entries without a long name or a
  // suffix never shift the names or kinds of the entries after them.
  void readOptionList(char const* optionList) {
    std::string letters;
    for (char const* p = optionList; *p;) {
      if (*p == '-') {
        letters += ' ';
      } else {
        letters += *p;
        ++p;
      }
      std::string name;
      if (*p == '-') {
        ++p;
        while (*p && *p != '.' && *p != ':' && *p != ';') name += *p++;
        if (*p == '.') ++p;
      }
      int kind = KIND_PLAIN;
      if (*p == ':') {
        kind = KIND_VALUE;
        ++p;
      } else if (*p == ';') {
        kind = KIND_ATTACHED;
        ++p;
      }
      longNames_.append(String(name.c_str()));
      kinds_.push_back(kind);
    }
    letters_ = String(letters.c_str());
    counts_.assign(kinds_.size(), 0);
    values_.assign(kinds_.size(), std::string());
  }

  void classify() {
    unsigned int const n = tokens_.size();
    bool endOfOptions = false;
    for (unsigned int i = 0; i < n; ++i) {
      String const& token = tokens_[i];
      char const* t = token.cstr();
      if (endOfOptions || t[0] != '-' || t[1] == '\0') {
        positional_.append(token);
        continue;
      }
      if (t[1] == '-') {
        if (t[2] == '\0') {
          endOfOptions = true;
          continue;
        }
        char const* const equals = longValues_ ? std::strchr(t + 2, '=') : nullptr;
        if (equals) {
          // "--name=value": the value is the rest of the token, even empty.
          int const entry = findName(String(std::string(t + 2, equals).c_str()));
          if (entry >= 0) {
            ++counts_[entry];
            addValue(entry, equals + 1);
          } else {
            unknown_.append(token);
          }
          continue;
        }
        int const entry = findName(String(t + 2));
        if (entry >= 0) {
          takeLong(entry, i);
        } else {
          unknown_.append(token);
        }
        continue;
      }
      // A group of letters: the first known one takes the rest of the token
      // as its value, so the group ends there; unknown letters are skipped.
      for (char const* letter = t + 1; *letter; ++letter) {
        int const entry = findLetter(*letter);
        if (entry < 0) {
          char const unknownLetter[] = {'-', *letter, '\0'};
          unknown_.append(String(unknownLetter));
          continue;
        }
        takeLetter(entry, letter + 1, i);
        break;
      }
    }
  }

  // A long option takes the next token, except one whose value can only be
  // attached: that has no attached form here, so it takes the empty value
  // and leaves the next token alone, as "-v" does.
  void takeLong(int entry, unsigned int& i) {
    ++counts_[entry];
    if (kinds_[entry] == KIND_ATTACHED)
      addValue(entry, "");
    else if (i + 1 < tokens_.size())
      addValue(entry, tokens_[++i].cstr());
  }

  void takeLetter(int entry, char const* rest, unsigned int& i) {
    ++counts_[entry];
    if (kinds_[entry] == KIND_ATTACHED || *rest)
      addValue(entry, rest);
    else if (i + 1 < tokens_.size())
      addValue(entry, tokens_[++i].cstr());
  }

  // A missing value leaves the text as it was, without a dangling line
  // feed.
  void addValue(int entry, char const* value) {
    std::string& text = values_[entry];
    if (!text.empty()) text += '\n';
    text += value;
  }

  int findName(String const& name) const {
    if (name.empty()) return -1;
    for (unsigned int i = 0; i < longNames_.size(); ++i)
      if (longNames_[i] == name) return static_cast<int>(i);
    return -1;
  }

  // The blank stands for "no letter" and never matches.
  int findLetter(char letter) const {
    if (letter == ' ') return -1;
    char const* letters = letters_.cstr();
    for (int i = 0; letters[i]; ++i)
      if (letters[i] == letter) return i;
    return -1;
  }

  String valueOf(int entry, String const& defaultValue) const {
    if (entry < 0 || counts_[entry] <= 0) return defaultValue;
    return String(values_[entry].c_str());
  }

  TArray<String> positional_;
  String letters_;
  std::vector<int> counts_;
  // Built up by appending, so kept as standard strings until read.
  std::vector<std::string> values_;
  TArray<String> longNames_;
  TArray<String> tokens_;
  std::vector<int> kinds_;
  TArray<String> unknown_;
  bool longValues_ = false;
};

}  // namespace impl

boost::shared_ptr<IArguments> IArguments::New(String const& commandLine, String const& optionList) {
  return boost::make_shared<impl::Arguments>(commandLine, optionList, false);
}

boost::shared_ptr<IArguments> IArguments::New(String const& commandLine, String const& optionList,
                                              bool longValues) {
  return boost::make_shared<impl::Arguments>(commandLine, optionList, longValues);
}

boost::shared_ptr<IArguments> IArguments::New(int argc, char const* const* argv, String const& optionList) {
  return boost::make_shared<impl::Arguments>(argc, argv, optionList);
}

String IArguments::help(String const& optionList, TArray<String> const& descriptions) {
  // The entries as the parser reads them.
  struct Entry {
    char letter;
    std::string name;
    int kind;
  };
  std::vector<Entry> entries;
  for (char const* p = optionList.cstr(); *p;) {
    Entry entry = {' ', std::string(), impl::KIND_PLAIN};
    if (*p != '-') entry.letter = *p;
    if (*p != '-') ++p;
    if (*p == '-') {
      ++p;
      while (*p && *p != '.' && *p != ':' && *p != ';') entry.name += *p++;
      if (*p == '.') ++p;
    }
    if (*p == ':') {
      entry.kind = impl::KIND_VALUE;
      ++p;
    } else if (*p == ';') {
      entry.kind = impl::KIND_ATTACHED;
      ++p;
    }
    entries.push_back(entry);
  }
  // "-o, --output <value>", "-v, --verbose", "    --name <value>",
  // "-x[value]": the forms the parser accepts.
  std::vector<std::string> forms;
  std::size_t width = 0;
  for (Entry const& entry : entries) {
    std::string form;
    bool const valued = entry.kind != impl::KIND_ATTACHED;
    if (entry.letter != ' ') {
      form += '-';
      form += entry.letter;
      if (!valued) form += "[value]";
    } else {
      form += "  ";
    }
    if (!entry.name.empty()) {
      form += entry.letter != ' ' ? ", --" : "  --";
      form += entry.name;
    }
    if (valued) form += " <value>";
    width = form.size() > width ? form.size() : width;
    forms.push_back(form);
  }
  std::string text;
  for (std::size_t i = 0; i < forms.size(); ++i) {
    text += "  ";
    text += forms[i];
    char const* const description = i < descriptions.size() ? descriptions[unsigned(i)].cstr() : "";
    if (*description) {
      text.append(width - forms[i].size() + 2, ' ');
      text += description;
    }
    text += '\n';
  }
  return String(text.c_str());
}

String IArguments::help(String const& optionList, std::initializer_list<char const*> descriptions) {
  TArray<String> texts;
  for (char const* d : descriptions) texts.append(String(d ? d : ""));
  return help(optionList, texts);
}

boost::shared_ptr<IArguments> IArguments::thisApp(String const& optionList) {
  return New(sys::getProperty("app.command"), optionList);
}

namespace impl {

namespace {

// Reads the events the signal handler queues and hands them to the event
// handler, on a library thread. A runner ends for good once stopped.
class ConsoleEventRunner : public sys::IRunnable {
 public:
  void run() override {
    for (;;) {
      int const event = reader_.next();
      if (event < 0) return;
      __::handleConsoleEvent(static_cast<unsigned int>(event));
    }
  }

  void stop() override { reader_.wake(); }

 private:
  platform::ConsoleEventReader reader_;
};

struct ConsoleState {
  // Auto-reset: each event releases one waiter.
  sys::SyncPoint shutdown{true};
  // Only ever goes from false to true.
  std::atomic<bool> requested{false};
  sys::Mutex lock;
  // Under `lock`: the event thread and its runnable, which the thread
  // registry holds only weakly.
  boost::shared_ptr<ConsoleEventRunner> runner;
  boost::shared_ptr<sys::IThread> thread;
};

ConsoleState& consoleState() {
  // Never freed: the event thread may still use it while the process ends.
  static ConsoleState* const state = new ConsoleState;
  return *state;
}

char const* eventName(unsigned int event) {
  switch (event) {
    case platform::CONSOLE_CTRL_C: return "CTRL_C_EVENT";
    case platform::CONSOLE_CTRL_BREAK: return "CTRL_BREAK_EVENT";
    case platform::CONSOLE_CTRL_CLOSE: return "CTRL_CLOSE_EVENT";
    case platform::CONSOLE_CTRL_LOGOFF: return "CTRL_LOGOFF_EVENT";
    case platform::CONSOLE_CTRL_SHUTDOWN: return "CTRL_SHUTDOWN_EVENT";
    default: return "CTRL_UNKNOWN_EVENT";
  }
}

}  // namespace

}  // namespace impl

namespace __ {

bool handleConsoleEvent(unsigned int event) {
  char const* const name = impl::eventName(event);
  if (event == platform::CONSOLE_CTRL_LOGOFF) {
    ZU_LOG(5, "[DBG3]", "received " << name);
    return false;
  }
  ZU_LOG(5, "[DBG3]", "shutdown due to " << name);
  ZU_LOG(5, "[DBG3]", "shutting down ...");
  impl::ConsoleState& state = impl::consoleState();
  state.requested.store(true);
  state.shutdown.signal();
  return true;
}

void initializeConsoleHook() { impl::consoleState(); }

}  // namespace __

void ConsoleHook::install(bool) {
  impl::ConsoleState& state = impl::consoleState();
  sys::ScopedLock lock(state.lock);
  if (!platform::installConsoleSignals()) {
    ZU_LOG(0, "[ERR ]", "cannot install the console signal handlers");
    return;
  }
  // zu::finalize() ends the thread; events that came meanwhile wait in the
  // pipe for the next one.
  if (state.thread && state.thread->isRunning()) return;
  state.runner = boost::make_shared<impl::ConsoleEventRunner>();
  state.thread = sys::IThread::New(state.runner, sys::Normal, 0x40000);
}

bool ConsoleHook::waitForShutdown(unsigned int milliseconds) {
  impl::ConsoleState& state = impl::consoleState();
  state.shutdown.wait(milliseconds);
  return state.requested.load();
}

}  // namespace app
}  // namespace zu
