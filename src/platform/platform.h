// What the program needs from the operating system, and nothing more.
// Everything above this folder reaches sockets, consoles, processes,
// adapters, time and error texts only through these declarations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace lumagate::platform {

// ---- process ---------------------------------------------------------------

// Runs `client_main` the platform's way and ends the process with its
// result through exit_process. On Windows the Service Control Manager may
// have started the process: then it runs as that manager's service, whose
// state tell_service_turn and exit_process report. Every platform hands
// `client_main` its arguments in UTF-8.
[[noreturn]] void run_program(int argc, char** argv, int (*client_main)(int argc, char** argv));

// Ends the process with `code`: exit handlers run and the standard streams
// are flushed. A service tells its manager first; a console window that
// belongs to this process alone waits for a key after an error, so that
// the message can be read before the window closes.
[[noreturn]] void exit_process(int code);

// Called before anything else: gives every closed standard stream the null
// device, so that no file or socket opened later takes its place and gets
// the console's text. False when that cannot be done.
bool secure_standard_streams();

// Makes standard output line-buffered, so that no finished line is lost
// when a signal ends the process, and a closed output harmless.
void prepare_standard_output();

// Installs `handler` for the interrupt and termination signals.
void install_terminate_handler(void (*handler)(int));
inline constexpr int kSignalInterrupt = 2;
inline constexpr int kSignalTerminate = 15;

// Ends the process at once with `code`; safe inside a signal handler.
// Puts the terminal's settings back first if a prompt had changed them, and
// its own colours if a line or a prompt had coloured it.
[[noreturn]] void terminate_now(int code);

// Milliseconds since an arbitrary start, cut to 32 bits.
std::uint32_t tick_count();

// Whole seconds since 1970-01-01 00:00 UTC.
std::int64_t calendar_time();

// Whole seconds since an arbitrary start, on a clock that nobody sets: it
// never goes back or leaps forward, and in 64 bits it never wraps.
std::int64_t monotonic_seconds();

struct TimeOfDay {
  int hour;
  int minute;
  int second;
};
// The local time of day of `seconds`; false when it cannot be converted.
bool local_time_of_day(std::int64_t seconds, TimeOfDay* out);

// Sleeps the whole time, resuming after interruptions.
void sleep_ms(std::uint32_t milliseconds);

// The platform's text for an error code, ending in a line end; empty when
// the platform has none. At most `size` - 1 bytes, always terminated.
void error_text(std::int32_t code, char* out, std::size_t size);

// The error code of the last failed system call.
std::int32_t last_error();

// Overwrites a block with zeros, and unlike a plain store the compiler never
// drops it, though the block is not read again.
void wipe_memory(void* block, std::size_t size);

// Zeros a stretch of the stack below the caller's frame, where the calls it
// has made left copies of what they worked on.
void wipe_stack_below_caller();

// Wipes the value of an environment variable where it lies and removes the
// variable, so that no copy of it stays in the process.
void erase_environment_variable(const char* name);

// ---- files -------------------------------------------------------------------

// std::fopen for a path in UTF-8, whatever the system's own code page.
std::FILE* open_file(const char* path, const char* mode);

// What became of an append to the log file.
enum class LogAppend {
  kAppended,          // written whole
  kFailed,            // it could not be opened or written, as any file may fail
  kSymbolicLink,      // refused: the path is a link (or reparse point) to elsewhere
  kNotRegularFile,    // refused: a FIFO, a device, a pipe or a socket
  kAnotherUsersFile,  // refused: it belongs to another user
  kOtherNames,        // refused: the file has other names (hard links)
};

// Appends `size` bytes, stored as given, to the log file at `path` in one
// write and closes it again. It never follows a link, never waits for a
// reader and never takes a controlling terminal, and writes only to a
// regular file of this process's user that has no other name; a file it
// creates is readable and writable by its owner only, an existing one keeps
// its mode. A file the append leaves larger than `limit` bytes is deleted,
// while the path still names it.
LogAppend append_to_log_file(const char* path, const char* bytes, std::size_t size,
                             std::int64_t limit);

// ---- the state file ------------------------------------------------------------

// Where the client, on `interface_name` or on none, keeps its state file,
// named `name`, unless told: the places to try, in order.
std::vector<std::string> state_file_places(const std::string& name, const char* interface_name);

// Whether a path may hold the state file.
enum class StatePlace {
  kUsable,
  kNoFolder,        // its folder is missing, or this user may not create files in it
  kOthersMayWrite,  // others than the administrators (root) and this user's own group
                    // may change what its folder holds
  kFileRefused,     // what stands at the path may not be replaced, as the log file's
                    // guard judges it
};
// `*folder` gets the path's folder; `*file`, for kFileRefused, why.
StatePlace check_state_place(const char* path, std::string* folder, LogAppend* file);

