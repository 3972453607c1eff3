#include <functional>
#include <string>

#include "hostile_servers.h"
#include "test_support.h"

namespace lumagate {
namespace {

std::string written;
TextBudget budget;
void collect(LogLevel, const char* message) { written += message; }
void line(std::int64_t at, const std::string& text, Verdict verdict = Verdict::kNone) {
  budget_line(budget, 2, verdict, (text + "\n").c_str(), at, collect);
}
// Spends the hour's budget but for less than a line, and holds a line back.
void spend() {
  for (int at = 0; at < 12; ++at) line(at, std::to_string(at) + std::string(700, 'x'));
}

TEST(TextBudget, RepeatsAreCountedAndHeldLinesToldWithTheirVerdict) {
  const Verdict good = Verdict::kGood, sorry = Verdict::kSorry;
  const std::string text(700, 'x');
  struct Case {
    std::function<void()> feed;
    std::string shown;
  };
  for (const Case& c : std::initializer_list<Case>{
           {[&] {
              for (int at : {0, 2, 30}) line(at, "GOOD a", good);
              line(31, "INFO b");
              for (int at : {32, 60, 92}) line(at, "GOOD a", good);
            },
            "GOOD a\n(the last server line came 2 times more)\nINFO b\nGOOD a\nGOOD a\n"},
           {[&] {
              for (int at = 0; at <= 602; at += 2) line(at, "GOOD a", good);
            },
            "GOOD a\n(the last server line came 291 times more)\n"},
           // A change of verdict, and a new connection's line, pass whole.
           {[&] {
              spend();
              line(12, "SORRY " + text, sorry);
              line(20, "GOOD y", good);
              line(80, "INFO");
            },
            "(1 server line held back)\nSORRY " + text + "\nGOOD (1 server line held back)\n"},
           {[&] {
              spend();
              budget_connection(budget, 12, collect);
              line(12, "INFO " + text);
            },
            "(1 server line held back)\nINFO " + text + "\n"}}) {
    written.clear();
    budget = TextBudget{};
    c.feed();
    EXPECT_TRUE(written.ends_with(c.shown)) << written;
  }
}

TEST(TextBudget, WhateverAServerSendsAboutTenKibAnHour) {
  for (hostile::Server server :
       {hostile::distinct_reconnecting, hostile::alternating_verdicts, hostile::same_good}) {
    EXPECT_LE(hostile::worst_hour(server), 11 * 1024 + 512);
  }
}

}  // namespace
}  // namespace lumagate
