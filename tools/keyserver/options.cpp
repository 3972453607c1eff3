#include "options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <string_view>

#include "digest/md5.h"
#include "proof.h"

namespace lumagate::keyserver {
namespace {

constexpr long long kMaxSeconds = 100000000;  // keeps every sum in range
// Room for the line gaps, notices and a slow start before an answer.
constexpr long long kMinIdleMs = 30000;

// True when `text` is a whole decimal integer within [low, high].
bool parse_integer(std::string_view text, long long low, long long high, long long* value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [stop, fault] = std::from_chars(text.data(), end, *value);
  return fault == std::errc() && stop == end && *value >= low && *value <= high;
}

// True when `text` is a non-negative number of seconds with at most three
// decimals; `ms` receives it in milliseconds.
bool parse_seconds(std::string_view text, long long* ms) {
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  std::string_view fraction;
  if (dot != std::string_view::npos) {
    fraction = text.substr(dot + 1);
    if (fraction.empty() || fraction.size() > 3) return false;
  }
  long long seconds = 0;
  long long thousandths = 0;
  if (!parse_integer(whole, 0, kMaxSeconds, &seconds)) return false;
  if (!fraction.empty()) {
    if (fraction.find_first_not_of("0123456789") != std::string_view::npos) return false;
    parse_integer(fraction, 0, 999, &thousandths);
    for (std::size_t i = fraction.size(); i < 3; ++i) thousandths *= 10;
  }
  *ms = seconds * 1000 + thousandths;
  return true;
}

// The flags that take a value.
constexpr std::string_view kValueFlags[] = {"--address",          "--port",
                                            "--password",         "--digest",
                                            "--interval",         "--challenge-period",
                                            "--keepalive-period", "--line-gap",
                                            "--challenge",        "--info",
                                            "--message",          "--mode-required",
                                            "--max-seconds",      "--reset-after",
                                            "--max-connections",  "--idle-timeout",
                                            "--max-per-address"};
constexpr std::string_view kSwitches[] = {"--close-on-sorry", "--quiet"};

template <std::size_t N>
bool listed(const std::string_view (&names)[N], std::string_view name) {
  for (std::string_view known : names)
    if (known == name) return true;
  return false;
}

// Which defaults the command line has overridden.
struct Given {
  bool challenge_period = false;
  bool idle_timeout = false;
};

// Applies one flag and its value; false with `error` set when the value is
// unusable.
bool apply_value(std::string_view name, const std::string& value, KeyserverOptions* options,
                 Given* given, std::string* error) {
  long long number = 0;
  const std::string bad = "invalid value '" + value + "' for " + std::string(name) + ": ";
  if (name == "--address") {
    in_addr parsed{};
    if (inet_pton(AF_INET, value.c_str(), &parsed) != 1) {
      *error = bad + "expected a dotted-quad IPv4 address";
      return false;
    }
    options->address = value;
  } else if (name == "--port") {
    if (!parse_integer(value, 0, 65535, &number)) {
      *error = bad + "expected a port number from 0 to 65535";
      return false;
    }
    options->port = static_cast<int>(number);
  } else if (name == "--password") {
    if (has_control(value)) {
      *error = bad + "control characters cannot be typed as a password";
      return false;
    }
    char digest[kMd5HexSize];
    md5_hex(value.c_str(), digest);
    options->accounts.push_back({digest, true});
    if (value.size() > 63)
      options->notes.push_back("account " + std::to_string(options->accounts.size()) +
                               ": the client refuses passwords longer than 63 bytes, so this "
                               "account can never be used");
  } else if (name == "--digest") {
    if (value.empty() || value.size() > 32 || has_control(value)) {
      *error = bad + "expected 1 to 32 printable characters";
      return false;
    }
    options->accounts.push_back({value, false});
    if (!is_lower_hex_digest(value))
      options->notes.push_back("account " + std::to_string(options->accounts.size()) +
                               ": digest is not 32 lower-case hex digits; used exactly as given");
  } else if (name == "--interval") {
    if (!parse_integer(value, INT_MIN, INT_MAX, &number)) {
      *error = bad + "expected an integer";
      return false;
    }
    options->interval = static_cast<int>(number);
  } else if (name == "--challenge-period" || name == "--keepalive-period" ||
             name == "--max-seconds" || name == "--idle-timeout") {
    if (!parse_seconds(value, &number)) {
      *error = bad + "expected seconds, such as 30 or 0.5";
      return false;
    }
    if (name == "--challenge-period") {
      options->challenge_period_ms = number;
      given->challenge_period = true;
    } else if (name == "--idle-timeout") {
      options->idle_ms = number;
      given->idle_timeout = true;
    } else if (name == "--keepalive-period") {
      options->keepalive_period_ms = number;
    } else {
      options->max_ms = number;
    }
  } else if (name == "--reset-after") {
    if (!parse_integer(value, 0, INT_MAX, &number)) {
      *error = bad + "expected a number of verdicts, 0 for never";
      return false;
    }
    options->reset_after = static_cast<int>(number);
  } else if (name == "--max-connections") {
    if (!parse_integer(value, 1, 65536, &number)) {
      *error = bad + "expected a number of connections from 1 to 65536";
      return false;
    }
    options->max_connections = static_cast<int>(number);
  } else if (name == "--max-per-address") {
    if (!parse_integer(value, 1, 65536, &number)) {
      *error = bad + "expected a number of connections from 1 to 65536";
      return false;
    }
    options->max_per_address = static_cast<int>(number);
  } else if (name == "--line-gap") {
    if (!parse_integer(value, 0, 60000, &number)) {
      *error = bad + "expected milliseconds from 0 to 60000";
      return false;
    }
    options->line_gap_ms = number;
  } else {
    // The texts sent on the wire must stay on one line.
    if (has_control(value)) {
      *error = bad + "control characters would break the line";
      return false;
    }
    if (name == "--challenge") options->challenge = value;
    if (name == "--info") options->info = value;
    if (name == "--message") options->message = value;
    if (name == "--mode-required") options->mode_required = value;
  }
  return true;
}

}  // namespace

ParseOutcome parse_options(const std::vector<std::string>& args, KeyserverOptions* options,
                           std::string* error) {
  Given given;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") return ParseOutcome::kHelp;
    if (arg == "--self-test") return ParseOutcome::kSelfTest;
    std::string_view name = arg;
    std::optional<std::string> value;
    const std::size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = std::string_view(arg).substr(0, equals);
      value = arg.substr(equals + 1);
    }
    if (listed(kSwitches, name)) {
      if (value) {
        *error = "option " + std::string(name) + " takes no value";
        return ParseOutcome::kError;
      }
      if (name == "--close-on-sorry") options->close_on_sorry = true;
      if (name == "--quiet") options->quiet = true;
      continue;
    }
    if (!listed(kValueFlags, name)) {
      *error = "unknown option '" + arg + "'";
      return ParseOutcome::kError;
    }
    if (!value) {
      if (i + 1 == args.size()) {
        *error = "option " + arg + " needs a value";
        return ParseOutcome::kError;
      }
      value = args[++i];
    }
    if (!apply_value(name, *value, options, &given, error)) return ParseOutcome::kError;
  }
  if (options->accounts.empty()) {
    *error = "no account: give at least one --password or --digest";
    return ParseOutcome::kError;
  }
  // By default challenges follow the interval the client will keep: values
  // outside 1..600 leave it at its start value of 60.
  const long long kept_ms =
      (options->interval >= 1 && options->interval <= 600) ? options->interval * 1000LL : 60000;
  if (!given.challenge_period) options->challenge_period_ms = kept_ms;
  // A client speaks only to answer a challenge, and answers none while it
  // sleeps its interval: three of the longer of the two pass before a live
  // client counts as gone. Without challenges a live client never speaks.
  if (!given.idle_timeout && options->challenge_period_ms > 0)
    options->idle_ms = std::max(kMinIdleMs, 3 * std::max(kept_ms, options->challenge_period_ms));
  return ParseOutcome::kRun;
}

