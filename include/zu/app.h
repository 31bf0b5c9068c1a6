// zu::app: command-line arguments read against a compact option list,
// the console shutdown hook, registry keys and settings kept
// in an XML tree.
#ifndef ZU_APP_H
#define ZU_APP_H

#include <boost/shared_ptr.hpp>
#include <initializer_list>
#include <zu/array.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>
#include <zu/xml.h>

namespace zu {
namespace app {

// A command line split into options and positional arguments.
//
// The command line is cut into tokens at white space; double or single
// quotes group text (white space included) and are dropped; outside quotes
// a backslash makes the next character literal. The option list holds
// entries, each a letter (or "-" for none), then optionally "-" and a
// long name ended by ".", ":", ";" or the end, then optionally ":" (the
// value is the rest of the token or else the next token) or ";" (the value
// is the rest of the token only). "v-verbose;o-output:" reads -v, --verbose,
// -ofile, -o file and --output file. An entry without a suffix takes its
// value as ":" does. Tokens after "--" and a lone "-" are positional;
// unknown options are left out of the options and the positional arguments
// (`unknown` lists them). A value given more than once is kept as the
// values joined by line feeds. Never fails.
class ZU_API IArguments : public IBase {
 public:
  // The tokens that are not options, in order.
  virtual TArray<String> arguments() const = 0;
  // How often the option occurred; 0 for an unknown name or letter. Names
  // and letters match exactly (letter case counts).
  virtual int count(String const& name) const = 0;
  virtual int count(char letter) const = 0;  // the same for a letter
  // The option's value text once it occurred, else `defaultValue`.
  virtual String value(String const& name, String const& defaultValue) const = 0;
  virtual String value(char letter, String const& defaultValue) const = 0;  // the same for a letter
  virtual bool has(String const& name) const = 0;  // whether the option occurred
  virtual bool has(char letter) const = 0;  // the same for a letter

  // The option tokens the list does not know, in order, as given: "--name"
  // (or "--name=value") for a long one, "-x" for each unknown letter of a
  // group.
  virtual TArray<String> unknown() const = 0;

