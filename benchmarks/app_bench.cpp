// Command-line parsing against Boost.Program_options, and a registry value
// written and read back against a bare durable file rewrite, in one binary.
#include <zu/app.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef ZU_HAVE_BOOST_PROGRAM_OPTIONS
#include <boost/program_options.hpp>
#endif

namespace {

// 51 tokens: a switch, then ten groups of an attached value, a word, a long
// option with a quoted value of two words, and another word.
std::string commandLine() {
  std::string line = "-v";
  for (int i = 0; i < 10; ++i) {
    std::string const n = std::to_string(i);
    line += " -oout" + n + ".txt word" + n + " --output 'long name " + n + "' plain" + n;
  }
  return line;
}

void BM_ZuArguments(benchmark::State& state) {
  zu::String const line(commandLine().c_str());
  for (auto _ : state) {
    boost::shared_ptr<zu::app::IArguments> args = zu::app::IArguments::New(line, "v-verbose;o-output:");
    benchmark::DoNotOptimize(args->value("output", "").length());
    benchmark::DoNotOptimize(args->arguments().size());
  }
  state.SetItemsProcessed(state.iterations() * 51);
}
BENCHMARK(BM_ZuArguments);

#ifdef ZU_HAVE_BOOST_PROGRAM_OPTIONS
void BM_BoostProgramOptions(benchmark::State& state) {
  namespace po = boost::program_options;
  std::string const line = commandLine();
  po::options_description options;
  options.add_options()("verbose,v", po::bool_switch())("output,o", po::value<std::vector<std::string>>())(
      "args", po::value<std::vector<std::string>>());
  po::positional_options_description positional;
  positional.add("args", -1);
  for (auto _ : state) {
    std::vector<std::string> const tokens = po::split_unix(line);
    po::variables_map map;
    po::store(po::command_line_parser(tokens).options(options).positional(positional).run(), map);
    benchmark::DoNotOptimize(map["output"].as<std::vector<std::string>>().size());
    benchmark::DoNotOptimize(map["args"].as<std::vector<std::string>>().size());
  }
  state.SetItemsProcessed(state.iterations() * 51);
}
BENCHMARK(BM_BoostProgramOptions);
#endif

// A registry store in a directory of its own for the run.
class Store {
 public:
  Store() {
    char pattern[] = "/tmp/zu-app-bench-XXXXXX";
    if (::mkdtemp(pattern)) directory_ = pattern;
    ::setenv("ZU_REGISTRY_ROOT", (directory_ + "/registry").c_str(), 1);
  }
  ~Store() {
    std::string const command = "rm -rf '" + directory_ + "'";
    if (std::system(command.c_str()) != 0) std::perror("rm");
  }
  std::string const& directory() const { return directory_; }

 private:
  std::string directory_;
};

void BM_ZuRegistrySetAndValue(benchmark::State& state) {
  Store store;
  boost::shared_ptr<zu::app::IRegistryKey> key = zu::app::IRegistryKey::New("Software\\Bench", false);
  for (int i = 0; i < 9; ++i) key->set(zu::String("other") + zu::String(i), zu::String("some value"));
  zu::String const text("a value of moderate length");
  for (auto _ : state) {
    if (!key->set("name", text)) state.SkipWithError("set failed");
    benchmark::DoNotOptimize(key->value("name", "").length());
  }
}
BENCHMARK(BM_ZuRegistrySetAndValue);

// The least a durable settings write costs: the same ten name=value lines
// written to a temporary file, flushed, renamed into place and read back.
void BM_FileRewriteAndRead(benchmark::State& state) {
  Store store;
  std::string const file = store.directory() + "/settings";
  std::string const temporary = file + ".tmp";
  std::string content;
  for (int i = 0; i < 9; ++i) content += "other" + std::to_string(i) + "=some value\n";
  content += "name=a value of moderate length\n";
  for (auto _ : state) {
    int const fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        ::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temporary.c_str(), file.c_str()) != 0)
      state.SkipWithError("write failed");
    std::ifstream in(file);
    std::string const back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    benchmark::DoNotOptimize(back.find("name="));
  }
}
BENCHMARK(BM_FileRewriteAndRead);

}  // namespace

BENCHMARK_MAIN();
