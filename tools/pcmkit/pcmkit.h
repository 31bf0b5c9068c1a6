// pcmkit: decoding of 8000 Hz speech recordings (GSM 06.10, G.711 A-law and
// mu-law) to 16-bit PCM, and PCM WAV file output.
#ifndef PCMKIT_H
#define PCMKIT_H

#include <cstdio>

#include <boost/shared_ptr.hpp>
#include <cstdint>

namespace pcmkit {

// A PCM stream format.
struct Format {
  Format(unsigned int sampleRate, unsigned int bitsPerSample, unsigned int channels)
      : sampleRate(sampleRate), bitsPerSample(bitsPerSample), channels(channels) {}
  unsigned int sampleRate;     // Hz
  unsigned int bitsPerSample;
  unsigned int channels;
};

// Bytes handed in or out: `length` is the room on a read (and the count read
// afterwards), the count to write on a write.
struct Block {
  unsigned char* data;
  std::uint32_t length;
};

// The wave format record of a WAV file's format chunk.
struct WAVEFORMATEX {
  std::uint16_t wFormatTag;
  std::uint16_t nChannels;
  std::uint32_t nSamplesPerSec;
  std::uint32_t nAvgBytesPerSec;
  std::uint16_t nBlockAlign;
  std::uint16_t wBitsPerSample;
  std::uint16_t cbSize;
};

namespace codec {

struct SpeechInfo {
  Format format;             // of the decoded stream
  char const* description;
};

class ISpeech {
 public:
  enum E_Type {
    SPEECH_GSM610 = 81,  // ".gsm": 33-byte frames of 160 samples
    SPEECH_ALAW = 80,    // ".al": one byte per sample
    SPEECH_MULAW = 20    // ".ul": one byte per sample
  };
  virtual ~ISpeech();
  // The file extension of the type, without the dot; "" for an unknown type.
  static char const* QueryName(E_Type type);
  // The decoded stream's format; 8000 Hz, 16 bits, mono for every known
  // type (an unknown type reads as all zero).
  static SpeechInfo const& QueryInfo(E_Type type);
};

}  // namespace codec

namespace io {

// Opens the file named in UTF-8 (std::fopen's modes); on Windows through
// the wide name, so that any name the system takes can be given.
std::FILE* openFile(char const* path, char const* mode);
// Whether something exists under the name given in UTF-8.
bool exists(char const* path);

// A decoded PCM stream.
class ISource {
 public:
  virtual ~ISource();
  virtual void close() = 0;
  // Fills up to block.length bytes and sets block.length to the count; false
  // (count 0) at the end of the stream or on a read or decoding error.
  virtual bool read(Block& block) = 0;
};

// A speech file decoded as it is read; the type follows the file's extension.
class IFileSource {
 public:
  virtual ~IFileSource();
  virtual bool open(char const* path, Format const& format) = 0;
  // The object also implements ISource.
  static boost::shared_ptr<IFileSource> New();
};

// A PCM sink.
class IRender {
 public:
  virtual ~IRender();
  virtual void close() = 0;
  // Writes block.length bytes; false on a write error.
  virtual bool write(Block const& block) = 0;
};

// A PCM WAV file, complete once closed or released.
class IWaveFileRender {
 public:
  virtual ~IWaveFileRender();
  virtual void close() = 0;
  virtual bool open(char const* path, Format const& format, WAVEFORMATEX const& wave) = 0;
  // The object also implements IRender.
  static boost::shared_ptr<IWaveFileRender> New();
};

}  // namespace io
}  // namespace pcmkit

#endif
