#include <array>
#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "digest/md5.h"
#include "runtime/text.h"
#include "session/discovery.h"
#include "session/session.h"
#include "test_support.h"

namespace lumagate {
namespace {

TEST(CutLineEnd, EndsTheTextAtTheFirstCrOrLf) {
  for (const auto& [text, line] : std::initializer_list<std::pair<std::string, std::string>>{
           {"GOOD welcome\r\nINFO x\r\n", "GOOD welcome"},
           {"LF only\nrest", "LF only"},
           {"\r\n", ""},
           {"no end", "no end"},
           {"a\rb\nc", "a"}}) {
    std::string buffer = text;
    cut_line_end(buffer.data());
    EXPECT_STREQ(buffer.c_str(), line.c_str()) << text;
  }
}

TEST(CutFirstLine, EndsTheFirstLineAndTellsWhereTheRestBegins) {
  struct Case {
    std::string text, line, rest;
  };
  for (const Case& c :
       std::initializer_list<Case>{{"INFO x\r\nGOOD y\r\n", "INFO x", "GOOD y\r\n"},
                                   {"a\nb", "a", "b"},
                                   {"a\rb", "a", "b"},
                                   {"\r\n\r\n", "", "\r\n"},
                                   {"no end", "no end", ""},
                                   {std::string("NUL\0x\nnext", 10), "NUL", "next"}}) {
    std::string buffer = c.text;
    const std::size_t rest = cut_first_line(buffer.data(), buffer.size());
    EXPECT_STREQ(buffer.c_str(), c.line.c_str()) << c.text;
    EXPECT_EQ(buffer.substr(rest), c.rest) << c.text;
  }
}

// Controls in caret notation; C1 controls too, as the console takes them:
// in UTF-8, never a byte of a well-formed character; on an 8-bit terminal,
// every byte from 0x80 to 0x9F.
TEST(ShowControls, MakesControlsVisibleAndLeavesCharactersWhole) {
  using platform::C1Controls;
  struct Case {
    std::string text, in_utf8, as_text, every_byte;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"a\x1b[2J\tb\x7f", "a^[[2J\tb^?", "a^[[2J\tb^?", "a^[[2J\tb^?"},
           // alone, and U+009B in UTF-8
           {"\x9b\xc2\x9b", "M-^[M-^[", "\x9b\xc2\x9b", "M-^[\xc2M-^["},
           // UTF-8, Latin-1
           {"caf\xc3\xa9 \xe9", "caf\xc3\xa9 \xe9", "caf\xc3\xa9 \xe9", "caf\xc3\xa9 \xe9"},
           // U+201B and U+00DD hold 0x9B and 0x9D
           {"\xe2\x80\x9b\xc3\x9d", "\xe2\x80\x9b\xc3\x9d", "\xe2\x80\x9b\xc3\x9d",
            "\xe2M-^@M-^[\xc3M-^]"},
           {"\xe2\x9b", "\xe2M-^[", "\xe2\x9b", "\xe2M-^["},  // a character cut short
           {"\xc0\x9b \xed\xa0\x80", "\xc0M-^[ \xed\xa0M-^@", "\xc0\x9b \xed\xa0\x80",
            "\xc0M-^[ \xed\xa0M-^@"},
       }) {
    for (const auto& [c1, expected] : {std::pair{C1Controls::kInUtf8, c.in_utf8},
                                       {C1Controls::kText, c.as_text},
                                       {C1Controls::kEveryByte, c.every_byte}}) {
      char shown[24];
      show_controls(shown, sizeof shown, c.text.c_str(), c1);
      EXPECT_EQ(std::string(shown), expected) << c.text;
    }
  }
  char cut[6];  // room for 5: the form of a C1 control is not split
  show_controls(cut, sizeof cut, "ab\x9b", C1Controls::kInUtf8);
  EXPECT_STREQ(cut, "ab");
}

TEST(KeepaliveInterval, TakesAtMostThreeCharactersFrom1To600) {
  EXPECT_EQ(keepalive_interval("LUMAGATE=30", 60), 30);
  EXPECT_EQ(keepalive_interval("LUMAGATE=1200", 60), 120);
  EXPECT_EQ(keepalive_interval("LUMAGATE=600", 60), 600);
  EXPECT_EQ(keepalive_interval("LUMAGATE=1", 60), 1);
  EXPECT_EQ(keepalive_interval("LUMAGATE= 42", 60), 42);
  EXPECT_EQ(keepalive_interval("LUMAGATE x=7=9", 60), 7);  // the first "=" counts
  for (const char* kept :
       {"LUMAGATE=0", "LUMAGATE=601", "LUMAGATE=abc", "LUMAGATE=-5", "LUMAGATE=", "LUMAGATE"}) {
    EXPECT_EQ(keepalive_interval(kept, 45), 45) << kept;
  }
}

