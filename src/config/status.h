// The state file as the command line sees it: where the client keeps it,
// and -p, which reads it for a person or a script.
#pragma once

namespace lumagate {

// The exit codes of -p.
inline constexpr int kLetIn = 0;
inline constexpr int kNotLetIn = 1;
inline constexpr int kNoClientRuns = 3;
inline constexpr int kStateUnreadable = 4;

// Sets the state file's path: `given` (-o), or else the first of the
// default places whose folder the client may write, or none. 1 after
// refusing a place that others may change (the message is given).
int choose_state_file(const char* given);

// Reads the state file, `given` or the first default place that holds one,
// shows it unless quiet, and gives -p's exit code.
int print_state(const char* given);

}  // namespace lumagate
