#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/password.h"
#include "digest/md5.h"
#include "test_support.h"

namespace lumagate {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

std::string digest_of(const std::string& text) {
  char digest[kDigestSize];
  md5_hex(text.c_str(), digest);
  return digest;
}

// Keeps LUMAGATE as the test found it.
class PasswordTest : public testing::SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    if (const char* value = std::getenv("LUMAGATE")) saved_ = value;
  }
  void TearDown() override {
    if (saved_) {
      testing::set_environment("LUMAGATE", saved_->c_str());
    } else {
      testing::unset_environment("LUMAGATE");
    }
    SettingsTest::TearDown();
  }

  // The password read from a file holding `content`; none when refused.
  std::optional<std::string> read_back(const std::string& content) {
    write_file(path("pw"), content);
    char password[kPasswordSize];
    std::memset(password, '#', sizeof password);
    if (read_password_file(path("pw").c_str(), password, sizeof password) != 0) return {};
    return std::string(password, strnlen(password, sizeof password));
  }

  std::optional<std::string> saved_;
};

// A first line longer than 63 bytes is refused: cut, it would be another
// password.
TEST_F(PasswordTest, FileGivesItsFirstLineOfAtMost63Bytes) {
  const std::string long_line(64, 'q');
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"", ""},
      {"secret", "secret"},
      {"secret\r\nsecond\r\n", "secret"},
      {"\nsecond", ""},
      {"  blanks stay \t\n", "  blanks stay \t"},
      {"cr\ralone", "cr"},
      {std::string("nul\0after", 9), "nul"},
      {"\xe9t\xe9\n", "\xe9t\xe9"},
      {long_line + "\n", std::nullopt},
      {std::string(63, 'a') + "\r\n", std::string(63, 'a')},
      {std::string(63, 'a'), std::string(63, 'a')},
  };
  for (const auto& [content, expected] : cases) {
    CaptureStdout();
    EXPECT_EQ(read_back(content), expected) << "file: " << content;
    EXPECT_EQ(testing::messages(GetCapturedStdout()),
              expected ? ""
                       : "The password file's first line is longer than 63 bytes, the most "
                         "the client takes.\n");
  }
}

TEST_F(PasswordTest, FileFailuresAreReportedWithoutTheFileName) {
  const std::string missing = path("no-such-file");
  char password[kPasswordSize] = "";

  CaptureStdout();
  EXPECT_EQ(read_password_file(missing.c_str(), password, sizeof password), 1);
  const std::string shown = GetCapturedStdout();
  EXPECT_NE(shown.find("] Error opening file: " + std::string(std::strerror(ENOENT)) + "\n"),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find(missing), std::string::npos) << shown;
}

TEST_F(PasswordTest, GivenDigestWinsOverEverySource) {
  testing::set_environment("LUMAGATE", "from-environment");
  char digest[kDigestSize] = "ABCdef";
  CaptureStdout();
  EXPECT_EQ(acquire_password_digest(path("missing").c_str(), digest), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_STREQ(digest, "ABCdef");
}

TEST_F(PasswordTest, FileComesBeforeTheEnvironmentAndFailsWithoutFallback) {
  testing::set_environment("LUMAGATE", "from-environment");
  write_file(path("pw"), "from-file\n");
  char digest[kDigestSize] = "";
  EXPECT_EQ(acquire_password_digest(path("pw").c_str(), digest), 0);
  EXPECT_EQ(digest, digest_of("from-file"));

  char untouched[kDigestSize] = "";
  CaptureStdout();
  EXPECT_EQ(acquire_password_digest(path("missing").c_str(), untouched), 1);
  EXPECT_NE(GetCapturedStdout().find("Error opening file: "), std::string::npos);
  EXPECT_STREQ(untouched, "");

  // An empty path is a path like any other.
  CaptureStdout();
  EXPECT_EQ(acquire_password_digest("", untouched), 1);
  EXPECT_NE(GetCapturedStdout().find("Error opening file: "), std::string::npos);
}

TEST_F(PasswordTest, EnvironmentValueOfMoreThan63BytesIsRefused) {
  const std::string value = std::string(63, 'e');
  char digest[kDigestSize] = "";
  for (const std::string tail : {"t", "tail"}) {  // 64 and 67 bytes
    testing::set_environment("LUMAGATE", (value + tail).c_str());
    CaptureStdout();
    EXPECT_EQ(acquire_password_digest(nullptr, digest), 1);
    EXPECT_EQ(testing::messages(GetCapturedStdout()),
              "The password in LUMAGATE is longer than 63 bytes, the most the client takes.\n");
    EXPECT_EQ(std::getenv("LUMAGATE"), nullptr);
  }
  testing::set_environment("LUMAGATE", value.c_str());
  EXPECT_EQ(acquire_password_digest(nullptr, digest), 0);
  EXPECT_EQ(digest, digest_of(value));

  testing::set_environment("LUMAGATE", " \xe9 ");
  digest[0] = '\0';
  EXPECT_EQ(acquire_password_digest(nullptr, digest), 0);
  EXPECT_EQ(digest, digest_of(" \xe9 "));
}

// The password step, called below a stretch of stack of its own, so that
// the frames it leaves lie apart from whatever the test left; the address
// below which they lie.
[[gnu::noinline]] std::uintptr_t acquire_further_down(char* digest) {
  volatile char room[2048];
  room[0] = 0;
  acquire_password_digest(nullptr, digest);
  room[1] = room[0];
  // NOLINTNEXTLINE(clang-analyzer-core.StackAddressEscape): an address to scan below, not to use
  return reinterpret_cast<std::uintptr_t>(room);
}

// How often `text` lies in the 16 KiB of stack below `top`, where the
// frames of calls that have returned still lie. Compared byte by byte, with
// no call that could put a copy of its own there.
[[gnu::noinline]] __attribute__((no_sanitize("address", "undefined"))) int copies_below(
    std::uintptr_t top, const char* text, std::size_t length) {
  int copies = 0;
  for (std::uintptr_t address = top - 16384; address + length <= top; ++address) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the scan reads raw stack addresses
    const auto* at = reinterpret_cast<const volatile char*>(address);
    std::size_t same = 0;
    while (same < length && at[same] == text[same]) ++same;
    copies += same == length ? 1 : 0;
  }
  return copies;
}

// Neither the MD5 context that digested the password nor the working
// copies of the calls beneath survive the step, whatever the optimiser
// makes of the wipes.
TEST_F(PasswordTest, NoCopyOfThePasswordStaysOnTheStack) {
  const std::string password = "stack-scan-password-0123";
  testing::set_environment("LUMAGATE", password.c_str());
  char digest[kDigestSize] = "";
  const std::uintptr_t step_frames = acquire_further_down(digest);
  EXPECT_EQ(copies_below(step_frames, password.data(), password.size()), 0);
  EXPECT_EQ(digest, digest_of(password));
}

}  // namespace
}  // namespace lumagate
