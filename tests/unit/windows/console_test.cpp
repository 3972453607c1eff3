// Colours through the real console: the attribute words in force while a
// line is shown and after it.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "runtime/colours.h"
#include "runtime/log.h"
#include "test_support.h"

namespace lumagate {
namespace {

std::uint16_t attribute_in_force() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info);
  return info.wAttributes;
}

class ConsoleColours : public testing::SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0) {
      if (std::getenv("LUMAGATE_EXPECT_CONSOLE") != nullptr) {
        FAIL() << "standard output is not a console";
      }
      GTEST_SKIP() << "standard output is not a console";
    }
    original_ = info.wAttributes;
  }
  void TearDown() override {
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), original_);
    SettingsTest::TearDown();
  }
  WORD original_ = 0x07;
};

TEST_F(ConsoleColours, EachLevelShowsItsWordAndTheConsolesOwnComesBack) {
  constexpr std::uint16_t kWhiteOnBlue = 0x1F;
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), kWhiteOnBlue);
  settings.coloured = 1;
  init_console_colours();
  EXPECT_EQ(settings.saved_text_attribute, kWhiteOnBlue);
  for (const LogLevel level : {0, 1, 2, 3, 6, 7, -1}) {
    colour_on(level);
    EXPECT_EQ(attribute_in_force(), level_colour(level)) << "level " << level;
    colour_off();
    EXPECT_EQ(attribute_in_force(), kWhiteOnBlue) << "after level " << level;
  }
  report(1, "a coloured line\n");
  EXPECT_EQ(attribute_in_force(), kWhiteOnBlue);
}

TEST_F(ConsoleColours, QuietOrUncolouredOutputNeverTouchesTheAttribute) {
  constexpr std::uint16_t kGreyOnBlack = 0x07;
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), kGreyOnBlack);
  colour_on(1);  // coloured output is off
  EXPECT_EQ(attribute_in_force(), kGreyOnBlack);
  settings.coloured = 1;
  init_console_colours();
  settings.quiet = 1;
  report(1, "not shown\n");
  EXPECT_EQ(attribute_in_force(), kGreyOnBlack);
}

// The program's texts are UTF-8 (paths, the system's texts): the console
// shows their characters whatever its code page.
TEST_F(ConsoleColours, UtfEightTextShowsAsItsCharacters) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  report(1, "Z:\\Z\xC3\xBCrich\\\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB\n");
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(output, &info);
  wchar_t shown[16] = {};
  DWORD read = 0;
  ReadConsoleOutputCharacterW(output, shown, 14,
                              {11, static_cast<SHORT>(info.dwCursorPosition.Y - 1)}, &read);
  EXPECT_EQ(std::wstring(shown, read), L"Z:\\Z\u00FCrich\\\u0444\u0430\u0439\u043B");
}

}  // namespace
}  // namespace lumagate
