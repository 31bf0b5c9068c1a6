// The big-number arithmetic under RSA, on both digit widths: 64-bit digits
// where the compiler has 128-bit products, 32-bit digits (the 32-bit
// targets' path) everywhere.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../impl/cypher/bignum.h"

using zu::String;
using zu::cypher::impl::BigNumber;
using zu::cypher::impl::Montgomery;

namespace {

BigNumber hex(char const* text) { return BigNumber::fromHex(String(text)); }

std::string text(BigNumber const& n) { return n.toHex().cstr(); }

// b^x mod m through each path the library has: Montgomery on 32-bit digits,
// on 64-bit digits where they exist, and plain multiplication and division.
struct Powers {
  std::string narrow, wide, plain;
};

Powers powers(BigNumber const& b, BigNumber const& x, BigNumber const& m) {
  BigNumber const base = BigNumber::mod(b, m);
  Powers p;
  p.narrow = text(Montgomery<std::uint32_t>(m).power(base, x));
#ifdef __SIZEOF_INT128__
  p.wide = text(Montgomery<std::uint64_t>(m).power(base, x));
#endif
  p.plain = text(zu::cypher::impl::powerMod(b, x, m, nullptr));
  return p;
}

void expectPower(char const* b, char const* x, char const* m, char const* expected) {
  Powers const p = powers(hex(b), hex(x), hex(m));
  EXPECT_EQ(expected, p.narrow) << "32-bit digits";
#ifdef __SIZEOF_INT128__
  EXPECT_EQ(expected, p.wide) << "64-bit digits";
#endif
  EXPECT_EQ(expected, p.plain) << "without Montgomery";
}

// Deterministic bytes (splitmix64).
struct Bytes {
  std::uint64_t state;
  BigNumber next(unsigned int size, bool odd) {
    std::vector<unsigned char> bytes(size);
    for (unsigned char& byte : bytes) {
      std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      byte = static_cast<unsigned char>(z ^ (z >> 31));
    }
    bytes[0] |= 0x80;  // the full size
    if (odd) bytes[size - 1] |= 1;
    return BigNumber::fromBytes(bytes.data(), size);
  }
};

}  // namespace

