#include <zu/cypher.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using zu::ByteArray;
using zu::String;
using zu::cypher::IBase64;
using zu::cypher::IMD5;
using zu::cypher::IRSA;
using zu::cypher::ITEAx;
using zu::cypher::TEA;
using zu::cypher::NRCoder;

namespace {

ByteArray bytes(std::string const& s) { return ByteArray(s.data(), static_cast<unsigned int>(s.size())); }

std::string str(ByteArray const& b) { return std::string(reinterpret_cast<char const*>(b.ptr()), b.size()); }

// Deterministic bytes covering every value.
std::string sample(unsigned int n) {
  std::string s(n, '\0');
  for (unsigned int i = 0; i < n; ++i) s[i] = static_cast<char>((i * 167u + 13u) ^ (i >> 3));
  return s;
}

std::string hexMD5(std::string const& s) { return IMD5::digest(bytes(s)).toHex().cstr(); }

}  // namespace

TEST(MD5, Rfc1321Suite) {
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", hexMD5(""));
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", hexMD5("a"));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", hexMD5("abc"));
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", hexMD5("message digest"));
  EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", hexMD5("abcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
            hexMD5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
            hexMD5("12345678901234567890123456789012345678901234567890123456789012345678901234567890"));
  EXPECT_EQ(String("d41d8cd98f00b204e9800998ecf8427e"), IMD5::digest(nullptr, 0).toHex());
}

// Lengths around the padding boundary: 55 bytes leave room for the length in
// the last block, 56 to 63 need one more block, 64 and 120 end exactly where
// padding must add a block of its own or fill one.
TEST(MD5, DigestsAtThePaddingBoundaries) {
  EXPECT_EQ("ef1772b6dff9a122358552954ad0df65", hexMD5(std::string(55, 'a')));
  EXPECT_EQ("3b0c8ac703f828b04c6c197006d17218", hexMD5(std::string(56, 'a')));
  EXPECT_EQ("652b906d60af96844ebd21b674f35e93", hexMD5(std::string(57, 'a')));
  EXPECT_EQ("b06521f39153d618550606be297466d5", hexMD5(std::string(63, 'a')));
  EXPECT_EQ("014842d480b571495a4a0363793f7367", hexMD5(std::string(64, 'a')));
  EXPECT_EQ("5f61c0ccad4cac44c75ff505e1f1e537", hexMD5(std::string(120, 'a')));
}

TEST(MD5, PiecesGiveTheOneCallDigestAtEverySplit) {
  // Lengths around the padding limits: 55 and 56 bytes fit or do not fit
  // the length in the last block; 64 and 128 are whole blocks.
  for (unsigned int n : {55u, 56u, 64u, 128u, 200u}) {
    std::string const s = sample(n);
    ByteArray const whole = IMD5::digest(s.data(), n);
    boost::shared_ptr<IMD5> md5 = IMD5::New();
    for (unsigned int k = 0; k <= n; ++k) {
      md5->update(s.data(), k, false);
      md5->update(s.data() + k, n - k, true);
      ASSERT_EQ(whole, md5->result()) << n << " split at " << k;
    }
    for (unsigned int k = 0; k < n; ++k) md5->update(s.data() + k, 1, false);
    md5->update(nullptr, 0, true);
    EXPECT_EQ(whole, md5->result()) << n << " byte by byte";
  }
  std::string const s = sample(128);
  boost::shared_ptr<IMD5> md5 = IMD5::New();
  md5->update(bytes(s.substr(0, 1)), false);
  md5->update(bytes(s.substr(1, 63)), false);
  md5->update(bytes(s.substr(64)), true);
  EXPECT_EQ(IMD5::digest(bytes(s)), md5->result());
}