// Replaces the file at `path` whole: the bytes go to a new file beside it,
// which is then renamed over it, so that a reader finds the old text or the
// new one, never a part. The file is writable by its owner, and readable by
// its group (on Windows by the administrators and the system) as well. False
// when it could not be written.
bool replace_file(const char* path, const char* bytes, std::size_t size);

enum class FileRead { kRead, kMissing, kFailed };
// The first `limit` bytes of a small file, read beside a writer that
// renames over it; last_error() tells why it failed.
FileRead read_small_file(const char* path, std::string* content, std::size_t limit);

// ---- service manager ---------------------------------------------------------

// Tells the service manager that started the process one state line, such
// as "READY=1" or "STATUS=text". Does nothing when none listens.
void notify_service_manager(const char* state);

// A turn of the client that a service manager shows its user: the session
// has begun (the start-up checks passed), the client is let in (the first
// time or again), or it is no longer let in. `status` is the status line as
// it stands. On Windows the session's start makes the service "running",
// and each turn is an entry in the Event Log; systemd learns all it needs
// from notify_service_manager, so elsewhere this does nothing.
enum class ServiceTurn { kSessionBegun, kLetIn, kNoLongerLetIn };
void tell_service_turn(ServiceTurn turn, const char* status);

// ---- console -----------------------------------------------------------------

// Sets the terminal's title; does nothing when standard output is not one.
void set_console_title(const char* title);

// Keeps a mouse click in the console window from holding every write of
// the program; the console's settings come back however the process ends.
// Nothing to do on a terminal.
void prepare_console();

using ConsoleHandle = std::intptr_t;
inline constexpr ConsoleHandle kNullConsole = 0;
inline constexpr ConsoleHandle kInvalidConsole = -1;

// The standard output handle, asked afresh: null or invalid when there is none.
ConsoleHandle standard_output_handle();

// What asking for the text attribute in force found.
enum class AttributeQuery {
  kFound,       // the attribute is in `*attribute`
  kNotConsole,  // the handle is not a console
  kNoMemory,    // the screen-buffer record could not be allocated
};
AttributeQuery console_text_attribute(ConsoleHandle handle, std::uint16_t* attribute);

// Sets the text attribute for what is written next; false when the handle
// is not a console. Nothing reaches a file or a pipe.
bool set_console_text_attribute(ConsoleHandle handle, std::uint16_t attribute);

// How the console takes bytes 0x80 to 0x9F, the C1 controls of terminals
// that follow ECMA-48.
enum class C1Controls {
  kText,       // as characters of a code page
  kInUtf8,     // as controls on their own, or as U+0080 to U+009F in UTF-8
  kEveryByte,  // as controls wherever they stand, as an 8-bit terminal does
};
C1Controls console_c1_controls();

// Writes a text straight to the console itself, whatever standard output is.
void write_console(const char* text);

// Whether standard output is a console or a terminal that someone watches,
// rather than a file, a pipe or nothing.
bool standard_output_is_terminal();

// Writes a text to standard output: a console shows its characters, read
// as UTF-8 whatever the console's code page; a file or a pipe gets its
// bytes as they are.
void write_standard_output(const char* text);

// Switches the console to raw, unechoed input; false when there is no console.
bool begin_console_input();

// One key from the console, 0 to 255; -1 when no key can be read.
int read_console_key();

// Puts the console's input settings back.
void end_console_input();

// ---- sockets -----------------------------------------------------------------

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// 0 when the socket interface is ready, 1 when it cannot start.
int start_sockets();
void cleanup_sockets();

// An IPv4 address in network byte order.
using Ipv4 = std::uint32_t;
inline constexpr Ipv4 kIpv4None = 0xFFFFFFFFu;

// 0 and the first IPv4 address of a host name, 1 when it is unknown.
int lookup_host(const char* name, Ipv4* address);

// A dotted quad read as the classic converter reads it; kIpv4None when invalid.
Ipv4 parse_dotted_quad(const char* text);

// A TCP socket over IPv4, or kNoSocket; last_error() tells why.
Socket open_ipv4_tcp_socket();

// Socket options; each gives 0 on success and -1 on failure.
int set_tcp_nodelay(Socket socket, int on);
int set_non_blocking(Socket socket, int on);
int set_keepalive(Socket socket, int on);
int set_send_timeout_ms(Socket socket, int milliseconds);
int set_receive_timeout_ms(Socket socket, int milliseconds);

// 0 when connected, -1 otherwise; last_error() tells why.
int connect_ipv4(Socket socket, Ipv4 address, std::uint16_t port);

// Whether an error code of connect_ipv4 means the connection is under way.
bool connection_under_way(std::int32_t code);

