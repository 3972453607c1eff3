// Client lines and the check of their proofs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace lumagate::keyserver {

struct Verdict {
  bool good = false;
  std::size_t account = 0;  // 1-based number of the matching account
  std::string line;         // the GOOD or SORRY line, without CR LF
};

// True for 32 lower-case hex digits, the form md5_hex writes.
bool is_lower_hex_digest(std::string_view text);

// True when the text holds a byte that would break or end a line.
bool has_control(std::string_view text);

// The proof a client holding `digest` sends for this challenge, number and
// access mode.
std::string expected_proof(std::string_view challenge, std::string_view number,
                           std::string_view mode, std::string_view digest);

// Judges one client line against the last challenge sent (none yet: nullopt).
Verdict judge_line(std::string_view line, const std::optional<std::string>& challenge,
                   const std::vector<Account>& accounts,
                   const std::optional<std::string>& mode_required);

// Moves the first complete line of `input` (ended by LF or CR LF) into
// `line` without its end; false while no line is complete.
bool take_line(std::string* input, std::string* line);

}  // namespace lumagate::keyserver
