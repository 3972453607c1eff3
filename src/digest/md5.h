// MD5 as RFC 1321 defines it, and its 32-digit lower-case text form.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumagate {

inline constexpr std::size_t kMd5HexSize = 33;

struct Md5Context {
  std::uint32_t state[4];
  std::uint32_t count[2];  // bits taken in, low half first
  unsigned char buffer[64];
};

void md5_init(Md5Context* context);
void md5_update(Md5Context* context, const unsigned char* bytes, std::uint32_t length);
void md5_final(unsigned char digest[16], Md5Context* context);
void md5_transform(std::uint32_t state[4], const unsigned char block[64]);
void digest_to_hex(const unsigned char digest[16], char* out);

// The digest of a terminated text as 32 lower-case hex digits into `out`
// (33 bytes).
void md5_hex(const char* text, char* out);

// As md5_hex, worked out in `context`, which afterwards still holds the
// text's last block: a caller that digests a secret wipes it.
void md5_hex_in(Md5Context* context, const char* text, char* out);

}  // namespace lumagate
