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

namespace {

constexpr unsigned char kLastC1 = 0x9F;

// The length of the well-formed UTF-8 sequence that `text` starts with; 0
// when it starts none. The text's terminator ends any sequence.
std::size_t utf8_sequence_length(const unsigned char* text) {
  struct Lead {
    unsigned char first, last;  // the lead bytes of this form
    unsigned char length;
    unsigned char low, high;  // what the second byte may be
  };
  constexpr Lead kLeads[] = {
      {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
      {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
      {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
  };
  for (const Lead& lead : kLeads) {
    if (text[0] < lead.first || text[0] > lead.last) continue;
    if (text[1] < lead.low || text[1] > lead.high) return 0;
    for (std::size_t at = 2; at < lead.length; ++at) {
      if (text[at] < 0x80 || text[at] > 0xBF) return 0;
    }
    return lead.length;
  }
  return 0;
}

// How the start of a text is shown: `length` characters in `text`, for
// `used` bytes of it.
struct Form {
  char text[4];
  std::size_t length;
  std::size_t used;
};

// A control character in caret notation; a C1 control (as `c1` says the
// console takes them) as "M-^" and the caret form of its low bits, as
// "cat -v" shows it; anything else, a whole UTF-8 character at a time
// where the console reads UTF-8, as it is.
Form shown_form(const unsigned char* text, platform::C1Controls c1) {
  using platform::C1Controls;
  const unsigned char c = text[0];
  if (is_control_character(static_cast<char>(c)) && c != '\t') {
    return {{'^', static_cast<char>(c ^ 0x40u)}, 2, 1};
  }
  std::size_t sequence = c >= 0x80 ? utf8_sequence_length(text) : 1;
  if (c1 == C1Controls::kEveryByte) sequence = 1;
  // U+0080 to U+009F in UTF-8, or a byte of that range on its own.
  const bool c1_in_utf8 = sequence == 2 && c == 0xC2 && text[1] <= kLastC1;
  const bool lone_c1 = sequence <= 1 && c >= 0x80 && c <= kLastC1;
  if (c1 != C1Controls::kText && (c1_in_utf8 || lone_c1)) {
    const unsigned char low = (c1_in_utf8 ? text[1] : c) & 0x1Fu;
    return {{'M', '-', '^', static_cast<char>(low ^ 0x40u)}, 4, c1_in_utf8 ? 2u : 1u};
  }
  Form form{{}, sequence == 0 ? 1 : sequence, 0};
  std::memcpy(form.text, text, form.length);
  form.used = form.length;
  return form;
}

}  // namespace

void show_controls(char* out, std::size_t size, const char* text, platform::C1Controls c1) {
  if (size == 0) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t length = 0;
  while (*bytes != '\0') {
    const Form form = shown_form(bytes, c1);
    if (length + form.length > size - 1) break;
    std::memcpy(out + length, form.text, form.length);
    length += form.length;
    bytes += form.used;
  }
  out[length] = '\0';
}

std::string decimal(long long value) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%lld", value);
  return digits;
}

std::string shown_as_logged(const char* text, std::size_t size) {
  std::string out(size, '\0');
  show_controls(out.data(), size, text, platform::console_c1_controls());
  out.resize(std::strlen(out.c_str()));
  return out;
}

}  // namespace lumagate
