#include "runtime/text.h"

#include <cstdio>
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

std::size_t cut_first_line(char* text, std::size_t length) {
  for (std::size_t at = 0; at < length; ++at) {
    if (text[at] != '\r' && text[at] != '\n') continue;
    const bool cr_lf = text[at] == '\r' && at + 1 < length && text[at + 1] == '\n';
    text[at] = '\0';
    return at + (cr_lf ? 2 : 1);
  }
  return length;
}

int format_response(char* out, std::size_t size, const char* proof, int number, const char* mode) {
  return std::snprintf(out, size, "RESPONSE %s %d %s\r\n", proof, number, mode);
}

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
