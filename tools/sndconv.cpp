// sndconv <base-path>: converts <base-path>.gsm, .al or .ul (the first that
// exists, in that order) to <base-path>.wav and prints TRUE or FALSE.
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "pcmkit/pcmkit.h"

namespace {

using pcmkit::codec::ISpeech;

bool exists(std::string const& path) { return pcmkit::io::exists(path.c_str()); }

bool convert(std::string const& base) {
  ISpeech::E_Type const types[] = {ISpeech::SPEECH_GSM610, ISpeech::SPEECH_ALAW, ISpeech::SPEECH_MULAW};
  std::string input;
  pcmkit::Format format(0, 0, 0);
  for (ISpeech::E_Type type : types) {
    std::string const candidate = base + "." + ISpeech::QueryName(type);
    if (exists(candidate)) {
      input = candidate;
      pcmkit::Format const& known = ISpeech::QueryInfo(type).format;
      format.sampleRate = known.sampleRate;
      format.bitsPerSample = known.bitsPerSample;
      format.channels = known.channels;
      break;
    }
  }
  if (input.empty()) return false;
  std::string const output = base + ".wav";
  if (exists(output)) return true;  // converted before

  boost::shared_ptr<pcmkit::io::IFileSource> source = pcmkit::io::IFileSource::New();
  if (!source->open(input.c_str(), format)) return false;
  pcmkit::io::ISource* reader = dynamic_cast<pcmkit::io::ISource*>(source.get());
  boost::shared_ptr<pcmkit::io::IWaveFileRender> render = pcmkit::io::IWaveFileRender::New();
  pcmkit::WAVEFORMATEX wave;
  wave.wFormatTag = 1;
  wave.nChannels = static_cast<std::uint16_t>(format.channels);
  wave.nSamplesPerSec = format.sampleRate;
  wave.nBlockAlign = static_cast<std::uint16_t>(format.bitsPerSample * format.channels / 8);
  wave.nAvgBytesPerSec = wave.nBlockAlign * format.sampleRate;
  wave.wBitsPerSample = static_cast<std::uint16_t>(format.bitsPerSample);
  wave.cbSize = 18;
  if (!reader || !render->open(output.c_str(), format, wave)) return false;
  pcmkit::io::IRender* writer = dynamic_cast<pcmkit::io::IRender*>(render.get());
  if (!writer) return false;

  // Each block read is written as long as it came: the last one of a stream
  // is usually short, and only its decoded bytes belong in the file.
  unsigned char buffer[512];
  for (;;) {
    pcmkit::Block block = {buffer, sizeof buffer};
    if (!reader->read(block)) break;
    if (!writer->write(block)) break;
  }
  return true;  // releasing the renderer completes the file
}

}  // namespace

#if defined(_WIN32)
// The argument as the system gives it (UTF-16), in UTF-8: the narrow
// arguments of a Windows program lose what the code page cannot hold.
int main() {
  int argc = 0;
  wchar_t** const argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::string base;
  if (argv && argc == 2) {
    int const n = WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, nullptr, 0, nullptr, nullptr);
    if (n > 0) {
      base.resize(static_cast<std::size_t>(n));
      WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, &base[0], n, nullptr, nullptr);
      base.resize(static_cast<std::size_t>(n - 1));
    }
  }
  if (argv) LocalFree(argv);
  bool const ok = argc == 2 && !base.empty() && convert(base);
  std::puts(ok ? "TRUE" : "FALSE");
  return 0;
}
#else
int main(int argc, char** argv) {
  bool const ok = argc == 2 && convert(argv[1]);
  std::puts(ok ? "TRUE" : "FALSE");
  return 0;
}
#endif
