#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <zu/bytearray.h>
#include <zu/cypher.h>

extern "C" {
#include <gsm.h>
}

namespace {

namespace fsys = std::filesystem;

// Paths are UTF-8 text throughout; the file system takes them as such on
// every platform.
fsys::path pathOf(std::string const& utf8) { return fsys::u8path(utf8); }

#if defined(_WIN32)
std::string const program = [] {
  std::string path = SNDCONV_PATH;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}();

// cmd.exe takes the command line between one more pair of quotes.
std::string quoted(std::string const& path) { return "\"" + path + "\""; }

FILE* openPipe(std::string const& command) {
  std::string const line = "\"" + command + "\"";
  int const n = MultiByteToWideChar(CP_UTF8, 0, line.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, line.c_str(), -1, &wide[0], n);
  return _wpopen(wide.c_str(), L"r");
}

int exitCode(int status) { return status; }
#else
std::string const program = SNDCONV_PATH;

std::string quoted(std::string const& path) { return "'" + path + "'"; }

FILE* openPipe(std::string const& command) { return popen(command.c_str(), "r"); }

int exitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + status; }
#endif

// The converter's output (both streams) with "<exit N>" added when it
// does not end with 0.
std::string run(std::string const& arguments) {
  std::string output;
  FILE* pipe = openPipe(quoted(program) + " " + arguments + " 2>&1");
  if (!pipe) return "<no process>";
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
#if defined(_WIN32)
  int const code = exitCode(_pclose(pipe));
#else
  int const code = exitCode(pclose(pipe));
#endif
  if (code != 0) output += "<exit " + std::to_string(code) + ">";
  return output;
}

std::string readFile(std::string const& path) {
  std::ifstream in(pathOf(path), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(std::string const& path, std::string const& bytes) {
  std::ofstream(pathOf(path), std::ios::binary) << bytes;
}

double const pi = 3.14159265358979323846;

std::string md5(std::string const& bytes) {
  return zu::cypher::IMD5::digest(bytes.data(), static_cast<unsigned int>(bytes.size())).toHex().cstr();
}

std::uint32_t little(std::string const& bytes, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

std::int16_t sample(std::string const& wav, std::size_t index) {
  return static_cast<std::int16_t>(little(wav, 44 + 2 * index, 2));
}

class Sndconv : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<unsigned> made{0};
    fsys::path const dir = fsys::temp_directory_path() /
        ("sndconv-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
         std::to_string(made++));
    ASSERT_TRUE(fsys::create_directory(dir)) << dir;
    dir_ = dir.u8string();
  }
  void TearDown() override {
    std::error_code ignored;
    fsys::remove_all(pathOf(dir_), ignored);
  }
  std::string dir_;
};

}  // namespace

TEST_F(Sndconv, AnswersFalseWithoutExactlyOneArgumentOrAnyInput) {
  EXPECT_EQ("FALSE\n", run(""));
  EXPECT_EQ("FALSE\n", run("a b"));
  EXPECT_EQ("FALSE\n", run(quoted(dir_ + "/missing")));
}

TEST_F(Sndconv, DecodesG711IntoAStandardPcmWaveFile) {
  std::string codes;
  for (int c = 0; c < 256; ++c) codes += static_cast<char>(c);
  writeFile(dir_ + "/mu.ul", codes);
  writeFile(dir_ + "/a.al", codes + codes + codes);  // 768 samples: the last block is short
  ASSERT_EQ("TRUE\n", run(quoted(dir_ + "/mu")));
  ASSERT_EQ("TRUE\n", run(quoted(dir_ + "/a")));

  std::string const mu = readFile(dir_ + "/mu.wav");
  ASSERT_EQ(44u + 512u, mu.size());
  EXPECT_EQ("RIFF", mu.substr(0, 4));
  EXPECT_EQ(36u + 512u, little(mu, 4, 4));
  EXPECT_EQ("WAVEfmt ", mu.substr(8, 8));
  EXPECT_EQ(1u, little(mu, 20, 2));       // PCM
  EXPECT_EQ(1u, little(mu, 22, 2));       // mono
  EXPECT_EQ(8000u, little(mu, 24, 4));
  EXPECT_EQ(16000u, little(mu, 28, 4));   // bytes per second
  EXPECT_EQ(2u, little(mu, 32, 2));       // block align
  EXPECT_EQ(16u, little(mu, 34, 2));
  EXPECT_EQ("data", mu.substr(36, 4));
  EXPECT_EQ(512u, little(mu, 40, 4));
  EXPECT_EQ(-32124, sample(mu, 0x00));
  EXPECT_EQ(32124, sample(mu, 0x80));
  EXPECT_EQ(0, sample(mu, 0xFF));
  EXPECT_EQ(-8, sample(mu, 0x7E));

  std::string const a = readFile(dir_ + "/a.wav");
  ASSERT_EQ(44u + 1536u, a.size());
  EXPECT_EQ(8, sample(a, 0xD5));
  EXPECT_EQ(-8, sample(a, 0x55));
  EXPECT_EQ(32256, sample(a, 0xAA));
  EXPECT_EQ(-32256, sample(a, 0x2A));
  EXPECT_EQ(sample(a, 0x13), sample(a, 256 + 0x13));
}

