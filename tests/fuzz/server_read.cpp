// One wake of the session after another, fed with what a server sends:
// the line cut, the rest of a cut line dropped, what stays for the next
// wake, the keep-alive interval rule, the challenge split, and the answer
// or its refusal.
//
// Input: the access mode, a line feed, the password digest (cut to 32
// characters as -d cuts it), a line feed, then the server's bytes, sent in
// pieces separated by "\xff\xfe"; a read takes at most 767 bytes of a piece.
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_target.h"
#include "md5_oracle.h"
#include "runtime/lifecycle.h"
#include "runtime/settings.h"
#include "session/session.h"

namespace {

using lumagate::kLineSize;
using lumagate::fuzz::check;

constexpr std::string_view kPieceEnd = "\xff\xfe";
constexpr std::size_t kLongestRead = kLineSize - 1;

// Takes the text up to the next line feed off the front of `input`: as a
// command-line value, it ends at a NUL.
std::string take_field(std::string_view& input) {
  const std::size_t end = std::min(input.find('\n'), input.size());
  std::string field(input.substr(0, end));
  input.remove_prefix(std::min(end + 1, input.size()));
  return field.substr(0, field.find('\0'));
}

// The server's side: pieces sent one after another, read at most 767
// bytes at a time. Everything read is kept, to compare against.
struct Server {
  std::string_view unsent;
  std::string piece;
  std::string received;

  // The next read of at most `room` bytes into `buffer`; its length, 0 once
  // everything is read.
  std::size_t read(char* buffer, std::size_t room = kLongestRead) {
    while (piece.empty() && !unsent.empty()) {
      const std::size_t end = std::min(unsent.find(kPieceEnd), unsent.size());
      piece = unsent.substr(0, end);
      unsent.remove_prefix(std::min(end + kPieceEnd.size(), unsent.size()));
    }
    const std::size_t length = std::min(piece.size(), room);
    std::memcpy(buffer, piece.data(), length);
    received.append(piece, 0, length);
    piece.erase(0, length);
    return length;
  }
};

// The line a wake must handle in `text`, and how many bytes it uses up
// with its line end.
std::size_t expected_line(const std::string& text, std::string* line) {
  const std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
  *line = text.substr(0, std::min(end, text.find('\0')));
  if (end == text.size()) return end;
  return end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
}

void check_keepalive(const char* line, int* interval) {
  const int next = lumagate::keepalive_interval(line, *interval);
  check(next == *interval || (next >= 1 && next <= 600), "an interval outside 1 to 600");
  check(next == *interval || std::strchr(line, '=') != nullptr, "an interval without '='");
  *interval = next;
}

// The answer must prove exactly the challenge, number, mode and digest, or
// be refused, leaving nothing behind, when any of it would be cut.
void check_answer(const char* line, const std::string& mode, const std::string& digest,
                  std::uint32_t seed) {
  const char* challenge = lumagate::challenge_of(line);
  const char* blank = std::strchr(line, ' ');
  check(blank != nullptr ? challenge == blank + 1 : *challenge == '\0', "the challenge split");
  lumagate::seed_random(seed);
  const std::string number = std::to_string(lumagate::draw_random());
  lumagate::seed_random(seed);
  char out[kLineSize] = {};
  const int refused = lumagate::build_response(challenge, digest.c_str(), out);

  const std::string input = challenge + number + mode + digest;
  const std::string answer =
      "RESPONSE " + lumagate::testing::md5_oracle_hex(input) + " " + number + " " + mode + "\r\n";
  const bool fits = input.size() <= kLongestRead && answer.size() <= kLongestRead;
  check(refused == (fits ? 0 : 1), "an answer refused although it fits, or sent though cut");
  if (fits) {
    check(answer == out, "an answer that does not prove its challenge");
  } else {
    check(std::string_view(out, sizeof out).find_first_not_of('\0') == std::string_view::npos,
          "a refused answer left text behind");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string mode = take_field(input);
  const std::string digest = take_field(input).substr(0, 32);
  lumagate::settings.access_mode = mode.c_str();

  char line[kLineSize];
  char kept[kLineSize];
  lumagate::ReceivedText text{line, kept, 0};
  Server server{input, {}, {}};
  std::size_t handled = 0;
  int interval = 60;
  bool dropping = false;
  for (std::uint32_t wake = 0;; ++wake) {
    std::size_t length = lumagate::take_kept_text(text);
    if (length == 0) {
      length = server.read(line);
      if (length == 0) break;
      // The rest of a cut line goes, up to and including its line end.
      const std::string read(line, length);
      std::string rest;
      const std::size_t used = dropping ? expected_line(read, &rest) : 0;
      dropping = dropping && read.find_first_of("\r\n") == std::string::npos;
      length = lumagate::drop_rest_of_cut_line(text, length);
      check(std::string(line, length) == read.substr(used), "the rest of a cut line");
      check(text.dropping == dropping, "dropping the rest of a cut line");
      handled += used;
      if (length == 0) continue;
    }
    // A line without its end is joined with the reads that follow, until
    // its line end has come.
    while (length < kLongestRead && !lumagate::ends_a_line(line, length)) {
      const std::size_t read = server.read(line + length, kLongestRead - length);
      if (read == 0) break;
      length += read;
    }
    // The wake's text is exactly what came next from the server.
    const std::string whole(line, length);
    check(server.received.compare(handled, std::string::npos, whole) == 0, "kept text changed");

    lumagate::keep_rest(text, length);
    std::string wanted;
    const std::size_t used = expected_line(whole, &wanted);
    check(wanted == line, "the line of a wake");
    check(text.kept_length == length - used, "what is kept for the next wake");
    check(std::memcmp(kept, whole.data() + used, text.kept_length) == 0, "the kept text");
    dropping = length == kLongestRead && whole.find_first_of("\r\n") == std::string::npos;
    check(text.dropping == dropping, "a line cut at the buffer's end");
    handled += used;

    if (std::strncmp(line, "LUMAGATE", 8) == 0) check_keepalive(line, &interval);
    if (std::strncmp(line, "CHALLENGE", 9) == 0) check_answer(line, mode, digest, wake);
  }
  check(handled == server.received.size(), "bytes received but never handled");
  lumagate::settings.access_mode = nullptr;
  return 0;
}
