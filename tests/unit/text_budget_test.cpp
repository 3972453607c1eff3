#include <functional>
#include <string>

#include "hostile_text.h"
#include "runtime/text_budget.h"
#include "test_support.h"

namespace lumagate {
namespace {

std::string written;
void collect(LogLevel, const char* message) { written += message; }

struct Feed {
  TextBudget budget;
  void connect(std::int64_t at) { budget_connection(budget, at, collect); }
  void line(std::int64_t at, const std::string& text, Verdict verdict = Verdict::kNone) {
    budget_line(budget, 2, verdict, (text + "\n").c_str(), at, collect);
  }
};

TEST(TextBudget, RepeatsAreCountedAndHeldLinesToldWithTheirVerdict) {
  const Verdict good = Verdict::kGood, sorry = Verdict::kSorry;
  auto spend = [](Feed& f) {
    for (int at = 0; at < 12; ++at) f.line(at, std::to_string(at) + std::string(700, 'x'));
  };
  struct Case {
    const char* name;
    std::function<void(Feed&)> feed;
    std::string shown;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"a repeat within a minute is counted, told before another line",
            [&](Feed& f) {
              for (int at : {0, 2, 30}) f.line(at, "GOOD a", good);
              f.line(31, "INFO b");
              for (int at : {32, 60, 92}) f.line(at, "GOOD a", good);
            },
            "GOOD a\n(the last server line came 2 times more)\nINFO b\nGOOD a\nGOOD a\n"},
           {"repeats are told every ten minutes",
            [&](Feed& f) {
              for (int at = 0; at <= 602; at += 2) f.line(at, "GOOD a", good);
            },
            "GOOD a\n(the last server line came 291 times more)\n"},
           // The hour's budget spent but for less than a line, and a line
           // held back: a change of verdict, or a new connection's line,
           // still passes whole; a held verdict heads the note of the held.
           {"a change passes whole, a held verdict heads the note",
            [&](Feed& f) {
              spend(f);
              f.line(12, "SORRY " + std::string(700, 'x'), sorry);
              f.line(20, "GOOD y", good);
              f.line(80, "INFO");
            },
            "(1 server line held back)\nSORRY " + std::string(700, 'x') +
                "\nGOOD (1 server line held back)\n"},
           {"a connection's first line passes whole",
            [&](Feed& f) {
              spend(f);
              f.connect(12);
              f.line(12, "INFO " + std::string(700, 'x'));
            },
            "(1 server line held back)\nINFO " + std::string(700, 'x') + "\n"},
       }) {
    written.clear();
    Feed feed;
    c.feed(feed);
    EXPECT_TRUE(written.ends_with(c.shown)) << c.name << ":\n" << written;
  }
}

TEST(TextBudget, WhateverAServerSendsAboutTenKibAnHour) {
  for (const auto& [name, server] : std::initializer_list<std::pair<const char*, hostile::Server>>{
           {"distinct, reconnecting", hostile::distinct_reconnecting},
           {"alternating verdicts", hostile::alternating_verdicts},
           {"the same GOOD", hostile::same_good}}) {
    EXPECT_LE(hostile::worst_hour(server), 11 * 1024 + 512) << name;
  }
}

}  // namespace
}  // namespace lumagate
