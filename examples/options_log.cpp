// Reads its options, then writes a daily log (a new file each day, appended
// to when it exists; lines with the time and the caller's file and line).
//
//   example_options_log [-v] [-l DIR | --log-dir=DIR] [-n COUNT] [-h] [words...]
#include <cstdlib>
#include <iostream>

#include <zu/app.h>
#include <zu/logger.h>
#include <zu/sys.h>

int main(int argc, char** argv) {
  char const* const options = "v-verbose;l-log-dir:n-count:h-help;";
  auto args = zu::app::IArguments::New(argc, argv, options);
  if (args->has('h') || !args->unknown().empty()) {
    for (auto const& option : args->unknown()) std::cerr << "unknown option " << option << "\n";
    std::cerr << "usage: " << argv[0] << " [options] [words...]\n"
              << zu::app::IArguments::help(options, {"log every word, not just the count",
                                                     "folder of the daily log file (default: .)",
                                                     "lines to write (default: 1)", "this text"});
    return args->has('h') ? 0 : 2;
  }

  namespace logger = zu::util::logger;
  logger::setOptions(logger::LOG_OPTION_TIME | logger::LOG_OPTION_SOURCE | logger::LOG_OPTION_DAILY_FILE, 0);
  logger::setLevel(args->has('v') ? 3 : 2);
  logger::setFilePath(args->value('l', ".") + "/options_log.log");

  auto words = args->arguments();  // the program itself comes first
  int const count = std::atoi(args->value('n', "1").cstr());
  for (int i = 0; i < count; ++i)
    ZU_LOG(2, "[INFO]", "run " << i + 1 << " of " << count << ": " << words.size() - 1 << " words");
  for (unsigned int i = 1; i < words.size(); ++i) ZU_LOG_DBG1("word " << i << ": " << words[i]);

  zu::finalize();  // the logger's file is flushed and closed
  return 0;
}