// Answers computed independently; the moduli are the sizes with loops of a
// fixed length (512, 1024, 2048 bits) and one without (1000 bits), and each
// base is above its modulus.
TEST(BigNumber, PowersMatchIndependentAnswersOnEveryDigitWidth) {
  expectPower(
      "ec6c3b1f5b6e6b22b0e20e5f0db1e08a30daba33347e24d5a8218eab090ac142053fc4e53fb878f7016be711ee92f4772342da32fd755f7"
      "98f8a11c08d44d73d735a7a12e5",
      "49aa0cf2b83f4ed312b7a1e52c587ae4d7edb5e30dfd8e4b69f70bb68704bffc14c9802a3da72e3b5bf1a8f83b32ac57c5df94175363a98"
      "3a67e77202aab5aea",
      "f5b50cc353d54006bf61cc6f53664204beebd9696ea7fc13eb92859347fa00d967173c95020e5f64823e20b85dc4aa172cff2829598d8c4"
      "58354d752d57c16a9",
      "e3812dbc3846d7b6e6d5872e0238ab1fabfee08ed32c9247fd5aede7899bddd30612c965968a0163fa6172624ea716023653d530c0358fa"
      "5f993ebb9666e3f7c");
  expectPower(
      "6bdc216781dd288675a17e3fd2c8ee9db986d0c8b49238132b784d519a1c2c53924e21d6460078aa856d18177782b89211dff4e1391fd06"
      "6c2794380c5116328f5d9588a8db754d2ed58508d085b76ac191e2c3a6edcc6027acf49f81774784ee3763a50cb1558a61cfed8f3a478a5"
      "0a1a5641ac771263f87c23bc5d50f80f2de6fadbe66b",
      "2432d97f67cffdbd9837e6460627e3bc919a3dda1e5a72f13b37b1832d7d6f9352488d5682888cf8b3e3e42a4159882d8a3f61d68a2c119"
      "367d4b106631bbeb8cd4f775666f18794c173f3bf3e20f8d846a0f1847f38aef293c541b9b3b84b65dcbdfea35250d20c2ff55a75e46f0d"
      "4ac940395639cc80de82755b164322bf51",
      "a340745e005cebf26ae6adb8e4d53dba2934fbb7c14e5424a641a92e637f4d1d51dd5e7acc7dfc0030bc270aa017ad157a4400440964af1"
      "f1554ee3209b1ad6fb771b84da89aa8c984ea06e0894395305e9cd8ea8c96b59f3a0f3d977c8650be25849d35232e089f3b967c7d1b192a"
      "d840c881d4f0d6610302cd5d83d5ec186f",
      "7ee6896c9f99d72514d8afb7ee835fa91fa3d6731325fbad3818be4652c73367399418d1490f792a25aedc2df51bc57e481b092b2d018de"
      "bc4ad6ebf5324609a9935eb72ce5d7cf303664d7049b4d1a98b733d312f3a1cfc6d5fecf9905edd427ecc1957c57351b50dcef35bededd6"
      "29cd960685f8609214fc29a0c1d62c4406");
  expectPower(
      "ae87d8911835335352bdc9ac995986cdd2750ecbc9daa83b0aa89c2e237918499b7d745d9029827fedcd2873ca765a5413ef21e1c8547ac"
      "88588d85e6a78775dd2151c3e23fe484845b7e8ab5e679ace0d3ef5245493b0e53d99c39ef8a93bdf9146027c26ce68c2de4625421a0cc9"
      "985f5bd6cb5f1a16632e6715f3227d7e6711fb88ea9602df793e92d8cbeb9c98e6e0378ea9ab2819b63e27851be5dd06b6eb0dd1ae7435c"
      "41ee15e078ce1872500e3b57e10c6d3f4e0d5e53d430199d0bae04a2d047b80702cdbf38f0f086c5a399bfddc156a42a3e0996920102f97"
      "4f25cbdf8fd0b1e38fccda3478e0ba06bb846c33ccfe1cb4a4db7c721102ee180c3a9628db7e9e",
      "8f675051f08748cdc3529e23e3cff3e0123d7d5ace62a701fef910f38ec026e60acff1b3f03c47d4fc6f226cc13a02dc3f4ce4b25d96f4a"
      "c81f378c0498bfbbf29333ee5a270610360b8b5ad1ee49a1b80f0bbd35fd620c025483c41ce80d60e1fa09311d0fc8d279f4cd729f4740a"
      "558e0e26b38fcd387de86c9714badd139d4540909d8ac4d208218b282db702c42ced1d00378d033582c21fc7543ef5c71b2c68baac37269"
      "b4d3fc12d8527767fafa0a112361f19d2f43d9f3aac9592d61511ae67083cf9b7f0f8a4a3380d76079a15079a379fe5a0a378c40e55f403"
      "a489761d16bc66b81acff7ab5a5c2e510d208d5a735e5205ad89c9c22b793dada406",
      "ca0b4985076d0bc067209fa8a946c6d11b2053c87b3385354fff1fe78c3f0651d00e185678d012ce4c7c8db22525ee635ee50b0db24e1ee"
      "ffcb138977e1b62382d89736f8d8e960fa8e7ee0f328b95c580a6db845278be966fadcea0b836dd2d8bcb087e5934d531a31554ad4356d6"
      "21fced2f48c7b0ac3e9e4a555b1ca3f842a05c7db490ccf45160d03d8d6a4cfb0e6d82941af1abe90b8fe2ae604f9b48a83e9744561c04d"
      "6ea46d8c0e96e54155a6207fc1c81cc5ebc049a9f1ab7dfa4e2c495568a52a0db982f84d802e4aa5bbe006aff69d2c264f012fcdc3f3561"
      "2b904eb551fc3e8bdea4fe86e548ad005144747e3abd3661d26d3186574eca3c5fb3",
      "5e3252850b868e81b1e282ca06e1c0231ca860b41aa02ea6252428392f40e79133d17d183e1dd34e350b1d63fb1eff5322c859d5a9de4e9"
      "9d2d3fbef9ea6384e191efcb3b38ca269e52febc8845c8e4fa65864869ba9b0c1a1886bfa7dd629300bb726a7b6985052d7c7953ab03d78"
      "be62278c6012edee2692eb9988236ea53992febc60a042c5bd1524383f3510a957e40d4f0fd14b617ed2435bc9af6641ed9371b56cae69d"
      "fc60d107e50118bcdeb25ea4e7cffd26e86ebdf22b23264efc76c3cb2575fcd7eabe92a7d2b614296208d99d790706da0a6edc2fc3de3c2"
      "63940daf0d3f9a374e8f737d3cf6b1082971e49e9b4a8fb2080902287e71646d65ca");
  expectPower(
      "97c628ad8af7f1b3710c274b651e981f4f559c0ecce46886abc3f18dff10665e23ae2ca970c00c6aefab705bacfa00f62665480adf7f2d6"
      "9788f0ff3225ef3dcaf59c3143e3e32af51d311a7f1c3fa7b0720e65cde5a3f1827e5804549a74ff04dee6c22d7cb3020f207c3bcb52162"
      "cbdfff0a6f7962a5f7b1763391141fb41f5d78",
      "4ee05cd0392e15bbff8c8a299973dc71eb059fb29c69b3014746e8307725385771af000ff760c08bdd97bbe559839d3581c289170073df0"
      "e63fe4404838d5e32af991b974637a56a38eb4e2eb1e28dc5608f044cdd8c0195df0049dbdf26fe8fb28cde7dc2a7e9067741fe06d5686d"
      "15b4b91b6ea3e0ee32014a548bd3",
      "8578e3605a907bcbf3c60661768b2ef2024b6eccfca0c6d8cabbc13b27c91407e514daf435885b34cdcc63fc8b6fad47c2f2d9bf8de5aaa"
      "658ebbce35d2c880d596359ee28d013a9fb409d741801d180a1ca2070c1338f9fb8b76b1006b66b9db401b1b61647fbaa5f66123c6c46d0"
      "e3792cb3db821fda1c785e2c00b3",
      "2b59727a968520cfc3a0231ee6adf4734114a0508ce92ce6e16a2552f792d43b217bcf41922927541b32de44555d7e9a47deb467d271a3d"
      "11d9f746de1ddf0bf8af4c80349d2347152147064b59ae1a039ac62b019f074e8820d81bfcd4db59c6fa7015c9688acc1bd504551a6fc79"
      "5827ea969bb6233128b4cb86e280");
  // Small odd moduli and exponents: one digit, one bit.
  expectPower("2", "a", "3e9", "17");  // 2^10 mod 1001 = 23
  expectPower("5", "1", "7", "5");
  expectPower("ffffffff", "2", "fffffffb", "10");  // 4^2
}