  // The arguments of `commandLine` read against `optionList`.
  static boost::shared_ptr<IArguments> New(String const& commandLine, String const& optionList);
  // As above; with `longValues` a long option also takes its value attached
  // after "=" ("--output=file", "--output=" for an empty value). Without it,
  // such a token is an unknown option.
  static boost::shared_ptr<IArguments> New(String const& commandLine, String const& optionList,
                                           bool longValues);
  // The arguments of main(): each of the `argc` strings of `argv` is one
  // token as it stands (no quotes or backslashes to undo); argv[0], the
  // program, is the first positional argument, as with thisApp. Long
  // options take "=value" as with `longValues`.
  static boost::shared_ptr<IArguments> New(int argc, char const* const* argv, String const& optionList);
  // A help text for the option list: one line per entry, in order, with the
  // forms the parser accepts ("  -o, --output <value>", "  -v[value], --verbose",
  // "      --name <value>"), then the entry's description from
  // `descriptions` (same index; missing or empty ones give none), the
  // descriptions aligned in one column. Every line ends in a line feed.
  static String help(String const& optionList, TArray<String> const& descriptions);
  static String help(String const& optionList, std::initializer_list<char const*> descriptions);  // as above
  // New on the process command line (the property "app.command"), whose
  // first positional argument is the program itself.
  static boost::shared_ptr<IArguments> thisApp(String const& optionList);
};

// Turns the console's control signals into a shutdown request that the
// program's main thread waits for: SIGINT (Ctrl+C), SIGQUIT (Ctrl+Break),
// SIGHUP (the terminal went away) and SIGTERM (system shutdown). The
// signals no longer end the process once the hook is installed. Events are
// handled on a library thread, so zu::finalize() is needed before exit.
class ZU_API ConsoleHook {
 public:
  // Installs the handlers (once; later calls restart the event thread if
  // zu::finalize() ended it). The argument has no effect.
  static void install(bool enable);
  // Waits at most `milliseconds` (NO_LIMIT: for ever) for a shutdown
  // event, then tells whether one was ever received. Each event releases
  // one waiter; once the flag is set it stays set.
  static bool waitForShutdown(unsigned int milliseconds);
};

// One key of the registry, named by a path whose first part is the hive
// ("HKEY_LOCAL_MACHINE\Software\Zu"; the hive prefix matches without regard
// to case, and a path without one is taken below "HKEY_CURRENT_USER\").
// Keys and values live in a store of files under $ZU_REGISTRY_ROOT (else
// $XDG_DATA_HOME/zu/registry, else ~/.local/share/zu/registry). Key and
// value names match without regard to letter case, for every letter (simple
// Unicode case folding of the UTF-8 text, the same for any locale: "GRÜßE"
// finds "grüße"), and keep the spelling they were created with. Each change rewrites the key's values atomically
// under a file lock, so other objects, threads and processes see either the
// old or the new values and never lose one. Failures give false or the
// default; nothing is logged. One object is used by one thread at a time.
class ZU_API IRegistryKey : public IBase {
 public:
  // The full path, always with a hive prefix.
  virtual String path() const = 0;
  virtual bool readOnly() const = 0;  // whether the key was opened read-only
  // The name of the index-th subkey (subkeys in a stable order, without
  // regard to case); false past the last one or when the key is not open.
  virtual bool enumKey(unsigned int index, String& name) = 0;
  // The name of the index-th value, in the order the values were created.
  virtual bool enumValue(unsigned int index, String& name) = 0;
  // Removes the subkey at `subkey` (a relative path) with everything below.
  virtual bool removeKey(String const& subkey) = 0;
  // Removes the value `name`; false when there is none or the key is read-only.
  virtual bool removeValue(String const& name) = 0;
  // Text values as stored, numbers in decimal; `defaultValue` when the
  // value is missing or of another type.
  virtual String value(String const& name, String const& defaultValue) = 0;
  // Stores a number (REG_DWORD) or a text (REG_SZ) under `name`, replacing
  // a value of either type. False for a read-only key or one not open.
  virtual bool set(String const& name, unsigned int value) = 0;
  virtual bool set(String const& name, String const& value) = 0;  // the same for a text value

  // Opens the key, creating it (and the keys above it) unless `readOnly`.
  // The object is always made; a key that could not be opened makes every
  // later operation fail.
  static boost::shared_ptr<IRegistryKey> New(String const& path, bool readOnly);
};


// A view of the element at a "/"-separated path below a root element (the
// root itself for the empty path). Every step follows the first child
// element of that name, compared without regard to case. While the path
// does not exist, reads give their defaults and the first set() or
// setText() creates the missing elements; from then on the view stays on
// that element. The view reads and writes the shared tree itself: the
// owner of the document saves the changes. Nothing is locked: a view and
// its tree are used by one thread at a time.
class ZU_API IXMLConfig : public IBase {
 public:
  // The attribute's value, or `defaultValue` when the element or the
  // attribute does not exist.
  virtual String get(String const& name, String const& defaultValue) = 0;
  // Removes the attribute (under any spelling of the name) and appends it
  // with this spelling and value at the end of the attribute list.
  virtual void set(String const& name, String const& value) = 0;
  virtual bool has(String const& name) = 0;  // whether the element has attribute `name`
  // Removes every attribute of that name; nothing without the element.
  virtual void remove(String const& name) = 0;
  // The element's own text (its text children joined); empty without it.
  virtual String text() = 0;
  // Replaces all of the element's children, elements included, by one
  // text node.
  virtual void setText(String const& text) = 0;

  // A null root aborts through the assertion "root".
  static boost::shared_ptr<IXMLConfig> New(boost::shared_ptr<xml::IElement> root, String const& path);
  // One view for each element that root->find(path, true) gives, in that
  // order, each working on that element itself. A null root aborts through
  // the assertion "root".
  static TArray<boost::shared_ptr<IXMLConfig>> Enum(boost::shared_ptr<xml::IElement> root, String const& path);
};

}  // namespace app
}  // namespace zu

#endif
