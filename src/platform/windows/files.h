// What the guards of the log file, the state file and the program of -e
// decide in the Windows layer: for its tests, and for each other.
#pragma once

#include <windows.h>

namespace lumagate::platform::windows {

// Rights that let their holder change a file, or what a folder holds. A
// new subfolder changes nothing that is there: every user may make one in
// a drive's root.
inline constexpr ACCESS_MASK kChangesFile = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE |
                                            WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
inline constexpr ACCESS_MASK kChangesFolder = FILE_ADD_FILE | FILE_DELETE_CHILD | DELETE |
                                              WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

enum class Guarded { kGuarded, kAnotherOwner, kOthersMayChange, kUnknown };

// Whether only the administrators, the system, TrustedInstaller (who own
// Windows' own folders) and this user may change the file or folder at
// `path`: its owner is one of them, and its access rules grant `changes`
// to nobody else.
Guarded guarded(const wchar_t* path, ACCESS_MASK changes);

// Whether a file owned by `owner` may take the log: its owner is the user
// who runs the program (a service's own account included), the owner that
// user's new files get, the administrators or the system.
bool owner_may_write(PSID owner);

}  // namespace lumagate::platform::windows