const char* usage_text() {
  return R"(Usage: lumagate-keyserver [options]
A Key-server simulator for trying out lumagatec: it greets each client with
LUMAGATE=n, challenges it, checks its RESPONSE proofs and answers GOOD or SORRY.
At least one account (--password or --digest) is required.

  --address ADDR          IPv4 address to listen on (default 127.0.0.2)
  --port N                TCP port, 0 for any free one (default 12040)
  --password TEXT         accept this password (repeatable)
  --digest TEXT           accept this password digest, used exactly as given,
                          like the client's -d (repeatable)
  --interval N            the n of the LUMAGATE=n lines; any integer, so odd
                          values can be tried (default 60)
  --challenge-period SEC  send a fresh CHALLENGE this long after the last
                          challenge or verdict; 0: only the first one
                          (default: the interval if it is 1..600, else 60)
  --keepalive-period SEC  send LUMAGATE=n this often; 0: never (default 0)
  --line-gap MS           least time between two lines to one client, unless
                          the client has sent a line in between (default 1500)
  --challenge TEXT        send this challenge text instead of random ones
  --info TEXT             send "INFO TEXT" just before every GOOD
  --message TEXT          send "MESSAGE TEXT" just before every GOOD
  --mode-required WORD    refuse every other access mode with SORRY
  --close-on-sorry        close the connection after sending SORRY
  --reset-after N         reset each connection (TCP RST) once its Nth verdict
                          is sent, so that the client must connect again
                          (default 0: never)
  --max-connections N     serve at most N clients at once; more are closed at
                          once (default 64, fewer when the descriptor limit
                          leaves no room for 64)
  --max-per-address N     let one client address hold at most N of them; more
                          are closed at once (default 4)
  --idle-timeout SEC      drop a client that has sent no line to answer for
                          this long (a blank line does not count); 0: never
                          (default: three times the longer of the challenge
                          period and the interval the client keeps, at least
                          30; never without challenges)
  --max-seconds SEC       stop by itself after this long (default: never)
  --quiet                 do not log events on standard output
  --self-test             run the built-in checks and exit
  -h, --help              show this text and exit

SEC values may have up to three decimals (0.5). Any VALUE may also be given as
--option=VALUE. SIGINT and SIGTERM stop the server with exit code 0; bad
options give exit code 2, a failure to listen exit code 1.

Pacing: the client handles one line at a time and pauses a second after
each; what a read brings behind a line waits for the next turn. Lines to a
client are spaced by --line-gap (0 sends them back to back), and notices come
just before GOOD, since after GOOD the client sleeps the interval before it
reads again.
)";
}

}  // namespace lumagate::keyserver
