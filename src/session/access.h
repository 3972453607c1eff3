// How the client stands with the Key-server, told to whoever asks: the
// state file, replaced whole when it changes and at each GOOD, and the
// program of -e, run on each change of access, one run at a time. Both
// happen when the client wakes anyway: neither has a timer of its own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "runtime/state_file.h"

namespace lumagate {

enum class Access { kConnecting, kLetIn, kRefused, kLost, kWaitingHours, kBackingOff };

// What the session knows that the state file tells.
struct AccessFacts {
  const char* server;
  int interval;
  int refusals;           // in a row
  std::int64_t next_try;  // calendar time, or kNoTime
};

struct AccessState {
  Access access = Access::kConnecting;
  bool let_in_before = false;  // since launch, or the start of the hours
  StateRecord record;
  std::string written;  // the file's text as last written
  // The program of -e: the run under way, and the event that waits for it.
  platform::Child child;
  bool running = false;
  const char* running_event = nullptr;
  std::int64_t started = 0;  // on the monotonic clock
  std::string output;
  const char* pending = nullptr;
};

// The session begins: the file tells `access` (connecting, or waiting for
// the hours), and no program runs for it.
void begin_access(AccessState& state, Access access, const AccessFacts& facts);

// The client stands `access` now: the file tells it, and a change of access
// runs the program. Lost changes only being let in.
void tell_access(AccessState& state, Access access, const AccessFacts& facts);

// A line the client shows of the server's, which the file keeps.
void note_server_line(AccessState& state, const char* line);

// At every wake: a run that has ended is reaped and told, one that has
// taken too long is ended, and an event that waited runs.
void tend_access(AccessState& state);

}  // namespace lumagate
