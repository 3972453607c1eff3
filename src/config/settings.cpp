#include "config/settings.h"

#include <cstring>

namespace lumagate {

ClientSettings settings;

void copy_bounded(char* out, std::size_t size, const char* text) {
  if (size == 0) return;
  std::size_t length = 0;
  while (length < size - 1 && text[length] != '\0') ++length;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

}  // namespace lumagate
