#include "runtime/text.h"

#include <cstring>

namespace lumagate {

void copy_bounded(char* out, std::size_t size, const char* text) {
  if (size == 0) return;
  std::size_t length = 0;
  while (length < size - 1 && text[length] != '\0') ++length;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

void cut_line_end(char* text) { text[std::strcspn(text, "\r\n")] = '\0'; }

}  // namespace lumagate
