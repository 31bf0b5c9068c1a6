#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <gsm.h>
}

namespace {

std::string run(std::string const& arguments) {
  std::string output;
  FILE* pipe = popen((std::string(SNDCONV_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  if (!pipe) return "<no process>";
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  int const status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) output += "<exit " + std::to_string(status) + ">";
  return output;
}

std::string shellQuoted(std::string const& path) { return "'" + path + "'"; }

std::string readFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(std::string const& path, std::string const& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
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
    char pattern[] = "/tmp/sndconv-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf " + shellQuoted(dir_)).c_str()); }
  std::string dir_;
};

}  // namespace

TEST_F(Sndconv, AnswersFalseWithoutExactlyOneArgumentOrAnyInput) {
  EXPECT_EQ("FALSE\n", run(""));
  EXPECT_EQ("FALSE\n", run("a b"));
  EXPECT_EQ("FALSE\n", run(shellQuoted(dir_ + "/missing")));
}

TEST_F(Sndconv, DecodesG711IntoAStandardPcmWaveFile) {
  std::string codes;
  for (int c = 0; c < 256; ++c) codes += static_cast<char>(c);
  writeFile(dir_ + "/mu.ul", codes);
  writeFile(dir_ + "/a.al", codes + codes + codes);  // 768 samples: the last block is short
  ASSERT_EQ("TRUE\n", run(shellQuoted(dir_ + "/mu")));
  ASSERT_EQ("TRUE\n", run(shellQuoted(dir_ + "/a")));

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
    for (int i = 0; i < 160; ++i) pcm[i] = static_cast<gsm_signal>(8000 * std::sin((f * 160 + i) * 2 * M_PI * 440 / 8000));
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

  ASSERT_EQ("TRUE\n", run(shellQuoted(dir_ + "/tone")));
  std::string const wav = readFile(dir_ + "/tone.wav");
  ASSERT_EQ(44u + 2 * expected.size(), wav.size());
  for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(expected[i], sample(wav, i)) << i;
}

TEST_F(Sndconv, AnExistingWaveFileCountsAsDoneAndStaysUntouched) {
  writeFile(dir_ + "/done.ul", std::string(10, '\x00'));
  writeFile(dir_ + "/done.wav", "keep");
  EXPECT_EQ("TRUE\n", run(shellQuoted(dir_ + "/done")));
  EXPECT_EQ("keep", readFile(dir_ + "/done.wav"));

  // Names outside ASCII are passed through as they are.
  std::string const base = dir_ + "/spr\xC3\xA4" "che";
  writeFile(base + ".al", std::string(8, '\xd5'));
  EXPECT_EQ("TRUE\n", run(shellQuoted(base)));
  EXPECT_EQ(44u + 16u, readFile(base + ".wav").size());
}
