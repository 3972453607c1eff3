// Helpers shared by the unit tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "runtime/lifecycle.h"
#include "runtime/settings.h"

namespace lumagate::testing {

// The environment and the time zone, the same way on every platform.
void set_environment(const char* name, const char* value);
void unset_environment(const char* name);
// A POSIX-style zone such as "TST-3" (three letters, then hours west of
// Greenwich), or "" for the system's own.
void set_time_zone(const std::string& zone);

// exit_program ends in this exception while a test watches it.
struct ExitCalled {
  int code;
};

[[noreturn]] inline void throw_exit(int code) { throw ExitCalled{code}; }

// Fresh settings and a private temporary folder for every test; the exit
// path throws instead of ending the test program.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings = ClientSettings{};
    settings.access_mode = "WORLD";
    set_exit_function(throw_exit);
    folder_ =
        std::filesystem::temp_directory_path() /
        ("lumagate-unit-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    set_exit_function(nullptr);
    set_allocate_function(nullptr);
    settings = ClientSettings{};
    std::filesystem::remove_all(folder_);
  }

  std::string path(const std::string& name) const { return (folder_ / name).string(); }

  static std::string read_file(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static void write_file(const std::string& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
  }

  std::filesystem::path folder_;
};

// The message part of every line shown, without the time prefixes.
inline std::string messages(const std::string& shown) {
  std::string out;
  std::size_t at = 0;
  while (at < shown.size()) {
    std::size_t end = shown.find('\n', at);
    end = end == std::string::npos ? shown.size() : end + 1;
    const std::string line = shown.substr(at, end - at);
    out += line.size() > 11 && line[0] == '[' && line[9] == ']' ? line.substr(11) : line;
    at = end;
  }
  return out;
}

// The exit code that `action` ended with through exit_program; -1 if it
// did not end.
template <typename Action>
int exit_code_of(Action action) {
  try {
    action();
  } catch (const ExitCalled& exit) {
    return exit.code;
  }
  return -1;
}

}  // namespace lumagate::testing