TEST(MD5, ResultLastsUntilTheNextMessageStarts) {
  boost::shared_ptr<IMD5> md5 = IMD5::New();
  EXPECT_TRUE(md5->result().empty());
  md5->update("ab", 2, false);
  EXPECT_TRUE(md5->result().empty());
  md5->update("c", 1, true);
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", std::string(md5->result().toHex().cstr()));
  // Even a piece without bytes starts a new message.
  md5->update(nullptr, 0, false);
  EXPECT_TRUE(md5->result().empty());
  md5->update("a", 1, true);
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", std::string(md5->result().toHex().cstr()));
  // reset drops the result and the message under way.
  md5->update("xyz", 3, false);
  md5->reset();
  EXPECT_TRUE(md5->result().empty());
  md5->update("abc", 3, true);
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", std::string(md5->result().toHex().cstr()));
}

TEST(Base64, Rfc4648Vectors) {
  char const* const expected[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (unsigned int n = 0; n <= 6; ++n) {
    EXPECT_EQ(String(expected[n]), IBase64::encode("foobar", n));
    bool clean = false;
    EXPECT_EQ(std::string("foobar", n), str(IBase64::decode(expected[n], &clean)));
    EXPECT_TRUE(clean);
  }
  EXPECT_EQ(String("//79"), IBase64::encode(bytes("\xff\xfe\xfd")));
  EXPECT_EQ(String(""), IBase64::encode(nullptr, 0));
}

TEST(Base64, LinesEndAfter76CharactersExceptTheLast) {
  auto text = [](unsigned int n) { return std::string(IBase64::encode(sample(n).data(), n).cstr()); };
  std::string const t56 = text(56), t57 = text(57), t58 = text(58), t114 = text(114);
  EXPECT_EQ(76u, t56.size());  // ends with a padded group: no line break
  EXPECT_EQ(78u, t57.size());
  EXPECT_EQ("\r\n", t57.substr(76));
  EXPECT_EQ(t57, t58.substr(0, 78));
  EXPECT_EQ(82u, t58.size());
  EXPECT_EQ("==", t58.substr(80));
  EXPECT_EQ(156u, t114.size());
  EXPECT_EQ("\r\n", t114.substr(76, 2));
  EXPECT_EQ("\r\n", t114.substr(154));
}

TEST(Base64, PiecesGiveTheOneCallTextAtEverySplit) {
  boost::shared_ptr<IBase64> base64 = IBase64::New();
  for (unsigned int n : {1u, 2u, 3u, 56u, 57u, 58u, 114u, 130u}) {
    std::string const s = sample(n);
    std::string const whole = IBase64::encode(s.data(), n).cstr();
    for (unsigned int k = 0; k <= n; ++k) {
      base64->update(bytes(s.substr(0, k)), false);
      base64->update(s.data() + k, n - k, true);
      // A last piece that only completes the waiting group leaves that
      // group for the final step, which counts it for no line.
      std::string expected = whole;
      if (n % 57 == 0 && k % 3 != 0 && n - k < 3) expected.resize(expected.size() - 2);
      ASSERT_EQ(expected, base64->result().cstr()) << n << " split at " << k;
    }
  }
  // Three pieces where the middle one completes the waiting group: that
  // group is written (and counted) when the last piece arrives.
  std::string const s = sample(60);
  base64->update(s.data(), 56, false);
  base64->update(s.data() + 56, 1, false);
  base64->update(s.data() + 57, 3, true);
  EXPECT_EQ(IBase64::encode(s.data(), 60), base64->result());
}

TEST(Base64, ResultLastsUntilAPieceBringsBytes) {
  boost::shared_ptr<IBase64> base64 = IBase64::New();
  base64->update("foo", 3, true);
  EXPECT_EQ(String("Zm9v"), base64->result());
  base64->update(nullptr, 0, false);
  EXPECT_EQ(String("Zm9v"), base64->result());
  base64->update("f", 1, false);
  EXPECT_TRUE(base64->result().empty());
  base64->update("o", 1, true);
  EXPECT_EQ(String("Zm8="), base64->result());
  base64->update("xy", 2, false);
  base64->reset();
  EXPECT_TRUE(base64->result().empty());
  base64->update("f", 1, true);
  EXPECT_EQ(String("Zg=="), base64->result());
}

TEST(Base64, DecodeSkipsLineBreaksAndFlagsGarbage) {
  for (unsigned int n : {0u, 1u, 2u, 56u, 57u, 58u, 500u}) {
    std::string const s = sample(n);
    String const text = IBase64::encode(s.data(), n);
    bool clean = false;
    EXPECT_EQ(s, str(IBase64::decode(text, &clean))) << n;
    EXPECT_TRUE(clean);
  }
  bool clean = true;
  EXPECT_EQ("foobar", str(IBase64::decode("Zm9v\r\nYmFy\n", &clean)));
  EXPECT_TRUE(clean);
  EXPECT_EQ("foobar", str(IBase64::decode("Zm9v YmFy", &clean)));
  EXPECT_FALSE(clean);
  EXPECT_EQ("foobar", str(IBase64::decode("Zm\t9v*Ym~Fy", &clean)));
  EXPECT_FALSE(clean);
  // Missing padding is fine; a character that starts no full byte is dropped.
  EXPECT_EQ("fooba", str(IBase64::decode("Zm9vYmE", &clean)));
  EXPECT_TRUE(clean);
  EXPECT_EQ("foo", str(IBase64::decode("Zm9vY", &clean)));
  EXPECT_TRUE(clean);
  // Padding ends the text; what follows is ignored.
  EXPECT_EQ("f", str(IBase64::decode("Zg==Zm9v", &clean)));
  EXPECT_TRUE(clean);
  EXPECT_EQ("fo", str(IBase64::decode("Zm8=Zm9v", &clean)));
  EXPECT_TRUE(clean);
  // A misplaced "=" is skipped like garbage.
  EXPECT_EQ("foo", str(IBase64::decode("=Zm9v", &clean)));
  EXPECT_FALSE(clean);
  EXPECT_EQ("foo", str(IBase64::decode("Zm=9v", &clean)));
  EXPECT_FALSE(clean);
  EXPECT_EQ("", str(IBase64::decode("", &clean)));
  EXPECT_TRUE(clean);
  EXPECT_EQ("foo", str(IBase64::decode("Zm9v!", nullptr)));
}

TEST(NRCoder, EscapesZeroAndUnderscoreOnlyAndNeverFailsToDecode) {
  EXPECT_EQ(String("A_0__B"), NRCoder::encode(bytes(std::string("A\0_B", 4))));
  EXPECT_EQ(std::string("A\0_B", 4), str(NRCoder::decode("A_0__B")));
  EXPECT_EQ(String(""), NRCoder::encode(nullptr, 0));
  EXPECT_EQ(String(""), NRCoder::encode(ByteArray()));
  EXPECT_TRUE(NRCoder::decode("").empty());

  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  all += all;
  String const text = NRCoder::encode(all.data(), static_cast<unsigned int>(all.size()));
  EXPECT_EQ(all.size() + 4, text.length());
  EXPECT_EQ(all, str(NRCoder::decode(text)));
  // An underscore that escapes nothing stands for itself.
  EXPECT_EQ("ab_", str(NRCoder::decode("ab_")));
  EXPECT_EQ("_x", str(NRCoder::decode("_x")));
  EXPECT_EQ("__x", str(NRCoder::decode("___x")));
  EXPECT_EQ(std::string("_1\0", 3), str(NRCoder::decode("_1_0")));
}

TEST(CypherDeathTest, NullDataWithBytesAsserts) {
  EXPECT_DEATH(IMD5::New()->update(nullptr, 1, true), "Assertion failed: \\(len>0 && clear\\) \\|\\| len == 0");
  EXPECT_DEATH(IMD5::digest(nullptr, 5), "Assertion failed: \\(len>0 && clear\\) \\|\\| len == 0");
  EXPECT_DEATH(IBase64::New()->update(nullptr, 1, false), "Assertion failed: clear");
  EXPECT_DEATH(IBase64::encode(nullptr, 3), "Assertion failed: clear");
  EXPECT_DEATH(NRCoder::encode(nullptr, 1), "Assertion failed: clear");
}

TEST(Cypher, ConcurrentStaticCallsAgree) {
  std::string const s = sample(5000);
  ByteArray const digest = IMD5::digest(bytes(s));
  String const text = IBase64::encode(bytes(s));
  String const escaped = NRCoder::encode(bytes(s));
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i)
        good[t] += IMD5::digest(bytes(s)) == digest && IBase64::encode(bytes(s)) == text &&
                   str(IBase64::decode(text, nullptr)) == s && str(NRCoder::decode(escaped)) == s;
    });
  for (std::thread& t : threads) t.join();
  for (int g : good) EXPECT_EQ(50, g);
}

