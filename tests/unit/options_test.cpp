#include <array>
#include <initializer_list>
#include <string>
#include <vector>

#include "config/options.h"
#include "test_support.h"

namespace lumagate {
namespace {

using testing::messages;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

constexpr const char* kUsage =
    "Lumagate command line client v.1.0\n"
    "Copyright (c) 2026 The lumagatec authors\n"
    "Valid command line switches are:\n"
    "  -f <pswd file>: path to file containing Lumagate password in plain text;\n"
    "  -s <server address>: IP-address or hostname of the nearest Lumagate server;\n"
    "  -m <access mode>: network access mode (WORLD,LOCAL or NONE);\n"
    "  -d <pswd digest>: password MD5 digest string in plain text;\n"
    "  -l <log file>: path to logfile (will be created) to append messages to;\n"
    "  -v: turn on verbose output (print send/recv messages);\n"
    "  -c: turn on coloured output;\n"
    "  -q: be quiet, do not print messages to console (excluding password prompt);\n"
    "  -h: show this help.\n";

class OptionsTest : public testing::SettingsTest {
 protected:
  // Runs the option loop over `arguments` (the program name is added).
  int read(std::initializer_list<std::string> arguments) {
    storage_.assign(1, "lumagatec");
    storage_.insert(storage_.end(), arguments);
    pointers_.clear();
    for (auto& argument : storage_) pointers_.push_back(argument.data());
    pointers_.push_back(nullptr);
    server_.fill('\0');
    digest_.fill('\0');
    state_ = SwitchState{};
    return read_switches(static_cast<int>(storage_.size()), pointers_.data(), state_,
                         server_.data(), server_.size(), digest_.data(), digest_.size());
  }

  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
  std::array<char, 64> server_{};
  std::array<char, 33> digest_{};
  SwitchState state_;
};

TEST_F(OptionsTest, OnlyTheSecondCharacterCounts) {
  EXPECT_EQ(read({"-", "-verbose", "-", "-quiet", "-shost", "server.example", "-mode", "local",
                  "-dABCDEF", "ABCDEF0123"}),
            0);
  EXPECT_EQ(settings.verbose, 1);
  EXPECT_EQ(settings.quiet, 1);
  EXPECT_STREQ(server_.data(), "server.example");
  EXPECT_STREQ(settings.access_mode, "local");
  EXPECT_STREQ(digest_.data(), "abcdef0123");  // in lower case, as proofs take it
}

TEST_F(OptionsTest, ValuesAreTakenWhateverTheyLookLike) {
  EXPECT_EQ(read({"-l", "-v", "-f", "", "-s", "first", "-s", "second", "-k"}), 0);
  EXPECT_STREQ(settings.log_file_path, "-v");
  EXPECT_EQ(settings.verbose, 0);
  ASSERT_NE(state_.password_file, nullptr);
  EXPECT_STREQ(state_.password_file, "");
  EXPECT_STREQ(server_.data(), "second");
  EXPECT_TRUE(state_.k_given);
  EXPECT_FALSE(state_.capital_k_given);
}

TEST_F(OptionsTest, LongValuesAreCutToTheirBuffers) {
  EXPECT_EQ(read({"-s", std::string(100, 's'), "-d", std::string(40, 'd')}), 0);
  EXPECT_EQ(std::string(server_.data()), std::string(63, 's'));
  EXPECT_EQ(std::string(digest_.data()), std::string(32, 'd'));
}

TEST_F(OptionsTest, RefusesOtherArgumentsWithTheUsageText) {
  for (const std::string bad : {"--", "-V", "-x", "/?", "word", ""}) {
    CaptureStdout();
    EXPECT_EQ(read({"-v", bad, "-h"}), 1) << bad;  // -h after it is never read
    EXPECT_EQ(messages(GetCapturedStdout()), "Invalid option: " + bad + "\n" + kUsage) << bad;
  }
}

TEST_F(OptionsTest, AMissingValueIsRefusedWithoutTheUsageText) {
  for (const std::string letter : {"f", "l", "s", "d", "m"}) {
    CaptureStdout();
    EXPECT_EQ(read({"-" + letter + "extra"}), 1);
    EXPECT_EQ(messages(GetCapturedStdout()),
              "Value must be supplied for option -" + letter + ".\n");
  }
}

TEST_F(OptionsTest, HelpEndsWithCodeZeroEvenWhenQuiet) {
  CaptureStdout();
  EXPECT_EQ(testing::exit_code_of([&] { read({"-q", "-k", "-K", "-h", "-x"}); }), 0);
  EXPECT_EQ(GetCapturedStdout(), kUsage);
}

TEST_F(OptionsTest, EverySwitchActsWhereItStands) {
  const std::string log = path("out.log");
  CaptureStdout();
  EXPECT_EQ(read({"-l", log, "-q", "-x"}), 1);
  EXPECT_EQ(GetCapturedStdout(), kUsage);  // the refusal is quiet, the usage is not
  EXPECT_EQ(messages(read_file(log)), "Invalid option: -x\r\n");

  settings = ClientSettings{};
  CaptureStdout();
  EXPECT_EQ(read({"-x", "-q"}), 1);
  EXPECT_EQ(messages(GetCapturedStdout()), std::string("Invalid option: -x\n") + kUsage);
}

TEST_F(OptionsTest, TheKSwitchesConflictOnlyAfterTheLoop) {
  std::array<char, 64> server{};
  std::array<char, 33> digest{};
  std::vector<std::string> words = {"lumagatec", "-k", "-K"};
  std::vector<char*> argv;
  argv.reserve(words.size());
  for (auto& word : words) argv.push_back(word.data());
  CaptureStdout();
  EXPECT_EQ(testing::exit_code_of(
                [&] { parse_command_line(3, argv.data(), server.data(), 64, digest.data(), 33); }),
            1);
  EXPECT_EQ(messages(GetCapturedStdout()), "-k and -K switches should not come together.\n");

  CaptureStdout();
  EXPECT_EQ(read({"-k", "-K", "-x"}), 1);
  EXPECT_EQ(messages(GetCapturedStdout()), std::string("Invalid option: -x\n") + kUsage);
}

TEST_F(OptionsTest, AnAccessModeNoAnswerCanCarryIsRefusedAfterTheLoop) {
  // What start-up says with an access mode of `length` characters and -k -K
  // behind it, whose refusal shows that start-up got past the mode.
  auto start_up = [](std::size_t length, int* returned) {
    std::vector<std::string> words = {"lumagatec", "-m", std::string(length, 'm'), "-k", "-K"};
    std::vector<char*> argv;
    argv.reserve(words.size());
    for (auto& word : words) argv.push_back(word.data());
    std::array<char, 64> server{};
    std::array<char, 33> digest{};
    CaptureStdout();
    *returned = -1;  // stays so when start-up ends through the exit path
    testing::exit_code_of([&] {
      *returned = parse_command_line(5, argv.data(), server.data(), 64, digest.data(), 33);
    });
    return messages(GetCapturedStdout());
  };
  int returned = 0;
  EXPECT_EQ(start_up(722, &returned),
            "The access mode is too long: no answer to the Key-server could carry it.\n");
  EXPECT_EQ(returned, 1);  // as for a refused argument: no usage, exit code 1
  // With a 32-digit proof and a one-digit number, 721 characters fit.
  EXPECT_EQ(start_up(721, &returned), "-k and -K switches should not come together.\n");
}

}  // namespace
}  // namespace lumagate
