// The converter against sox decoding the same 60 s recordings, each run as
// a process (the way both are used).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

extern "C" {
#include <gsm.h>
}

namespace {

// 60 s of speech-like input in both encodings, made once.
std::string const& inputDirectory() {
  static std::string const dir = [] {
    char pattern[] = "/tmp/sndconv-bench-XXXXXX";
    std::string d = mkdtemp(pattern) ? pattern : "/tmp";
    gsm encoder = gsm_create();
    std::ofstream gsmFile(d + "/in.gsm", std::ios::binary), ulFile(d + "/in.ul", std::ios::binary);
    for (int f = 0; f < 60 * 50; ++f) {
      gsm_signal pcm[160];
      for (int i = 0; i < 160; ++i) {
        double const t = (f * 160 + i) / 8000.0;
        pcm[i] = static_cast<gsm_signal>(6000 * std::sin(2 * M_PI * 220 * t) * std::sin(2 * M_PI * 3 * t));
        ulFile.put(static_cast<char>(0x7F - (pcm[i] >> 9 & 0x7F)));
      }
      gsm_frame frame;
      gsm_encode(encoder, pcm, frame);
      gsmFile.write(reinterpret_cast<char*>(frame), sizeof frame);
    }
    gsm_destroy(encoder);
    return d;
  }();
  return dir;
}

void runCommand(benchmark::State& state, std::string const& command, std::string const& output) {
  for (auto _ : state) {
    std::remove(output.c_str());
    if (std::system(command.c_str()) != 0) state.SkipWithError(("failed: " + command).c_str());
  }
}

bool haveSox() { return std::system("command -v sox >/dev/null 2>&1") == 0; }

void BM_SndconvGsm60s(benchmark::State& state) {
  std::string const d = inputDirectory();
  // Only the GSM file under this base: the converter takes it first anyway.
  runCommand(state, std::string(SNDCONV_PATH) + " " + d + "/in >/dev/null", d + "/in.wav");
}
BENCHMARK(BM_SndconvGsm60s)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SoxGsm60s(benchmark::State& state) {
  if (!haveSox()) return state.SkipWithError("sox is not installed");
  std::string const d = inputDirectory();
  runCommand(state, "sox -t gsm -r 8000 -c 1 " + d + "/in.gsm -b 16 " + d + "/sox.wav", d + "/sox.wav");
}
BENCHMARK(BM_SoxGsm60s)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SndconvMulaw60s(benchmark::State& state) {
  std::string const d = inputDirectory();
  std::string const base = d + "/mu";
  std::ifstream in(d + "/in.ul", std::ios::binary);
  std::ofstream(base + ".ul", std::ios::binary) << in.rdbuf();
  runCommand(state, std::string(SNDCONV_PATH) + " " + base + " >/dev/null", base + ".wav");
}
BENCHMARK(BM_SndconvMulaw60s)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SoxMulaw60s(benchmark::State& state) {
  if (!haveSox()) return state.SkipWithError("sox is not installed");
  std::string const d = inputDirectory();
  runCommand(state, "sox -t ul -r 8000 -c 1 " + d + "/in.ul -b 16 " + d + "/soxu.wav", d + "/soxu.wav");
}
BENCHMARK(BM_SoxMulaw60s)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
