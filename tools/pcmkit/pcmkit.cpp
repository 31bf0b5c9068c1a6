// pcmkit's decoders and WAV writer: G.711 A-law and mu-law by formula, GSM
// 06.10 through the GSM codec library, all to 16-bit PCM.
#include "pcmkit.h"

#include <boost/make_shared.hpp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#if defined(_WIN32)
#include <windows.h>
#endif

extern "C" {
#include <gsm.h>
}

namespace pcmkit {

namespace codec {

ISpeech::~ISpeech() = default;

char const* ISpeech::QueryName(E_Type type) {
  switch (type) {
    case SPEECH_GSM610: return "gsm";
    case SPEECH_ALAW: return "al";
    case SPEECH_MULAW: return "ul";
  }
  return "";
}

SpeechInfo const& ISpeech::QueryInfo(E_Type type) {
  static SpeechInfo const gsm = {Format(8000, 16, 1), "GSM 06.10"};
  static SpeechInfo const alaw = {Format(8000, 16, 1), "G.711 A-law"};
  static SpeechInfo const mulaw = {Format(8000, 16, 1), "G.711 mu-law"};
  static SpeechInfo const unknown = {Format(0, 0, 0), ""};
  switch (type) {
    case SPEECH_GSM610: return gsm;
    case SPEECH_ALAW: return alaw;
    case SPEECH_MULAW: return mulaw;
  }
  return unknown;
}

}  // namespace codec

namespace io {

#if defined(_WIN32)
namespace {

// UTF-8 to UTF-16; empty when the text is not well-formed UTF-8.
std::wstring wide(char const* text) {
  int const n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &out[0], n);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

}  // namespace

std::FILE* openFile(char const* path, char const* mode) {
  std::wstring const name = wide(path);
  std::wstring const how = wide(mode);
  return name.empty() || how.empty() ? nullptr : _wfopen(name.c_str(), how.c_str());
}

bool exists(char const* path) {
  std::wstring const name = wide(path);
  struct _stat64 info;
  return !name.empty() && _wstat64(name.c_str(), &info) == 0;
}
#else
std::FILE* openFile(char const* path, char const* mode) { return std::fopen(path, mode); }

bool exists(char const* path) {
  struct stat info;
  return stat(path, &info) == 0;
}
#endif

ISource::~ISource() = default;
IFileSource::~IFileSource() = default;
IRender::~IRender() = default;
IWaveFileRender::~IWaveFileRender() = default;

namespace {

// G.711 expansion: sign bit, three segment bits, four step bits.
std::int16_t alawSample(unsigned char a) {
  a ^= 0x55;
  int value = (a & 0x0F) << 4;
  int const segment = (a & 0x70) >> 4;
  if (segment == 0)
    value += 8;
  else
    value = (value + 0x108) << (segment - 1);
  return static_cast<std::int16_t>((a & 0x80) ? value : -value);
}

std::int16_t mulawSample(unsigned char u) {
  u = static_cast<unsigned char>(~u);
  int value = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
  return static_cast<std::int16_t>((u & 0x80) ? 0x84 - value : value - 0x84);
}

bool endsWith(std::string const& text, char const* suffix) {
  std::size_t const n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

void putLittle16(unsigned char* p, unsigned int v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void putLittle32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

class FileSource : public IFileSource, public ISource {
 public:
  ~FileSource() override { close(); }

  bool open(char const* path, Format const& format) override {
    close();
    std::string const name(path ? path : "");
    if (endsWith(name, ".gsm"))
      kind_ = GSM;
    else if (endsWith(name, ".al"))
      kind_ = ALAW;
    else if (endsWith(name, ".ul"))
      kind_ = MULAW;
    else
      return false;
    // Every decoder here yields 8000 Hz, 16-bit mono.
    if (format.sampleRate != 8000 || format.bitsPerSample != 16 || format.channels != 1) return false;
    file_ = openFile(path, "rb");
    if (!file_) return false;
    if (kind_ == GSM && !(gsm_ = gsm_create())) {
      close();
      return false;
    }
    return true;
  }

  void close() override {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (gsm_) gsm_destroy(gsm_);
    gsm_ = nullptr;
    pending_.clear();
    offset_ = 0;
  }

  bool read(Block& block) override {
    std::uint32_t const room = block.length;
    block.length = 0;
    if (!file_ || !block.data) return false;
    while (block.length < room) {
      if (offset_ == pending_.size() && !decodeMore()) break;
      std::size_t const n = std::min<std::size_t>(room - block.length, pending_.size() - offset_);
      std::memcpy(block.data + block.length, pending_.data() + offset_, n);
      block.length += static_cast<std::uint32_t>(n);
      offset_ += n;
    }
    return block.length > 0;
  }

 private:
  enum Kind { GSM, ALAW, MULAW };

  // Decodes the next piece of the file into little-endian 16-bit samples.
  bool decodeMore() {
    pending_.clear();
    offset_ = 0;
    std::vector<std::int16_t> samples;
    if (kind_ == GSM) {
      gsm_byte frame[33];
      if (std::fread(frame, 1, sizeof frame, file_) != sizeof frame) return false;  // a cut frame ends it
      gsm_signal decoded[160];
      if (gsm_decode(gsm_, frame, decoded) < 0) return false;
      samples.assign(decoded, decoded + 160);
    } else {
      unsigned char codes[512];
      std::size_t const n = std::fread(codes, 1, sizeof codes, file_);
      if (n == 0) return false;
      for (std::size_t i = 0; i < n; ++i) samples.push_back(kind_ == ALAW ? alawSample(codes[i]) : mulawSample(codes[i]));
    }
    pending_.resize(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
      putLittle16(&pending_[2 * i], static_cast<std::uint16_t>(samples[i]));
    return true;
  }

  Kind kind_ = GSM;
  std::FILE* file_ = nullptr;
  gsm gsm_ = nullptr;
  std::vector<unsigned char> pending_;
  std::size_t offset_ = 0;
};

// Writes a 44-byte RIFF header at open and fills in its two sizes on close.
class WaveFileRender : public IWaveFileRender, public IRender {
 public:
  ~WaveFileRender() override { close(); }

  bool open(char const* path, Format const& format, WAVEFORMATEX const& wave) override {
    close();
    if (!path || wave.wFormatTag != 1 || wave.nChannels == 0 || wave.wBitsPerSample == 0) return false;
    (void)format;  // the record states the same format in the file's terms
    file_ = openFile(path, "wb");
    if (!file_) return false;
    unsigned char header[44];
    std::memcpy(header, "RIFF", 4);
    putLittle32(header + 4, 36);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    putLittle32(header + 16, 16);  // a plain PCM format chunk
    putLittle16(header + 20, wave.wFormatTag);
    putLittle16(header + 22, wave.nChannels);
    putLittle32(header + 24, wave.nSamplesPerSec);
    putLittle32(header + 28, wave.nAvgBytesPerSec);
    putLittle16(header + 32, wave.nBlockAlign);
    putLittle16(header + 34, wave.wBitsPerSample);
    std::memcpy(header + 36, "data", 4);
    putLittle32(header + 40, 0);
    if (std::fwrite(header, 1, sizeof header, file_) != sizeof header) {
      std::fclose(file_);
      file_ = nullptr;
      return false;
    }
    data_ = 0;
    return true;
  }

  void close() override {
    if (!file_) return;
    unsigned char size[4];
    putLittle32(size, 36 + data_);
    if (std::fseek(file_, 4, SEEK_SET) == 0) std::fwrite(size, 1, 4, file_);
    putLittle32(size, data_);
    if (std::fseek(file_, 40, SEEK_SET) == 0) std::fwrite(size, 1, 4, file_);
    std::fclose(file_);
    file_ = nullptr;
  }

  bool write(Block const& block) override {
    if (!file_ || (block.length && !block.data)) return false;
    if (std::fwrite(block.data, 1, block.length, file_) != block.length) return false;
    data_ += block.length;
    return true;
  }

 private:
  std::FILE* file_ = nullptr;
  std::uint32_t data_ = 0;
};

}  // namespace

boost::shared_ptr<IFileSource> IFileSource::New() { return boost::make_shared<FileSource>(); }

boost::shared_ptr<IWaveFileRender> IWaveFileRender::New() { return boost::make_shared<WaveFileRender>(); }

}  // namespace io
}  // namespace pcmkit
