// What the log file's guard decides in the Windows layer, for its tests.
#pragma once

#include <windows.h>

namespace lumagate::platform::windows {

// Whether a file owned by `owner` may take the log: its owner is the user
// who runs the program (a service's own account included), the owner that
// user's new files get, the administrators or the system.
bool owner_may_write(PSID owner);

}  // namespace lumagate::platform::windows
