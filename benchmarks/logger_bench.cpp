// Lines per second into a log file: zu's logger (time stamp and thread id,
// one write per line, or buffered with its option) against spdlog's basic file sink writing the same
// text, buffered as it is by default and flushed per line, on one thread and
// on four; and the cost of a suppressed line.
#include <zu/logger.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "../impl/diag/logging.h"

#ifdef ZU_HAVE_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace logger = zu::util::logger;

namespace {

std::string directory;
char const* const message = "request served from cache, 1432 bytes in 0.21 ms";

void BM_ZuFileLine(benchmark::State& state) {
  for (auto _ : state) logger::output("[DBG1]", __FILE__, __LINE__, message);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ZuFileLine)->Threads(1)->Threads(4)->UseRealTime();

// The library's own pattern: the message built in a stream only when the
// level passes.
void BM_ZuFileLineFormatted(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) ZU_LOG(3, "[DBG1]", "request " << ++n << " served from cache, " << 1432 << " bytes");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ZuFileLineFormatted)->Threads(1)->Threads(4)->UseRealTime();

// With the buffered option: lines collect in memory and are written in
// blocks, the counterpart of spdlog's default (buffered) sink.
void BM_ZuBufferedFileLine(benchmark::State& state) {
  if (state.thread_index() == 0) logger::setOptions(logger::LOG_OPTION_BUFFERED, 0);
  for (auto _ : state) logger::output("[DBG1]", __FILE__, __LINE__, message);
  if (state.thread_index() == 0) logger::setOptions(0, logger::LOG_OPTION_BUFFERED);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ZuBufferedFileLine)->Threads(1)->Threads(4)->UseRealTime();

void BM_ZuSuppressedCanLog(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(logger::canLog(5));
}
BENCHMARK(BM_ZuSuppressedCanLog);

void BM_ZuSuppressedLine(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) {
    ZU_LOG(5, "[DBG3]", "never built " << ++n);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ZuSuppressedLine);

#ifdef ZU_HAVE_SPDLOG
std::shared_ptr<spdlog::logger> peer;
// Flushed after every line: like zu, each line is in the file (and survives
// a crash of the process) when the call returns.
std::shared_ptr<spdlog::logger> peerFlushed;

void BM_SpdlogFileLine(benchmark::State& state) {
  for (auto _ : state) peer->info(message);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogFileLine)->Threads(1)->Threads(4)->UseRealTime();

void BM_SpdlogFlushedFileLine(benchmark::State& state) {
  for (auto _ : state) peerFlushed->info(message);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogFlushedFileLine)->Threads(1)->Threads(4)->UseRealTime();

void BM_SpdlogFileLineFormatted(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) peer->info("request {} served from cache, {} bytes", ++n, 1432);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogFileLineFormatted)->Threads(1)->Threads(4)->UseRealTime();

void BM_SpdlogSuppressedLine(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) {
    peer->debug("never built {}", ++n);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SpdlogSuppressedLine);
#endif

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/zu_logbench_XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  directory = pattern;

  logger::setLevel(3);
  logger::setOptions(logger::LOG_OPTION_TIME | logger::LOG_OPTION_THREAD,
                     logger::LOG_OPTION_SOURCE | logger::LOG_OPTION_DAILY_FILE | logger::LOG_OPTION_APPEND);
  logger::setFilePath((directory + "/zu.log").c_str());
#ifdef ZU_HAVE_SPDLOG
  // The same line: local time to the millisecond, tag, thread id, message.
  peer = spdlog::basic_logger_mt("bench", directory + "/spdlog.log", true);
  peer->set_pattern("%Y/%m/%d %H:%M:%S.%e [DBG1] tid:0x%t %v");
  peer->set_level(spdlog::level::info);
  peerFlushed = spdlog::basic_logger_mt("bench-flushed", directory + "/spdlog-flushed.log", true);
  peerFlushed->set_pattern("%Y/%m/%d %H:%M:%S.%e [DBG1] tid:0x%t %v");
  peerFlushed->flush_on(spdlog::level::trace);
#endif

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  logger::setFilePath("");
#ifdef ZU_HAVE_SPDLOG
  peer.reset();
  peerFlushed.reset();
  spdlog::drop_all();
#endif
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  return 0;
}