TEST(TEA, ZeroKeyKnownAnswerAndRoundTrip) {
  TEA tea;
  unsigned char block[8] = {0};
  tea.encodeBlock(block, block);  // in place
  EXPECT_EQ("41ea3a0a94baa940", ByteArray(block, 8).toHex());
  tea.decodeBlock(block, block);
  EXPECT_EQ("0000000000000000", ByteArray(block, 8).toHex());

  // The key is read as little-endian words and the block as big-endian
  // ones: the reference program's key {1, 2, 3, 4} and block {5, 6}.
  unsigned char const key[16] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};
  unsigned char const clear[8] = {0, 0, 0, 5, 0, 0, 0, 6};
  unsigned char coded[8], back[8];
  tea.setKey(key);
  tea.encodeBlock(clear, coded);
  TEA other;
  other.setKey(key);
  other.decodeBlock(coded, back);
  EXPECT_EQ(0, std::memcmp(clear, back, 8));
  EXPECT_NE(0, std::memcmp(clear, coded, 8));

  // A null key is the zero key again.
  tea.setKey(nullptr);
  unsigned char zero[8] = {0};
  tea.encodeBlock(zero, coded);
  EXPECT_EQ("41ea3a0a94baa940", ByteArray(coded, 8).toHex());
}

TEST(TEAx, BlocksAreIndependentAndTheTailIsMixedWithTheDigestTable) {
  ByteArray const key = bytes("secret key");
  boost::shared_ptr<ITEAx> x = ITEAx::New(key);
  ByteArray const d1 = IMD5::digest(key);
  ByteArray const table = IMD5::digest(d1);

  // Two equal halves encipher alike, each as TEA keyed with MD5(key).
  ByteArray const twice = bytes("8 bytes!8 bytes!");
  ByteArray const coded = x->encode(twice);
  ASSERT_EQ(16u, coded.size());
  EXPECT_EQ(0, std::memcmp(coded.ptr(), coded.ptr() + 8, 8));
  TEA tea;
  tea.setKey(d1.ptr());
  unsigned char block[8];
  tea.encodeBlock(twice.ptr(), block);
  EXPECT_EQ(0, std::memcmp(block, coded.ptr(), 8));

  // A 5-byte message is only mixed: out ^ in = T[T[(i + 5) % 16] % 16].
  ByteArray const five = bytes("hello");
  ByteArray const mixed = x->encode(five);
  ASSERT_EQ(5u, mixed.size());
  unsigned char const* t = table.ptr();
  for (unsigned int i = 0; i < 5; ++i)
    EXPECT_EQ(t[t[(i + 5) % 16] % 16], mixed.ptr()[i] ^ five.ptr()[i]) << i;

  // The same 3-byte tail mixes differently in an 11- and a 19-byte message.
  std::string const head(16, 'h');
  ByteArray const a = x->encode(bytes(head.substr(0, 8) + "xyz"));
  ByteArray const b = x->encode(bytes(head + "xyz"));
  EXPECT_NE(0, std::memcmp(a.ptr() + 8, b.ptr() + 16, 3));

  // Every length round-trips, also in place through the pointer forms.
  std::string const s = sample(41);
  for (unsigned int n = 0; n <= s.size(); ++n) {
    ByteArray const clear = bytes(s.substr(0, n));
    ByteArray const c = x->encode(clear);
    ASSERT_EQ(n, c.size());
    EXPECT_EQ(clear, x->decode(c)) << n;
    std::string buffer = s.substr(0, n);
    x->encode(&buffer[0], &buffer[0], n);
    EXPECT_EQ(str(c), buffer) << n;
    x->decode(&buffer[0], &buffer[0], n);
    EXPECT_EQ(s.substr(0, n), buffer) << n;
  }
  // Another object with the same key reads it; a different key does not.
  EXPECT_EQ(twice, ITEAx::New(key.ptr(), key.size())->decode(coded));
  EXPECT_NE(twice, ITEAx::New(bytes("secret kez"))->decode(coded));
}

