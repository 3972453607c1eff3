#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/guard.h"
#include "test_support.h"

namespace lumagate {
namespace {

namespace fs = std::filesystem;

// Copies of a harmless program, running under names of our choosing. The
// names carry our process id: other tests run beside us, and a process
// called like the sibling service would stop every client started meanwhile.
class GuardProcessScan : public testing::SettingsTest {
 protected:
  void TearDown() override {
    for (pid_t child : children_) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    SettingsTest::TearDown();
  }

  void start_copy(const std::string& image_name) {
    const fs::path image = folder_ / image_name;
    fs::copy_file("/bin/sleep", image);
    std::string program = image.string();
    std::string seconds = "30";
    char* argv[] = {program.data(), seconds.data(), nullptr};
    pid_t child = -1;
    // posix_spawn returns once the new image runs, so /proc shows its name.
    ASSERT_EQ(posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ), 0);
    children_.push_back(child);
  }

  const std::string tag_ = std::to_string(getpid());
  std::vector<pid_t> children_;
};

TEST_F(GuardProcessScan, MatchesTheImageNamePrefixInAnyAsciiCase) {
  start_copy("LmgGuard" + tag_ + ".EXE");
  start_copy("lmgshort" + tag_);
  start_copy("lmgfold" + tag_ + "{");

  EXPECT_EQ(process_running(("lmgguard" + tag_ + ".exe").c_str()), 1);
  EXPECT_EQ(process_running(("LMGGUARD" + tag_ + ".Exe").c_str()), 1);
  // A name that only begins with the given one is still the process.
  EXPECT_EQ(process_running(("LmgGuard" + tag_).c_str()), 1);
  EXPECT_EQ(process_running(("lmgguard" + tag_ + ".exe.old").c_str()), 0);

  EXPECT_EQ(process_running(("lmgshort" + tag_).c_str()), 1);
  EXPECT_EQ(process_running(("lmgshort" + tag_ + ".exe").c_str()), 0);
  // Only letters fold: '{' and '[' differ in the same bit as 'a' and 'A'.
  EXPECT_EQ(process_running(("lmgfold" + tag_ + "{").c_str()), 1);
  EXPECT_EQ(process_running(("lmgfold" + tag_ + "[").c_str()), 0);
}

TEST_F(GuardProcessScan, ReadsTheBaseNameOfAProgramImage) {
  start_copy("lmgbase" + tag_);
  char name[kProcessNameSize];
  const std::string expected = "lmgbase" + tag_;
  EXPECT_EQ(process_base_name(static_cast<std::uint32_t>(children_[0]), name),
            static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(name), expected);

  // Beyond the largest process id the kernel hands out.
  EXPECT_EQ(process_base_name(0x7FFFFFFFu, name), 0);
}

}  // namespace
}  // namespace lumagate
