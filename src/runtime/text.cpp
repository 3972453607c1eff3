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

void show_controls(char* out, std::size_t size, const char* text) {
  if (size == 0) return;
  constexpr unsigned char kDelete = 0x7F;
  std::size_t length = 0;
  for (; *text != '\0'; ++text) {
    const auto c = static_cast<unsigned char>(*text);
    const bool control = (c < ' ' && c != '\t') || c == kDelete;
    if (length + (control ? 2 : 1) > size - 1) break;
    if (control) {
      out[length++] = '^';
      out[length++] = static_cast<char>(c ^ 0x40u);
    } else {
      out[length++] = *text;
    }
  }
  out[length] = '\0';
}

}  // namespace lumagate