TEST(TEAx, WithoutAKeyDataPassThrough) {
  ByteArray const msg = bytes(sample(21));
  EXPECT_EQ(msg, ITEAx::New()->encode(msg));
  EXPECT_EQ(msg, ITEAx::New(ByteArray())->decode(msg));
  EXPECT_EQ(msg, ITEAx::New("abc", 0)->encode(msg));

  boost::shared_ptr<ITEAx> x = ITEAx::New(bytes("k"));
  EXPECT_NE(msg, x->encode(msg));
  x->setKey("k", 0);
  EXPECT_EQ(msg, x->encode(msg));
  x->setKey(bytes("k"));
  EXPECT_NE(msg, x->encode(msg));
  x->setKey(nullptr, 5);
  EXPECT_EQ(msg, x->decode(msg));
  char out[21];
  x->encode(msg.ptr(), out, 21);
  EXPECT_EQ(0, std::memcmp(msg.ptr(), out, 21));
}

TEST(RandKey, GivesTheCountOfBytes) {
  EXPECT_TRUE(zu::cypher::randKey(0).empty());
  EXPECT_EQ(16u, zu::cypher::randKey(16).size());
  // 64 bytes from a decent generator are not all alike.
  ByteArray const k = zu::cypher::randKey(64);
  bool varied = false;
  for (unsigned int i = 1; i < k.size(); ++i) varied |= k.ptr()[i] != k.ptr()[0];
  EXPECT_TRUE(varied);
  EXPECT_NE(zu::cypher::randKey(16), zu::cypher::randKey(16));
}