// Sizes from one limb up, around the fixed-length ones (512, 1024, 2048
// bits); odd moduli with their top bit set, bases and exponents as long:
// the three paths agree.
TEST(BigNumber, MontgomeryOnBothDigitWidthsAgreesWithPlainArithmetic) {
  Bytes random{12345};
  std::vector<unsigned int> sizes;
  for (unsigned int size = 4; size <= 72; size += 4) sizes.push_back(size);
  for (unsigned int size : {124u, 128u, 132u, 252u, 256u, 260u}) sizes.push_back(size);
  for (unsigned int size : sizes) {
    BigNumber const m = random.next(size, true);
    BigNumber const b = random.next(size + 3, false);
    BigNumber const x = random.next(size, false);
    Powers const p = powers(b, x, m);
    ASSERT_EQ(p.plain, p.narrow) << size << " bytes, 32-bit digits";
#ifdef __SIZEOF_INT128__
    ASSERT_EQ(p.plain, p.wide) << size << " bytes, 64-bit digits";
#endif
  }
}

TEST(BigNumber, DivisionAndInverseMatchIndependentAnswers) {
  BigNumber q, r;
  BigNumber::divide(
      hex("c592cfcd7d5c4a9d40417910e6fd1c9879be8e7efd5962959f63b7e1f1950d9f9a5a4fb8d53694ceb7361e9c6df1a56a0879a1471dbad"
          "ab459ccb821b420c79f926a2d089b8a6a0c8c0817cc814db98eab7658c144f0b6ad3cdfaf77613b8c093af0473184cf29a1677cffcd98"
          "8d7c654313a3bbe3e00fc36480de2bd5ce366b517da60fb69e070cd28d864d6e89c6a198f69a0138851b089eb3061b44a724c9866f058"
          "70093d3ee6b1e07c8f62fcd6b27db193333bd939d86bb32f"),
      hex("8d5f1c808fc1db7fc1de21ff27e776103465de3626351bbcdc98766c4bd1f80236a7113bcf75d506713ac5978e7ec8c929a10e5381ad1"
          "203f702a7e87ed8c029b0814f4f2245518951fd49dc045596e67714350f959567c"),
      &q, &r);
  EXPECT_EQ(
      "165c5b306d37f6eb1fc3c6cc8a959f7688f0b3126c261dd4998f161f9d341e8ac012b5e4025469f9159b7501de6ea71bc98fd48f80d2581"
      "1f5c88b93aeb13deae95243ec99f077edd8255fa1d02838e7aa9db7f480eb1e1e1ce64db47c29e37737c0d2e27",
      text(q));
  EXPECT_EQ(
      "608265b1f4ed66a761d578e71422d80880f322abd615741cf942ed719d2182c5fd967da40378664bd10735d9bad76e0c078655d2d9614d3"
      "ee6a096ab70f392299cce73080cb9f607ec0197011aad1cbe5bf9df459f93e4b",
      text(r));

  BigNumber const m = hex(
      "b0f47f35d0380cfbcadd40e92c34bf1c7f453a0ef5097b4fd5de6e91074206e247aa2dbad9e2ec8d009f001680289e32a93f32a9a172510"
      "28e4edc90253d9e303ce1268c9c8052e3ffec3fee8ed2305df3faa8e879eaa7234ad5cfbc1d74bd1cf08db22fd293056a3170fab23d90f"
      "bac32833106536e95df40b2d002cc92d33d");
  BigNumber inverse;
  ASSERT_TRUE(BigNumber::inverse(
      hex("14b9121266ef64311275fc39c0d03234795347783bea5c88b224f042a68fecc75a23c48d0d866b165195371e07ea63524ca98f54dc77a"
          "72ed0d50a63783933d5f00510ff6af8af81df6383"),
      m, inverse));
  EXPECT_EQ(
      "20f73a9df4a88b099390b669ee15e562d54fae2a94ce8794904f65f5dffe0ed362bf81bbe2e421cb4e05976e6eecd61df42e1f86418358e"
      "c89ae28414abf65e9a530b25f2a86a3eda87856162ff420d5773eb42c3c9237b11b9c2000ffb3162e1e8c1f8ce4460210700ce37a275b4a"
      "8f400ca9f492e26bc93ac51ed8c40726db",
      text(inverse));
  EXPECT_FALSE(BigNumber::inverse(hex("6"), hex("9"), inverse)) << "a shared factor has no inverse";
  EXPECT_FALSE(BigNumber::inverse(hex("1"), hex("1"), inverse)) << "no inverse modulo 1";
}