TEST_F(Sndconv, GsmComesFirstAndDecodesAsTheCodecLibraryDoes) {
  // One second of a 440 Hz tone, encoded frame by frame.
  gsm encoder = gsm_create();
  gsm decoder = gsm_create();
  std::string frames;
  std::vector<gsm_signal> expected;
  for (int f = 0; f < 50; ++f) {
    gsm_signal pcm[160];
    for (int i = 0; i < 160; ++i) pcm[i] = static_cast<gsm_signal>(8000 * std::sin((f * 160 + i) * 2 * pi * 440 / 8000));
    gsm_frame frame;
    gsm_encode(encoder, pcm, frame);
    frames.append(reinterpret_cast<char*>(frame), sizeof frame);
    gsm_signal decoded[160];
    ASSERT_EQ(0, gsm_decode(decoder, frame, decoded));
    expected.insert(expected.end(), decoded, decoded + 160);
  }
  gsm_destroy(encoder);
  gsm_destroy(decoder);
  writeFile(dir_ + "/tone.gsm", frames + "cut frame");  // a partial frame at the end is ignored
  writeFile(dir_ + "/tone.ul", std::string(100, '\x7f'));

  ASSERT_EQ("TRUE\n", run(quoted(dir_ + "/tone")));
  std::string const wav = readFile(dir_ + "/tone.wav");
  ASSERT_EQ(44u + 2 * expected.size(), wav.size());
  for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(expected[i], sample(wav, i)) << i;
}

TEST_F(Sndconv, AnExistingWaveFileCountsAsDoneAndStaysUntouched) {
  writeFile(dir_ + "/done.ul", std::string(10, '\x00'));
  writeFile(dir_ + "/done.wav", "keep");
  EXPECT_EQ("TRUE\n", run(quoted(dir_ + "/done")));
  EXPECT_EQ("keep", readFile(dir_ + "/done.wav"));

  // Names outside ASCII are passed through as they are, beyond any one
  // code page too.
  std::string const base = dir_ + "/spr\xC3\xA4" "che-\xE8\xAA\x9E";
  writeFile(base + ".al", std::string(8, '\xd5'));
  EXPECT_EQ("TRUE\n", run(quoted(base)));
  EXPECT_EQ(44u + 16u, readFile(base + ".wav").size());
}

// Every build of the converter writes the same bytes for the same input:
// these digests hold for the Linux and the Windows build alike. The input
// is made without floating point: every code of both G.711 laws, and GSM
// frames of pseudo-random parameters.
TEST_F(Sndconv, WritesTheSameBytesOnEveryBuild) {
  std::string codes;
  for (int c = 0; c < 256; ++c) codes += static_cast<char>(c);
  std::string frames;
  std::uint32_t state = 12345;
  for (int f = 0; f < 40; ++f) {
    frames += static_cast<char>(0xD0 | (f & 0x0F));  // the frame's signature nibble
    for (int i = 1; i < 33; ++i) {
      state = state * 1103515245u + 12345u;
      frames += static_cast<char>(state >> 24);
    }
  }
  writeFile(dir_ + "/mu.ul", codes);
  writeFile(dir_ + "/a.al", codes + codes);
  writeFile(dir_ + "/noise.gsm", frames);
  for (char const* name : {"mu", "a", "noise"}) ASSERT_EQ("TRUE\n", run(quoted(dir_ + "/" + name))) << name;
  EXPECT_EQ("8796effc7f6b99568b0fe6cc49ceff29", md5(readFile(dir_ + "/mu.wav")));
  EXPECT_EQ("1fa5712f899e11dcc609e54455de5b82", md5(readFile(dir_ + "/a.wav")));
  EXPECT_EQ("dfff6aa2929b3371f6b2e5cfdd4f650f", md5(readFile(dir_ + "/noise.wav")));
}