TEST(TEAxDeathTest, NullBuffersAssertEvenForNoBytes) {
  boost::shared_ptr<ITEAx> x = ITEAx::New(bytes("k"));
  char buffer[8] = {0};
  EXPECT_DEATH(x->encode(nullptr, buffer, 0), "Assertion failed: clear");
  EXPECT_DEATH(x->encode(buffer, nullptr, 0), "Assertion failed: coded");
  EXPECT_DEATH(x->decode(buffer, nullptr, 0), "Assertion failed: clear");
  EXPECT_DEATH(x->decode(nullptr, buffer, 0), "Assertion failed: coded");
}

TEST(TEAx, ConcurrentEncodingWithOneKeyedObject) {
  boost::shared_ptr<ITEAx> x = ITEAx::New(bytes("shared"));
  ByteArray const msg = bytes(sample(1003));
  ByteArray const coded = x->encode(msg);
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) good[t] += x->encode(msg) == coded && x->decode(coded) == msg;
    });
  for (std::thread& t : threads) t.join();
  for (int g : good) EXPECT_EQ(50, g);
}

namespace {

// A 1024-bit key whose first prime is the larger one.
char const* const keyP =
    "d0b6509e35bc2a69f8deeca8ecb360b8182c2e127a1c0503e0347d4efcadcc6ec46579757d2e7da363bc9f5ca6edc768a679469cf494d9b"
    "ec89a0d2f32e60ec5";
char const* const keyQ =
    "8e3cfdfa0676f7e50bf64baf177a4047224abb2ee897f9c2ce0b46f92a8eceebaa1154d6d4698f207cae5bb2a0ff1d1f66d30aa816aa8ac"
    "659e3b3e5072bd939";
char const* const keyN =
    "73f6da82abdf5143ab5cb56b991f63dd57f5e3908af5c0e6a0a802f84c7295e11fd9ae77997688eccfc212f23afe9cc965ee9cc581b9a23"
    "6bdd4b6821e1eb86b7c7a6b631c47ad2d4d28d1614c6e6a0e7d45374deda11a3985276f4a7a3d9726b8c81cc0a62e549680921d87c528d8"
    "455a1f2199cd88a310ba99bdec35d546dd";
char const* const keyD =
    "504fca0d6d92ffe8e9a90f4c3183f7d9b7ad67a917541400a58b3663582e9376926463dc18c06b1bf6d6e5e034d3592a7219cb214e328e1"
    "1736ef9e72b8d03131ad8142cbcfbfd20ecde58c280f3bd4b806cf8c8defe4f603d4dbcb5a35eaf045103f65dc2a7419eb1a3e8cfa18bff"
    "c63e8a521621683094e5079d18c8180a81";
// "The quick brown fox jumps over the lazy dog" raised to 65537 mod n.
char const* const foxCoded =
    "10d92c95dfe8d8ffd5ed8bcde5e6123d2e11bffe93f9e07c326c0bd7d64fd0b36a5d1a121ce85e8f184d03d6d235316aa29b534e83af3c3"
    "01f7ba9d9bbe0dc9c14692f8c8ca0be0be6431c0b4c3eb23b24e6a752b8e92de387ca8104c9d84b47f3cd6835727e43223e182a1c357ee8"
    "02288f1875bd708e3ffcd38fc5bb91a302";

}  // namespace

