// Built-in checks of the proof check and the option parser (--self-test).
// Expected proofs were computed apart from this code with md5sum.
#include "self_test.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "proof.h"

namespace lumagate::keyserver {
namespace {

// md5 of "secret", and proofs for challenge "abc def" made with it.
constexpr char kSecretDigest[] = "5ebe2294ecd0e0f08eab7690d2a6ee69";
constexpr char kProof123World[] = "9125bc8a7aa9f282531da1406690b19c";
constexpr char kProof7Empty[] = "d9ca4debdeb357b45beffb17c238b6a5";
constexpr char kProof5Blank[] = "f4f5b5fe5b7832f088b90f0b55a20596";

struct Checker {
  int checks = 0;
  int failures = 0;
  void expect(bool ok, const std::string& what) {
    ++checks;
    if (ok) return;
    ++failures;
    std::fprintf(stderr, "self-test: FAILED %s\n", what.c_str());
  }
};

void check_proofs(Checker& t) {
  const std::vector<Account> accounts = {{"0123456789abcdef0123456789abcdef", false},
                                         {kSecretDigest, false}};
  const std::optional<std::string> challenge = "abc def";
  const std::string good = std::string("RESPONSE ") + kProof123World;
  const auto judge = [&](const std::string& line, const std::optional<std::string>& required = {}) {
    return judge_line(line, challenge, accounts, required);
  };

  t.expect(expected_proof("abc def", "123", "WORLD", kSecretDigest) == kProof123World,
           "proof input is challenge, number, mode, digest");
  Verdict v = judge(good + " 123 WORLD");
  t.expect(v.good && v.account == 2 && v.line == "GOOD access granted (WORLD)",
           "a proof for the second account is accepted");
  v = judge(std::string("RESPONSE ") + kProof7Empty + " 7 ");
  t.expect(v.good && v.line == "GOOD access granted ()", "an empty access mode is accepted");
  v = judge(std::string("RESPONSE ") + kProof5Blank + " 5 A B");
  t.expect(v.good && v.line == "GOOD access granted (A B)",
           "the access mode runs to the end of the line, blanks included");
  v = judge(good + " 123 WORLD", "LOCAL");
  t.expect(!v.good && v.line == "SORRY access mode WORLD not allowed, only LOCAL",
           "--mode-required refuses a valid proof for another mode");
  t.expect(judge(good + " 123 WORLD", "WORLD").good, "--mode-required lets its own mode through");

  for (const std::string& line : {good + " 124 WORLD", good + " 123 LOCAL"})
    t.expect(judge(line).line == "SORRY wrong password",
             "a proof made for other values is refused: " + line);
  t.expect(judge_line(good + " 123 WORLD", std::string("abc"), accounts, {}).line ==
               "SORRY wrong password",
           "a proof for an older challenge is refused");
  t.expect(judge_line(good + " 123 WORLD", std::nullopt, accounts, {}).line ==
               "SORRY no challenge sent yet",
           "a response before any challenge is refused");

  const std::string upper = "RESPONSE 9125BC8A7AA9F282531DA1406690B19C";
  for (const std::string& line :
       {std::string("RESPONSE"), std::string("RESPONSE "), good, good + " 123",
        good + " 0123 WORLD", good + " -0 WORLD", good + " +123 WORLD", good + " 12a WORLD",
        good + "  123 WORLD", upper + " 123 WORLD",
        "RESPONSE " + std::string(kProof123World, 31) + " 123 WORLD",
        "RESPONSEX " + std::string(kProof123World) + " 123 WORLD", good + " 123 WOR\rLD"})
    t.expect(judge(line).line == "SORRY malformed RESPONSE", "malformed: " + line);
  t.expect(judge("HELLO").line == "SORRY expected RESPONSE <proof> <number> <mode>",
           "a line that is no RESPONSE is refused");
}

void check_lines(Checker& t) {
  std::string input = "one\r\ntwo\n\r\nthree\r";
  std::string line;
  std::vector<std::string> lines;
  while (take_line(&input, &line)) lines.push_back(line);
  t.expect(lines == std::vector<std::string>{"one", "two", ""} && input == "three\r",
           "lines end at LF or CR LF; an unfinished line waits");
}

ParseOutcome parse(const std::vector<std::string>& args, KeyserverOptions* options,
                   std::string* error) {
  return parse_options(args, options, error);
}

void check_options(Checker& t) {
  KeyserverOptions o;
  std::string error;
  t.expect(parse({"--password", "secret"}, &o, &error) == ParseOutcome::kRun &&
               o.address == "127.0.0.2" && o.port == 12040 && o.interval == 60 &&
               o.challenge_period_ms == 60000 && o.keepalive_period_ms == 0 &&
               o.line_gap_ms == 1500 && o.max_ms == 0 && !o.challenge && !o.close_on_sorry &&
               o.reset_after == 0 && o.max_connections == 64 && o.max_per_address == 4 &&
               o.idle_ms == 180000 && o.accounts.size() == 1 &&
               o.accounts[0].digest == kSecretDigest,
           "defaults, and a password becomes its digest");

  o = {};
  t.expect(parse({"--digest",
                  "ABC",
                  "--password=secret",
                  "--address=127.0.0.9",
                  "--port",
                  "0",
                  "--interval",
                  "5",
                  "--line-gap",
                  "0",
                  "--keepalive-period",
                  "2.5",
                  "--max-seconds",
                  "0.05",
                  "--password",
                  "-x",
                  "--quiet",
                  "--close-on-sorry",
                  "--reset-after",
                  "3"},
                 &o, &error) == ParseOutcome::kRun &&
               o.accounts.size() == 3 && o.accounts[0].digest == "ABC" &&
               o.accounts[1].digest == kSecretDigest && o.address == "127.0.0.9" && o.port == 0 &&
               o.challenge_period_ms == 5000 && o.line_gap_ms == 0 &&
               o.keepalive_period_ms == 2500 && o.max_ms == 50 && o.quiet && o.close_on_sorry &&
               o.reset_after == 3 && o.notes.size() == 1,
           "values in both forms, accounts in order, a note on an odd digest");

  for (const auto& [interval, period] : std::vector<std::pair<std::string, long long>>{
           {"1", 1000}, {"600", 600000}, {"601", 60000}, {"0", 60000}, {"-3", 60000}}) {
    o = {};
    t.expect(parse({"--password", "", "--interval", interval}, &o, &error) == ParseOutcome::kRun &&
                 o.challenge_period_ms == period && o.idle_ms == std::max(30000LL, 3 * period),
             "default challenge period and idle time for interval " + interval);
  }
  o = {};
  t.expect(parse({"--challenge-period", "0", "--interval", "5", "--digest", kSecretDigest}, &o,
                 &error) == ParseOutcome::kRun &&
               o.challenge_period_ms == 0 && o.idle_ms == 0,
           "an explicit challenge period wins over the interval; without challenges, no idle "
           "limit");

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--password"},
                                             {"--password", "x", "--bogus"},
                                             {"--password", "x", "--port", "65536"},
                                             {"--password", "x", "--port=12x"},
                                             {"--password", "x", "--address", "999.1.1.1"},
                                             {"--password", "x", "--challenge-period", "-1"},
                                             {"--password", "x", "--challenge-period", "1.2345"},
                                             {"--password", "x", "--interval", "1e3"},
                                             {"--password", "x", "--quiet=1"},
                                             {"--password", "x", "--max-per-address", "0"},
                                             {"--password", "x", "--info", "two\r\nlines"},
                                             {"--digest", std::string(33, 'a')},
                                             {"--digest", ""},
                                             {"--interval", "5"}}) {
    o = {};
    error.clear();
    std::string joined;
    for (const std::string& arg : args) joined += " " + arg;
    t.expect(parse(args, &o, &error) == ParseOutcome::kError && !error.empty(),
             "refused:" + joined);
  }
  o = {};
  t.expect(parse({"--bogus", "-h"}, &o, &error) == ParseOutcome::kError &&
               parse({"--port", "1", "--help", "--bogus"}, &o, &error) == ParseOutcome::kHelp,
           "help is answered unless an earlier option was bad");
}

}  // namespace

int run_self_test() {
  Checker t;
  check_proofs(t);
  check_lines(t);
  check_options(t);
  std::printf("self-test: %d of %d checks passed\n", t.checks - t.failures, t.checks);
  return t.failures == 0 ? 0 : 1;
}

}  // namespace lumagate::keyserver
