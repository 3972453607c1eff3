// OpenSSL's MD5, the tests' independent oracle for the client's proofs.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

namespace lumagate::testing {

// The digest of `text` as 32 lower-case hex digits; empty if OpenSSL fails.
inline std::string md5_oracle_hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr) != 1) return {};
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += digits[digest[i] >> 4];
    hex += digits[digest[i] & 15];
  }
  return hex;
}

}  // namespace lumagate::testing