namespace {

// A 2048-bit key made by OpenSSL, with OpenSSL's raw (unpadded) public and
// private results for one message just below the modulus' size.
char const* const kat2048N =
    "9af926ea7a94189dbe4e803f31ea9059cf211744668b9090faba31f5ef1b6deae13889d23274e7957dc78485b10277a1"
    "1c1e43abdad1105e15f5c934a7489337839ffb37191b9044d4c74d494deea654512cfb668b8450624cdd151ca8173455"
    "e807564518edbaaa8786a51f6516a076a1c49526aa800568d6a8fa442b25f4215ea10e1aed1d88fc716c762c1ccd9be0"
    "09313704aa2a9cd10fae0875719ca13f0130d2e3acae079edccd347ca5fe3838e39e1f136243d77f282a59864da174b8"
    "8b1403dcce539cc066c34cfd5992f271c6c5bd80c60927fc71d066bba74a3b106b7a702177e56f9d38a4f4c5b7fe2a17"
    "be93b74d38dd1e3fa5752e05e43bdbdd";
char const* const kat2048P =
    "db13945e47763f5bc0028757904355330688b756a3c7205e1642bf194a4bca407719db15780c27a3d37603ac4740c9d1"
    "a8665e830f10f1c97a81e9c0656599e53ac9aca0ec1386de0cd0c3237ac2db0dc3f3044d03cd7867be0719b5c6060c1b"
    "4889fec3f315ffcc1b1e646548741dae702f7e38c1598c130f0ba108da333bed";
char const* const kat2048Q =
    "b517bb43fed5c79c75662a4c6a534a5ebff8c7e389d6617cf54824e6a0ef81909f1b139632ba7d4b823bba514439b2ff"
    "c09430d5e0a095ffb14c6fd8cedb657c652f70bcb2b11599c14481ac994b374c8cbef1f9d06af5f474f26b7c608204c6"
    "ae758735f8893b2b459cd1d1878fc8b8e77a7f3c1fcfb6c3dc8bc9288a7181b1";
char const* const kat2048D =
    "1c2f8777eafe6771bd2c8adfb384ed6720286d12683227036f4e910aa147d4587d48eaac1bb82e6c7e795cad7211b84f"
    "498d69926694528d4222374b87c747db3769cfe767fe1ee19def77ab86ec8a3cd89cbd469bc65f5659937625059f5ec9"
    "e70efa8e4ba7e524e1cc47d8eb6a4f99f3f70c8781481273cc62e44da4a95cfab1f2b1474153e6793daf13be0cb70271"
    "7b68791d6f44bcac14f98d4680bfd029532d280755b54f3a0c711ebea444643fc04ae237af61d3f48de6efa7a04f6e57"
    "f61fa8df65f774be3f629ba31c3b3c049859a588f0e59cf53ba89a5187650905f4f26c06f058ce77814b0678f85108a1"
    "9b3e142a785d02614c38bcc6b7c3f4e1";
char const* const kat2048Message =
    "7a7520323034382d626974206b6e6f776e20616e737765723a20000102030405060708090a0b0c0d0e0f101112131415"
    "161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f404142434445"
    "464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f606162636465666768696a6b6c6d6e6f707172737475"
    "767778797a7b7c7d7e7f808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9fa0a1a2a3a4a5"
    "a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5"
    "d6d7d8d9dadbdcdddedfe0e1e2e3e4";
char const* const kat2048Public =
    "3fa0bf3dadb3f1cffa4a329962ab87d201534a2170c508865eb60d22ba24f44a231db21c97c518f57be259c8abcf8775"
    "e72a0b949346f9b65970a3cc94210a59ab80bdebf52fe417d35689b49076c99aa5a5ee464c588280a1a9a15749ab4602"
    "eca9ccd8688447a3b990649bf306fd7fb4565388f80c11479106818d3eeec2b230d18e78f98b90657930e501bbb15664"
    "3f2079db82fc204f988a46307a1e40131c46344c1c8e5ec8aed09e7d923cd2adf3b48059a2f284e532648a430a28b0c0"
    "862870d4e8c9b5c0c14adfba5d6cb4e9c7c751119192bd8713434679d05d20a3f83c446d52a8baf429de8f4e8801ccff"
    "c0ffba9294cb9909dc78ba810b0cdbc1";
char const* const kat2048Private =
    "746bd4132d34462a097dbd33037913a80b4ac7cb9662d6beec8e5dcf5959443785071920bb36044a31e4dce15b18874f"
    "08d61e3e05c5b32fecc999c9d8c6782a865e5a001a01b8da08724f62349013cf9498b3e234de7a5a5c6fd05794fde61e"
    "2077868fb44cc9bb9cf61029af6d93af28cd2fa70201066e59d2b4a20b694527b46e2befceabecf4167a6689cfcd2534"
    "f79cd56d7136a3145080a92cd52be24920f368f2ac589d107d270f94e4763b0168889271f5b17265a20ccdf336c2b401"
    "d3d4bf666fdcf2c242b161d5b7c98929c9790a695d695608d77a19e7fe533bf60f27dd5638bb92c63471baec04b792ea"
    "4d7a669af30333b7b997f00cb001cad4";

}  // namespace

