#include "proof.h"

#include <charconv>

#include "digest/md5.h"

namespace lumagate::keyserver {
namespace {

constexpr std::string_view kResponse = "RESPONSE";

// True when `text` is what printf's %d makes of some int: no sign but a
// leading minus, no leading zeros, no "-0".
bool is_canonical_int(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [stop, fault] = std::from_chars(text.data(), end, value);
  if (text.empty() || fault != std::errc() || stop != end) return false;
  const std::string_view digits = text[0] == '-' ? text.substr(1) : text;
  return !(digits.size() > 1 && digits[0] == '0') && text != "-0";
}

Verdict sorry(const std::string& text) { return {false, 0, "SORRY " + text}; }

}  // namespace

bool is_lower_hex_digest(std::string_view text) {
  return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool has_control(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

std::string expected_proof(std::string_view challenge, std::string_view number,
                           std::string_view mode, std::string_view digest) {
  std::string input;
  input.append(challenge).append(number).append(mode).append(digest);
  char proof[kMd5HexSize];
  md5_hex(input.c_str(), proof);
  return proof;
}

Verdict judge_line(std::string_view line, const std::optional<std::string>& challenge,
                   const std::vector<Account>& accounts,
                   const std::optional<std::string>& mode_required) {
  if (line.substr(0, kResponse.size()) != kResponse)
    return sorry("expected RESPONSE <proof> <number> <mode>");
  // The mode is everything after the third blank, so it may hold blanks
  // or be empty, as the client sends it unchecked.
  const std::size_t proof_at = kResponse.size() + 1;
  const std::size_t number_at = line.find(' ', proof_at) + 1;
  const std::size_t mode_at = number_at == 0 ? 0 : line.find(' ', number_at) + 1;
  if (line.size() < proof_at || line[proof_at - 1] != ' ' || mode_at == 0 || has_control(line))
    return sorry("malformed RESPONSE");
  const std::string_view proof = line.substr(proof_at, number_at - 1 - proof_at);
  const std::string_view number = line.substr(number_at, mode_at - 1 - number_at);
  const std::string_view mode = line.substr(mode_at);
  if (!is_lower_hex_digest(proof) || !is_canonical_int(number)) return sorry("malformed RESPONSE");
  if (!challenge) return sorry("no challenge sent yet");
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    if (expected_proof(*challenge, number, mode, accounts[i].digest) != proof) continue;
    if (mode_required && mode != *mode_required)
      return sorry("access mode " + std::string(mode) + " not allowed, only " + *mode_required);
    return {true, i + 1, "GOOD access granted (" + std::string(mode) + ")"};
  }
  return sorry("wrong password");
}

bool take_line(std::string* input, std::string* line) {
  const std::size_t end = input->find('\n');
  if (end == std::string::npos) return false;
  const std::size_t cut = (end > 0 && (*input)[end - 1] == '\r') ? end - 1 : end;
  line->assign(*input, 0, cut);
  input->erase(0, end + 1);
  return true;
}

}  // namespace lumagate::keyserver