// Whether an error code of send_bytes means the socket's buffer is full.
bool would_block(std::int32_t code);

// 1 when the socket became readable (writable) within `milliseconds`, else 0.
// A connection that never came about (refused, unreachable, timed out) is
// not readable: it shows as silence for the whole wait. One that the peer
// accepted and reset while it was still under way is ready, and the next
// receive or send fails with the reset.
int wait_readable(Socket socket, int milliseconds);
int wait_writable(Socket socket, int milliseconds);

// Bytes received (0 when the peer has closed), or -1.
long receive(Socket socket, char* buffer, std::size_t size);

// Bytes sent, or -1; never raises a signal when the peer has gone.
long send_bytes(Socket socket, const char* data, std::size_t size);

// 0 when bound to the loopback address and `port`, -1 otherwise. With a
// network interface named, the port is held for clients on that interface:
// it keeps away a client on the same one, or on none, but not one on
// another. A client on none keeps every other away.
int bind_guard_port(Socket socket, std::uint16_t port, const char* interface_name);

// Whether an error code of bind_guard_port means another socket holds the port.
bool address_in_use(std::int32_t code);

// The index of the network interface `name` (on Windows an adapter's
// friendly name, or its index in decimal); 0 when there is none.
std::uint32_t interface_index(const char* name);

// Keeps every packet of the socket on the interface `name`, whatever the
// routing table says: 0, or -1 and last_error().
int bind_to_interface(Socket socket, const char* name);

// Whether an error code of bind_to_interface means the interface is gone,
// or that the system does not let this user bind a socket to one.
bool interface_missing(std::int32_t code);
bool interface_binding_refused(std::int32_t code);

void close_socket(Socket socket);

// ---- adapters ----------------------------------------------------------------

inline constexpr int kAdapterTypeEthernet = 6;
inline constexpr std::int32_t kAdapterNoMemory = -1;

struct AdapterGateway {
  int type;                 // kAdapterTypeEthernet or another value
  std::string gateway;      // first gateway as a dotted quad, "0.0.0.0" if none
  std::uint32_t index = 0;  // as interface_index gives it
};

// The machine's adapters in the system's order, each with its first default
// gateway; 0 on success, kAdapterNoMemory when the adapter buffer could not
// be allocated, or the error code of the query.
std::int32_t adapter_gateways(std::vector<AdapterGateway>* adapters);

// ---- processes ---------------------------------------------------------------

// Up to `max` ids of running processes, in the order the system lists them;
// -1 when they cannot be listed.
int list_process_ids(std::uint32_t* ids, int max);

// The base name of a process's program image into `out` (`size` bytes);
// its length, or 0 when the process cannot be read.
int process_image_base_name(std::uint32_t pid, char* out, std::size_t size);

// This process's id.
std::uint32_t own_process_id();

// Whether process `pid` runs, and runs this very program.
bool runs_this_program(std::uint32_t pid);

// ---- a program the client runs on changes ----------------------------------

// Why a program may not be run for the client: as OpenSSH checks its keys,
// it and every folder on the way to it must belong to the administrators
// (root) or this user, and nobody else may change them.
enum class ProgramCheck {
  kUsable,
  kMissing,               // nothing is at the path
  kNotExecutable,         // no file this user may run
  kAnotherOwner,          // it belongs to another user
  kOthersMayWrite,        // others than its owner may change it
  kFolderOfAnotherOwner,  // a folder on its way belongs to another user
  kFolderOthersMayWrite,  // others may change what a folder on its way holds
};
// `*program` gets the full path, links resolved, that is run; `*where` the
// file or folder a refusal is about.
ProgramCheck check_program(const char* path, std::string* program, std::string* where);

// A program that runs for the client, and the pipe of its output.
struct Child {
  std::intptr_t process = -1;
  std::intptr_t output = -1;
  std::intptr_t group = 0;  // Windows: the job that holds it and what it starts
};

// Starts `program` without a shell, with `argument` as its only argument
// and the client's environment with `environment` (NAME=value texts) added,
// apart from the client: in a process group of its own, standard input
// the null device, standard output and error into `child->output`. False,
// with last_error(), when it cannot start.
bool start_program(const char* program, const char* argument,
                   const std::vector<std::string>& environment, Child* child);

// Appends what the child has written to `output`, without waiting, and
// keeps `output` at most `limit` bytes long.
void read_child_output(Child& child, std::string* output, std::size_t limit);

// Whether the child has ended, without waiting: then it is reaped, and
// `*code` is its exit code, or 128 and the number of the signal that ended
// it.
bool child_ended(Child& child, int* code);

// Ends the child and whatever it started, and reaps it.
void end_child(Child& child);

// Lets go of an ended child's output pipe.
void release_child(Child& child);

}  // namespace lumagate::platform