TEST(RSA, SmallKeyAnswersAndEveryMessageRoundTrips) {
  boost::shared_ptr<IRSA> pub = IRSA::New("11", "ca1");
  EXPECT_EQ("0ae6", pub->transform(ByteArray("41")).toHex());
  boost::shared_ptr<IRSA> priv = IRSA::New("3d", "35", "11", "anything");
  EXPECT_EQ("41", priv->transform(ByteArray("0ae6")).toHex());
  // Every message below n, through the public function and back through
  // the four-text form (with p > q, so the CRT difference can run below
  // zero) and through d = 0xac1 with n.
  boost::shared_ptr<IRSA> privD = IRSA::New("ac1", "ca1");
  for (unsigned int m = 1; m < 3233; ++m) {
    ByteArray const coded = pub->transform(ByteArray(zu::String(m, 16u)));
    ByteArray const back = priv->transform(coded);
    ASSERT_EQ(m, back.toHex().toUnsigned(16)) << m;
    ASSERT_EQ(m, privD->transform(coded).toHex().toUnsigned(16)) << m;
  }
}

TEST(RSA, BytesInAndOutFollowTheHexadecimalText) {
  boost::shared_ptr<IRSA> pub = IRSA::New("11", "CA1");  // either case
  // Leading zero bytes add nothing; a larger input is reduced.
  EXPECT_EQ("0ae6", pub->transform(ByteArray("000041")).toHex());
  EXPECT_EQ("0ae6", pub->transform(ByteArray(zu::String(65u + 3233u, 16u))).toHex());
  // A result of zero is one zero byte; an empty input is zero.
  EXPECT_EQ("00", pub->transform(ByteArray("0ca1")).toHex());
  EXPECT_EQ("00", pub->transform(ByteArray()).toHex());
  // An even modulus and a zero exponent still compute.
  EXPECT_EQ("0671", IRSA::New("11", "ca2")->transform(ByteArray("41")).toHex());
  EXPECT_EQ("01d0", IRSA::New("11", "ca2")->transform(ByteArray("4142")).toHex());
  EXPECT_EQ("01", IRSA::New("0", "ca1")->transform(ByteArray("41")).toHex());
  // Keys that cannot work give nothing rather than garbage.
  EXPECT_TRUE(IRSA::New("11", "0")->transform(ByteArray("41")).empty());
  EXPECT_TRUE(IRSA::New("3d", "35", "3c", "")->transform(ByteArray("41")).empty());  // e shares 2, 3, 5 with phi
  EXPECT_TRUE(IRSA::New("1", "35", "11", "")->transform(ByteArray("41")).empty());
}

