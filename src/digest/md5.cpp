#include "digest/md5.h"

#include <bit>
#include <cstring>
#include <limits>

namespace lumagate {
namespace {

// Reads four bytes as a word, low-order byte first, whatever the host order.
// On little-endian hosts the memcpy alone is a single unaligned load.
inline std::uint32_t load_le32(const unsigned char* bytes) {
  std::uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = (word >> 24) | ((word >> 8) & 0x0000ff00u) | ((word << 8) & 0x00ff0000u) | (word << 24);
  }
  return word;
}

// Writes a word as four bytes, low-order byte first.
inline void store_le32(unsigned char* bytes, std::uint32_t word) {
  bytes[0] = static_cast<unsigned char>(word);
  bytes[1] = static_cast<unsigned char>(word >> 8);
  bytes[2] = static_cast<unsigned char>(word >> 16);
  bytes[3] = static_cast<unsigned char>(word >> 24);
}

// The four round steps. Each returns the new value of `a`. The round
// functions are written in the forms that need the fewest dependent
// operations: F as a select through xor, G as the sum of two disjoint masks
// (so both halves can be added to `a` independently of each other).
inline std::uint32_t ff(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                        std::uint32_t x, int s, std::uint32_t t) {
  a += x + t + (d ^ (b & (c ^ d)));
  return std::rotl(a, s) + b;
}

inline std::uint32_t gg(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                        std::uint32_t x, int s, std::uint32_t t) {
  a += x + t + (c & ~d);
  a += b & d;
  return std::rotl(a, s) + b;
}

inline std::uint32_t hh(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                        std::uint32_t x, int s, std::uint32_t t) {
  a += x + t + (b ^ c ^ d);
  return std::rotl(a, s) + b;
}

inline std::uint32_t ii(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                        std::uint32_t x, int s, std::uint32_t t) {
  a += x + t + (c ^ (b | ~d));
  return std::rotl(a, s) + b;
}

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void md5_init(Md5Context* context) {
  context->state[0] = 0x67452301u;
  context->state[1] = 0xefcdab89u;
  context->state[2] = 0x98badcfeu;
  context->state[3] = 0x10325476u;
  context->count[0] = 0;
  context->count[1] = 0;
}

void md5_transform(std::uint32_t state[4], const unsigned char block[64]) {
  std::uint32_t x[16];
  for (std::size_t i = 0; i < 16; ++i) x[i] = load_le32(block + 4 * i);

  std::uint32_t a = state[0];
  std::uint32_t b = state[1];
  std::uint32_t c = state[2];
  std::uint32_t d = state[3];

  a = ff(a, b, c, d, x[0], 7, 0xd76aa478u);
  d = ff(d, a, b, c, x[1], 12, 0xe8c7b756u);
  c = ff(c, d, a, b, x[2], 17, 0x242070dbu);
  b = ff(b, c, d, a, x[3], 22, 0xc1bdceeeu);
  a = ff(a, b, c, d, x[4], 7, 0xf57c0fafu);
  d = ff(d, a, b, c, x[5], 12, 0x4787c62au);
  c = ff(c, d, a, b, x[6], 17, 0xa8304613u);
  b = ff(b, c, d, a, x[7], 22, 0xfd469501u);
  a = ff(a, b, c, d, x[8], 7, 0x698098d8u);
  d = ff(d, a, b, c, x[9], 12, 0x8b44f7afu);
  c = ff(c, d, a, b, x[10], 17, 0xffff5bb1u);
  b = ff(b, c, d, a, x[11], 22, 0x895cd7beu);
  a = ff(a, b, c, d, x[12], 7, 0x6b901122u);
  d = ff(d, a, b, c, x[13], 12, 0xfd987193u);
  c = ff(c, d, a, b, x[14], 17, 0xa679438eu);
  b = ff(b, c, d, a, x[15], 22, 0x49b40821u);

  a = gg(a, b, c, d, x[1], 5, 0xf61e2562u);
  d = gg(d, a, b, c, x[6], 9, 0xc040b340u);
  c = gg(c, d, a, b, x[11], 14, 0x265e5a51u);
  b = gg(b, c, d, a, x[0], 20, 0xe9b6c7aau);
  a = gg(a, b, c, d, x[5], 5, 0xd62f105du);
  d = gg(d, a, b, c, x[10], 9, 0x02441453u);
  c = gg(c, d, a, b, x[15], 14, 0xd8a1e681u);
  b = gg(b, c, d, a, x[4], 20, 0xe7d3fbc8u);
  a = gg(a, b, c, d, x[9], 5, 0x21e1cde6u);
  d = gg(d, a, b, c, x[14], 9, 0xc33707d6u);
  c = gg(c, d, a, b, x[3], 14, 0xf4d50d87u);
  b = gg(b, c, d, a, x[8], 20, 0x455a14edu);
  a = gg(a, b, c, d, x[13], 5, 0xa9e3e905u);
  d = gg(d, a, b, c, x[2], 9, 0xfcefa3f8u);
  c = gg(c, d, a, b, x[7], 14, 0x676f02d9u);
  b = gg(b, c, d, a, x[12], 20, 0x8d2a4c8au);

  a = hh(a, b, c, d, x[5], 4, 0xfffa3942u);
  d = hh(d, a, b, c, x[8], 11, 0x8771f681u);
  c = hh(c, d, a, b, x[11], 16, 0x6d9d6122u);
  b = hh(b, c, d, a, x[14], 23, 0xfde5380cu);
  a = hh(a, b, c, d, x[1], 4, 0xa4beea44u);
  d = hh(d, a, b, c, x[4], 11, 0x4bdecfa9u);
  c = hh(c, d, a, b, x[7], 16, 0xf6bb4b60u);
  b = hh(b, c, d, a, x[10], 23, 0xbebfbc70u);
  a = hh(a, b, c, d, x[13], 4, 0x289b7ec6u);
  d = hh(d, a, b, c, x[0], 11, 0xeaa127fau);
  c = hh(c, d, a, b, x[3], 16, 0xd4ef3085u);
  b = hh(b, c, d, a, x[6], 23, 0x04881d05u);
  a = hh(a, b, c, d, x[9], 4, 0xd9d4d039u);
  d = hh(d, a, b, c, x[12], 11, 0xe6db99e5u);
  c = hh(c, d, a, b, x[15], 16, 0x1fa27cf8u);
  b = hh(b, c, d, a, x[2], 23, 0xc4ac5665u);

  a = ii(a, b, c, d, x[0], 6, 0xf4292244u);
  d = ii(d, a, b, c, x[7], 10, 0x432aff97u);
  c = ii(c, d, a, b, x[14], 15, 0xab9423a7u);
  b = ii(b, c, d, a, x[5], 21, 0xfc93a039u);
  a = ii(a, b, c, d, x[12], 6, 0x655b59c3u);
  d = ii(d, a, b, c, x[3], 10, 0x8f0ccc92u);
  c = ii(c, d, a, b, x[10], 15, 0xffeff47du);
  b = ii(b, c, d, a, x[1], 21, 0x85845dd1u);
  a = ii(a, b, c, d, x[8], 6, 0x6fa87e4fu);
  d = ii(d, a, b, c, x[15], 10, 0xfe2ce6e0u);
  c = ii(c, d, a, b, x[6], 15, 0xa3014314u);
  b = ii(b, c, d, a, x[13], 21, 0x4e0811a1u);
  a = ii(a, b, c, d, x[4], 6, 0xf7537e82u);
  d = ii(d, a, b, c, x[11], 10, 0xbd3af235u);
  c = ii(c, d, a, b, x[2], 15, 0x2ad7d2bbu);
  b = ii(b, c, d, a, x[9], 21, 0xeb86d391u);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void md5_update(Md5Context* context, const unsigned char* bytes, std::uint32_t length) {
  const std::uint32_t before = context->count[0];
  context->count[0] += length << 3;
  if (context->count[0] < before) ++context->count[1];
  context->count[1] += length >> 29;

  const std::uint32_t waiting = (before >> 3) & 63;
  if (waiting != 0) {
    const std::uint32_t room = 64 - waiting;
    if (length < room) {
      std::memcpy(context->buffer + waiting, bytes, length);
      return;
    }
    std::memcpy(context->buffer + waiting, bytes, room);
    md5_transform(context->state, context->buffer);
    bytes += room;
    length -= room;
  }
  // Whole blocks pass through the buffer too: the copy measured as free, and
  // the context then always holds the last block taken in.
  for (; length >= 64; bytes += 64, length -= 64) {
    std::memcpy(context->buffer, bytes, 64);
    md5_transform(context->state, context->buffer);
  }
  if (length != 0) std::memcpy(context->buffer, bytes, length);
}

void md5_final(unsigned char digest[16], Md5Context* context) {
  std::uint32_t waiting = (context->count[0] >> 3) & 63;
  context->buffer[waiting++] = 0x80;
  if (waiting > 56) {
    std::memset(context->buffer + waiting, 0, 64 - waiting);
    md5_transform(context->state, context->buffer);
    waiting = 0;
  }
  std::memset(context->buffer + waiting, 0, 56 - waiting);
  store_le32(context->buffer + 56, context->count[0]);
  store_le32(context->buffer + 60, context->count[1]);
  md5_transform(context->state, context->buffer);

  for (std::size_t i = 0; i < 4; ++i) store_le32(digest + 4 * i, context->state[i]);
}

void digest_to_hex(const unsigned char digest[16], char* out) {
  for (std::size_t i = 0; i < 16; ++i) {
    out[2 * i] = kHexDigits[digest[i] >> 4];
    out[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
  out[32] = '\0';
}

void md5_hex_in(Md5Context* context, const char* text, char* out) {
  md5_init(context);
  // One update covers any text the client builds; longer ones go in pieces
  // only because the length is a 32-bit word.
  std::size_t length = std::strlen(text);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  constexpr std::size_t kMaxPiece = std::numeric_limits<std::uint32_t>::max();
  while (length > kMaxPiece) {
    md5_update(context, bytes, static_cast<std::uint32_t>(kMaxPiece));
    bytes += kMaxPiece;
    length -= kMaxPiece;
  }
  md5_update(context, bytes, static_cast<std::uint32_t>(length));

  unsigned char digest[16];
  md5_final(digest, context);
  digest_to_hex(digest, out);
}

void md5_hex(const char* text, char* out) {
  Md5Context context{};
  md5_hex_in(&context, text, out);
  // The block buffer still holds the text's last bytes; calling memset
  // through a volatile pointer keeps the wipe from being optimised away.
  static void* (*const volatile wipe)(void*, int, std::size_t) = std::memset;
  wipe(&context, 0, sizeof context);
}

}  // namespace lumagate
