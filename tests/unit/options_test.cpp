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
    "Lumagate command line client v." LUMAGATE_VERSION
    "\n"
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
    "  -h: show this help.\n"
    "  -i <interface>: network interface to keep the connection on;\n"
    "  -w <hours>: daily hours to run in, e.g. 06:00-23:30;\n"
    "  -e <program>: program to run on every change of access;\n"
    "  -o <state file>: path to the file the client keeps its state in;\n"
    "  -p: print the state of the running client and exit.\n";

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

// A value that can never be right is refused after the loop, as a refused
// argument is but without the usage text; -k -K behind it shows whether
// start-up got past it. A value is never cut into another one.
TEST_F(OptionsTest, ValuesThatCanNeverBeRightAreRefusedAfterTheLoop) {
  const std::string conflict = "-k and -K switches should not come together.\n";
  const std::string digest = "The password digest must be 32 hexadecimal digits.\n";
  const std::string control = "The access mode must not hold control characters.\n";
  const std::string quad =
      "The server address must be a host name or a plain dotted quad: four numbers from 0 to 255 "
      "without leading zeros.\n";
  const std::string colon =
      "The server address must be a host name or a plain dotted quad, without a colon: the client "
      "speaks IPv4 only, always to port 12040.\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-m", std::string(722, 'm')},
       "The access mode is too long: no answer to the Key-server could carry it.\n"},
      // With a 32-digit proof and a one-digit number, 721 characters fit.
      {{"-m", std::string(721, 'm')}, conflict},
      {{"-m", "WORLD\r\nRESPONSE"}, control},
      {{"-m", "\x1b[31mWORLD"}, control},
      {{"-m", "WOR\tLD"}, control},
      {{"-m", "WORLD\x7f"}, control},
      {{"-s", std::string(254, 's')},
       "The server address is too long: a host name has at most 253 characters.\n"},
      {{"-s", std::string(253, 's')}, conflict},
      // An address reader takes these as 127.0.0.8, 127.0.0.1 and 8.1.2.3.
      {{"-s", "127.000.000.010"}, quad},
      {{"-s", "0x7f.1"}, quad},
      {{"-s", "2130706433"}, quad},
      {{"-s", "010.001.002.003 "}, quad},
      {{"-s", "1.2.3.4.5"}, quad},
      {{"-s", "::ffff:10.1.2.3"}, colon},
      {{"-s", "10.1.2.3:12040"}, colon},
      {{"-s", "10.0.0.255"}, conflict},
      {{"-s", "123abc.0x1.example"}, conflict},
      {{"-d", "zz"}, digest},
      {{"-d", std::string(32, 'z')}, digest},
      {{"-d", "0123456789abcdef0123456789abcdef0"}, digest},
      {{"-d", "0123456789ABCDEF0123456789abcdef"}, conflict},
      {{"-d", ""}, conflict},
  };
  for (const auto& [values, said] : cases) {
    settings.access_mode = "WORLD";
    std::vector<std::string> words = {"lumagatec"};
    words.insert(words.end(), values.begin(), values.end());
    words.insert(words.end(), {"-k", "-K"});
    std::vector<char*> argv;
    argv.reserve(words.size());
    for (auto& word : words) argv.push_back(word.data());
    std::array<char, kServerAddressSize> server{};
    std::array<char, kDigestSize> digest_buffer{};
    CaptureStdout();
    int returned = -1;  // stays so when start-up ends through the exit path
    testing::exit_code_of([&] {
      returned = parse_command_line(static_cast<int>(argv.size()), argv.data(), server.data(),
                                    server.size(), digest_buffer.data(), digest_buffer.size());
    });
    EXPECT_EQ(messages(GetCapturedStdout()), said) << values[0] << " " << values[1].size();
    EXPECT_EQ(returned, said == conflict ? -1 : 1);
  }
}

}  // namespace
}  // namespace lumagate