TEST(RSA, LargeKeyMatchesAnIndependentComputation) {
  ByteArray const fox = bytes("The quick brown fox jumps over the lazy dog");
  ByteArray const coded = IRSA::New("10001", keyN)->transform(fox);
  EXPECT_STREQ(foxCoded, coded.toHex().cstr());
  EXPECT_EQ(fox, IRSA::New(keyD, keyN)->transform(coded));
  EXPECT_EQ(fox, IRSA::New(keyP, keyQ, "10001", "0")->transform(coded));
  // Every length up to the modulus' size minus one byte round-trips.
  boost::shared_ptr<IRSA> pub = IRSA::New("10001", keyN);
  boost::shared_ptr<IRSA> priv = IRSA::New(keyP, keyQ, "10001", "0");
  std::string const s = sample(127);
  for (unsigned int n = 1; n <= s.size(); n += 9) {
    std::string m = s.substr(0, n);
    m[0] = static_cast<char>(m[0] | 1);  // no leading zero byte
    EXPECT_EQ(bytes(m), priv->transform(pub->transform(bytes(m)))) << n;
  }
}

TEST(RSA, Key2048AgreesWithOpenSSL) {
  ByteArray const message = ByteArray(String(kat2048Message));
  ASSERT_EQ(255u, message.size());
  EXPECT_STREQ(kat2048Public, IRSA::New("10001", kat2048N)->transform(message).toHex().cstr());
  EXPECT_STREQ(kat2048Private, IRSA::New(kat2048D, kat2048N)->transform(message).toHex().cstr());
  boost::shared_ptr<IRSA> crt = IRSA::New(kat2048P, kat2048Q, "10001", "0");
  EXPECT_STREQ(kat2048Private, crt->transform(message).toHex().cstr());
  // Primes given in the other order give the same function.
  EXPECT_STREQ(kat2048Private, IRSA::New(kat2048Q, kat2048P, "10001", "0")->transform(message).toHex().cstr());
  EXPECT_EQ(message, crt->transform(ByteArray(String(kat2048Public))));
}

TEST(RSA, ConcurrentTransformsOnOneKey) {
  boost::shared_ptr<IRSA> priv = IRSA::New(keyP, keyQ, "10001", "0");
  ByteArray const coded = ByteArray(zu::String(foxCoded));
  ByteArray const fox = bytes("The quick brown fox jumps over the lazy dog");
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) good[t] += priv->transform(coded) == fox;
    });
  for (std::thread& t : threads) t.join();
  for (int g : good) EXPECT_EQ(10, g);
}