TEST(RefusalWait, ASecondThriceThenTenSecondsDoublingToFiveMinutesLessATenth) {
  for (const auto& [refusals, wait] :
       std::initializer_list<std::pair<int, std::uint32_t>>{{1, 1000},
                                                            {3, 1000},
                                                            {4, 10000},
                                                            {5, 20000},
                                                            {8, 160000},
                                                            {9, 300000},
                                                            {1000, 300000}}) {
    EXPECT_EQ(refusal_wait_ms(refusals, 0), wait) << refusals;
    EXPECT_EQ(refusal_wait_ms(refusals, 32767), refusals > 3 ? wait - wait / 10 : wait) << refusals;
  }
}

class ResponseTest : public testing::SettingsTest {};

TEST_F(ResponseTest, ProvesTheChallengeWithNumberModeAndDigest) {
  settings.access_mode = "local";
  const char* digest = "0123456789abcdef0123456789ABCDEF";
  std::array<char, kLineSize> out{};
  seed_random(7);
  build_response("abc def", digest, out.data());

  std::cmatch parts;
  ASSERT_TRUE(
      std::regex_match(out.data(), parts, std::regex("RESPONSE ([0-9a-f]{32}) ([0-9]+) local\r\n")))
      << out.data();
  const std::string input = "abc def" + parts[2].str() + "local" + digest;
  char proof[kMd5HexSize];
  md5_hex(input.c_str(), proof);
  EXPECT_EQ(parts[1].str(), proof);
}

TEST_F(ResponseTest, SameChallengeDrawsFreshNumbers) {
  seed_random(12345);
  std::set<std::string> answers;
  for (int round = 0; round < 5; ++round) {
    std::array<char, kLineSize> out{};
    build_response("same", "digest", out.data());
    answers.insert(out.data());
  }
  EXPECT_EQ(answers.size(), 5u);
}

TEST(RandomSource, OneSeedOneSequenceWithin15Bits) {
  seed_random(42);
  std::array<int, 50> first{};
  for (int& number : first) number = draw_random();
  seed_random(42);
  for (int number : first) {
    EXPECT_EQ(draw_random(), number);
    EXPECT_GE(number, 0);
    EXPECT_LE(number, 32767);
  }
}

TEST_F(ResponseTest, NothingThatWouldBeCutIsAnswered) {
  std::array<char, kLineSize> out{};
  // A cut proof input would leave digest digits out of the proof.
  EXPECT_EQ(build_response(std::string(900, 'c').c_str(), "d", out.data()), 1);
  EXPECT_STREQ(out.data(), "");
  // An access mode that fits the line only beside a one-digit number.
  const std::string mode(kLineSize - 1 - std::strlen("RESPONSE  0 \r\n") - 32, 'm');
  settings.access_mode = mode.c_str();
  seed_random(7);
  ASSERT_GE(draw_random(), 10);
  seed_random(7);
  EXPECT_EQ(build_response("", "d", out.data()), 1);
  EXPECT_STREQ(out.data(), "");
}

TEST(Gateways, OnlyEthernetGatewaysAtMostSeven) {
  using platform::AdapterGateway;
  constexpr int kOther = 71;
  std::vector<AdapterGateway> adapters = {
      {6, "192.0.2.1"}, {kOther, "192.0.2.2"}, {6, "0.0.0.0"}, {6, ""}, {6, "192.0.2.1"}};
  CandidateList list{};
  ASSERT_EQ(gateways_into(list, 3, adapters), 2);
  EXPECT_STREQ(list[0].data(), "192.0.2.1");
  EXPECT_STREQ(list[1].data(), "192.0.2.1");  // shared gateways are tried twice

  adapters.clear();
  for (int i = 1; i <= 9; ++i) adapters.push_back({6, "198.51.100." + std::to_string(i)});
  EXPECT_EQ(gateways_into(list, 3, adapters), 7);
  EXPECT_STREQ(list[6].data(), "198.51.100.7");
}

}  // namespace
}  // namespace lumagate
