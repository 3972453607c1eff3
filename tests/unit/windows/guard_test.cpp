// The process scan over a snapshot of the process list, over copies of
// a waiting program started under names of our choosing. The names carry
// our process id: a process named like the sibling service would stop
// every client started meanwhile.
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/guard.h"
#include "test_support.h"

namespace lumagate {
namespace {

namespace fs = std::filesystem;

class WindowsProcessScan : public testing::SettingsTest {
 protected:
  void TearDown() override {
    for (const PROCESS_INFORMATION& child : children_) {
      TerminateProcess(child.hProcess, 0);
      WaitForSingleObject(child.hProcess, 5000);
      CloseHandle(child.hThread);
      CloseHandle(child.hProcess);
    }
    SettingsTest::TearDown();
  }

  // Starts idle.exe, which sits beside this program, as `image_name`.
  DWORD start_copy(const std::string& image_name, DWORD flags = 0) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    const fs::path image = folder_ / image_name;
    fs::copy_file(fs::path(self).parent_path() / "idle.exe", image);
    std::string command = '"' + image.string();
    command += '"';
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                       &startup, &child) == 0) {
      ADD_FAILURE() << "CreateProcessA failed with " << GetLastError();
      return 0;
    }
    children_.push_back(child);
    // Its image is mapped once it waits for input or has run a moment.
    if (flags == 0) WaitForInputIdle(child.hProcess, 2000);
    return child.dwProcessId;
  }

  const std::string tag_ = std::to_string(GetCurrentProcessId());
  std::vector<PROCESS_INFORMATION> children_;
};

TEST_F(WindowsProcessScan, FindsARunningImageByItsNameInAnyCase) {
  const DWORD pid = start_copy("LmgGuard" + tag_ + ".EXE");
  ASSERT_NE(pid, 0u);
  char name[kProcessNameSize];
  const std::string expected = "LmgGuard" + tag_ + ".EXE";
  int length = 0;
  for (int tries = 0; tries < 50 && length == 0; ++tries, Sleep(100)) {
    length = process_base_name(pid, name);
  }
  ASSERT_EQ(length, static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(name), expected);

  EXPECT_EQ(process_running(("lmgguard" + tag_ + ".exe").c_str()), 1);
  EXPECT_EQ(process_running(("LmgGuard" + tag_).c_str()), 1);
  EXPECT_EQ(process_running(("lmgguard" + tag_ + ".exe.old").c_str()), 0);
  EXPECT_EQ(process_base_name(0xFFFFFFF0u, name), 0);
}

// A process that has not run yet has no module list to read, as a
// service's process, or another user's, has none this user may read: the
// scan finds them all by name.
TEST_F(WindowsProcessScan, FindsAProcessWhoseModulesCannotBeRead) {
  ASSERT_NE(start_copy("LmgHeld" + tag_ + ".exe", CREATE_SUSPENDED), 0u);
  EXPECT_EQ(process_running(("lmgheld" + tag_ + ".exe").c_str()), 1);
}

}  // namespace
}  // namespace lumagate
