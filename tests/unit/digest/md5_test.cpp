#include "digest/md5.h"

#include <gtest/gtest.h>
#include <openssl/md5.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

// OpenSSL's one-shot MD5 is deprecated in favour of EVP, but as an oracle the
// plain call is what we want.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace lumagate {
namespace {

std::string hex_of(const std::string& text) {
  char out[kMd5HexSize];
  md5_hex(text.c_str(), out);
  return out;
}

// The reference digest of `length` bytes, as hex.
std::string oracle_hex(const unsigned char* bytes, std::size_t length) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5(bytes, length, digest);
  char out[kMd5HexSize];
  digest_to_hex(digest, out);
  return out;
}

std::string oracle_hex(const std::string& text) {
  return oracle_hex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// Text whose bytes cycle through 1..255, so no NUL cuts it short.
std::string patterned_text(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    text[i] = static_cast<char>(1 + (i * 37) % 255);
  }
  return text;
}

TEST(Md5Hex, MatchesRfc1321TestSuite) {
  struct Case {
    const char* text;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex_of(c.text), c.digest) << '"' << c.text << '"';
  }
}

// Lengths where the padding changes shape: up to 55 waiting bytes the length
// fits in the same block, from 56 on it needs another.
TEST(Md5Hex, MatchesOracleAroundPaddingBoundaries) {
  for (std::size_t length : {1u, 54u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 129u,
                             191u, 192u, 1000u, 4096u, 4097u}) {
    const std::string text = patterned_text(length);
    EXPECT_EQ(hex_of(text), oracle_hex(text)) << "length " << length;
  }
}

TEST(Md5Hex, TakesHighBytesAsUnsigned) {
  std::string text;
  for (int byte = 128; byte <= 255; ++byte) text += static_cast<char>(byte);
  EXPECT_EQ(hex_of(text), oracle_hex(text));
  EXPECT_EQ(hex_of("\xff"), oracle_hex("\xff"));
}

TEST(Md5Hex, StopsAtFirstNul) {
  const char text[] = "password\0ignored tail";
  char out[kMd5HexSize];
  md5_hex(text, out);
  EXPECT_EQ(std::string(out), oracle_hex("password"));
}

TEST(Md5Hex, WritesExactly33BytesOfLowerCaseHex) {
  constexpr char kCanary = '\x5a';
  for (const char* text : {"", "abc", "\xff\xfe\xfd"}) {
    char buffer[kMd5HexSize + 8];
    std::memset(buffer, kCanary, sizeof buffer);
    md5_hex(text, buffer);
    for (std::size_t i = 0; i < 32; ++i) {
      const char ch = buffer[i];
      EXPECT_TRUE((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))
          << "character " << i << " is '" << ch << "'";
    }
    EXPECT_EQ(buffer[32], '\0');
    for (std::size_t i = kMd5HexSize; i < sizeof buffer; ++i) {
      EXPECT_EQ(buffer[i], kCanary) << "byte " << i << " overwritten";
    }
  }
}

// The digest must depend only on the bytes, never on how they were handed in.
TEST(Md5Update, PiecesGiveTheSameDigestAsOneCall) {
  const std::string text = patterned_text(1000);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());

  auto digest_in_pieces = [&](std::vector<std::uint32_t> sizes) {
    Md5Context context{};
    md5_init(&context);
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < text.size(); ++i) {
      const std::uint32_t size = std::min<std::uint32_t>(
          sizes[i % sizes.size()], static_cast<std::uint32_t>(text.size() - offset));
      md5_update(&context, bytes + offset, size);
      md5_update(&context, bytes + offset, 0);
      offset += size;
    }
    unsigned char digest[16];
    md5_final(digest, &context);
    char out[kMd5HexSize];
    digest_to_hex(digest, out);
    return std::string(out);
  };

  const std::string whole = oracle_hex(text);
  EXPECT_EQ(digest_in_pieces({1000}), whole);
  EXPECT_EQ(digest_in_pieces({1}), whole);
  EXPECT_EQ(digest_in_pieces({63}), whole);
  EXPECT_EQ(digest_in_pieces({64}), whole);
  EXPECT_EQ(digest_in_pieces({65}), whole);
  EXPECT_EQ(digest_in_pieces({3, 61, 200, 7, 129}), whole);

  std::mt19937 random(1321);
  std::uniform_int_distribution<std::uint32_t> size(0, 150);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::uint32_t> sizes(8);
    for (auto& s : sizes) s = size(random);
    sizes.push_back(1);  // keeps the walk moving if every size drew zero
    EXPECT_EQ(digest_in_pieces(sizes), whole) << "round " << round;
  }
}

// The low half of the bit count wraps after 512 MiB; rather than feed that
// much, both implementations start from the same count just below the wrap.
TEST(Md5Update, CarriesBitCountIntoHighHalf) {
  const std::string text = patterned_text(200);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  constexpr std::uint32_t kNearWrap = 0xfffffe00u;  // a whole number of blocks

  Md5Context context{};
  md5_init(&context);
  context.count[0] = kNearWrap;
  md5_update(&context, bytes, 100);
  md5_update(&context, bytes + 100, 100);
  EXPECT_EQ(context.count[0], kNearWrap + 200u * 8u);
  EXPECT_EQ(context.count[1], 1u);
  unsigned char digest[16];
  md5_final(digest, &context);

  MD5_CTX reference;
  MD5_Init(&reference);
  reference.Nl = kNearWrap;
  MD5_Update(&reference, bytes, 200);
  unsigned char expected[MD5_DIGEST_LENGTH];
  MD5_Final(expected, &reference);

  EXPECT_EQ(0, std::memcmp(digest, expected, 16));
}

TEST(Md5Hex, AgreesWithOracleOnRandomTexts) {
  std::mt19937 random(20240521);
  std::uniform_int_distribution<int> byte(1, 255);
  std::uniform_int_distribution<std::size_t> length(0, 700);
  for (int round = 0; round < 2000; ++round) {
    std::string text(length(random), '\0');
    for (char& ch : text) ch = static_cast<char>(byte(random));
    ASSERT_EQ(hex_of(text), oracle_hex(text)) << "round " << round << ", length " << text.size();
  }
}

}  // namespace
}  // namespace lumagate
