// The body of main() for benchmark programs whose benchmarks leave library
// threads behind (reactors, timers, engine threads).
#ifndef ZU_BENCHMARKS_SUPPORT_MAIN_H
#define ZU_BENCHMARKS_SUPPORT_MAIN_H

#include <zu/sys.h>

#include <benchmark/benchmark.h>

namespace zu_bench {

// Runs the benchmarks the command line selects, then `beforeFinalize` (what
// must end before the library shuts down), then zu::finalize().
template <class BeforeFinalize>
int runThenFinalize(int argc, char** argv, BeforeFinalize beforeFinalize) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  beforeFinalize();
  zu::finalize();
  return 0;
}

inline int runThenFinalize(int argc, char** argv) {
  return runThenFinalize(argc, argv, [] {});
}

}  // namespace zu_bench

#endif
