// Command lines read against an option list. Input: "optionList\ncommandLine".
#include <zu/app.h>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string rest(reinterpret_cast<char const*>(data), size), options, line;
  fuzz::take(rest, options);
  line = rest;
  boost::shared_ptr<zu::app::IArguments> const arguments =
      zu::app::IArguments::New(line.c_str(), options.c_str());
  FUZZ_CHECK(arguments);
  zu::TArray<zu::String> const positional = arguments->arguments();
  for (unsigned int i = 0; i < positional.size(); ++i) (void)positional[i].length();
  // Ask for every letter and for each long name the list spells.
  for (char c = 32; c < 127; ++c)
    if (arguments->has(c)) {
      FUZZ_CHECK(arguments->count(c) > 0);
      (void)arguments->value(c, "");
    }
  std::string name;
  for (char c : options) {
    if (c == '.' || c == ':' || c == ';' || c == '-') {
      if (!name.empty() && arguments->has(name.c_str())) FUZZ_CHECK(arguments->count(name.c_str()) > 0);
      name.clear();
    } else {
      name += c;
    }
  }
  return 0;
}
