// What the end-to-end tests need: a private network per test, the real
// programs as child processes, and scripted fake servers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace e2e {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Moves this test process into a network namespace of its own with `lo` up.
// False, with the reason, when the system does not allow it.
bool enter_private_network(std::string* why);

// Skips the test (saying why) unless it runs in a private network now.
#define REQUIRE_PRIVATE_NETWORK()                               \
  do {                                                          \
    std::string why_;                                           \
    if (!::e2e::enter_private_network(&why_))                   \
      GTEST_SKIP() << "no private network namespace: " << why_; \
  } while (0)

// Runs a shell command (such as an `ip` set-up step); fails the test when it
// does not succeed.
void run_command(const std::string& command);

struct ProcessOptions {
  std::vector<std::string> environment;  // extra NAME=value entries
  std::vector<std::string> unset;        // names removed from the environment
  bool terminal = false;                 // run on a fresh pseudo-terminal as its controlling tty
  std::string working_directory;         // empty: the test's own
};

// A child process whose standard output and error (or terminal) are
// collected. The destructor kills it and every process it started.
class Process {
 public:
  Process(std::vector<std::string> argv, const ProcessOptions& options = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }

  // Everything the child has written so far (standard output and error,
  // or the terminal's output). A Windows client's CR LF line ends (its C
  // runtime's text mode) read as LF, so lines compare across platforms.
  std::string output();

  // True once `text` has appeared in the output, false after `timeout`.
  bool wait_for_output(const std::string& text, Millis timeout);

  // Counts the appearances of `text` in the output so far.
  int count_output(const std::string& text);

  // Writes bytes to the child's terminal (terminal mode) or standard input.
  void write_input(const std::string& bytes);

  // The exit code once the child has ended; nullopt after `timeout`. A
  // child ended by a signal gives 128 + the signal number.
  std::optional<int> wait_exit(Millis timeout);

  void send_signal(int signal_number);
  bool running();

 private:
  void drain();
  void append_output(const char* bytes, std::size_t size);
  pid_t pid_ = -1;
  bool text_mode_ = false;
  bool held_cr_ = false;
  int output_fd_ = -1;
  int input_fd_ = -1;
  std::string output_;
  std::optional<int> exit_code_;
};

// Options that preload the test shim (tests/e2e/shim) into a child with
// `settings`; the sanitizers then accept a library loaded before their own.
ProcessOptions with_shim(std::vector<std::string> settings);

// Why a test with the shim skips itself under the emulator.
#define kShimNeedsLinuxClient "the test shim preloads only into a Linux program, not a router build"

// The client, with its arguments. The client is the Linux build unless
// LUMAGATE_E2E_CLIENT names another program, such as the Windows build or a
// router build, which LUMAGATE_E2E_CLIENT_LOADER (Wine's loader, qemu-user)
// then runs. Under Wine (LUMAGATE_E2E_WINE_TEMPLATE names the prefix made
// for the test run) the first call starts a wineserver of the test's own
// inside its private network, and every call fails the test instead of
// giving a command when that wineserver lives in another network namespace.
std::vector<std::string> client_command(std::vector<std::string> arguments);

// Whether the client under test is a Windows program run by Wine.
bool client_runs_under_wine();

// Skips a test that Wine cannot model, saying why.
#define SKIP_UNDER_WINE(reason)                                           \
  do {                                                                    \
    if (::e2e::client_runs_under_wine()) GTEST_SKIP() << "Wine: " reason; \
  } while (0)

// Whether the client is a router build run by qemu-user.
bool client_runs_under_emulator();

// Skips a test that needs a native Linux client, saying why.
#define SKIP_UNDER_EMULATOR(reason)                                               \
  do {                                                                            \
    if (::e2e::client_runs_under_emulator()) GTEST_SKIP() << "emulator: " reason; \
  } while (0)

// Whether the client is a router build of the other byte order than this
// machine's, run by qemu-user.
bool client_of_other_byte_order();

// Skips a test of the gateways in the routing table under such a client:
// qemu-user converts the kernel's text at /proc/net/route alone to the
// program's byte order, and the client reads /proc/self/net/route (a real
// router's kernel writes it in its own order).
#define SKIP_UNDER_OTHER_BYTE_ORDER()                                                  \
  do {                                                                                 \
    if (::e2e::client_of_other_byte_order())                                           \
      GTEST_SKIP() << "emulator: the routing table in the host's byte order, not the " \
                      "program's";                                                     \
  } while (0)

// Runs a test only against the Windows program, saying so elsewhere.
#define REQUIRE_WINE()                                                                    \
  do {                                                                                    \
    if (!::e2e::client_runs_under_wine()) GTEST_SKIP() << "only for the Windows program"; \
  } while (0)

// A fresh copy-on-write copy of the test run's Wine prefix, removed when the
// test program ends.
std::string wine_prefix_copy();

// Whether the wineserver of `prefix` runs in this network namespace; why
// not, when it does not (or none runs).
bool wineserver_is_ours(const std::string& prefix, std::string* why);

// What Wine's services (and so a service of the test's) have written to
// standard error: Wine's notes of every Event Log entry among it.
std::string wine_services_output();

// The wineserver program that goes with the loader.
std::string wineserver_program();

// A TCP server on `address`:`port` driven line by line by the test.
class FakeServer {
 public:
  FakeServer(const std::string& address, std::uint16_t port = 12040);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // Accepts the next client; false after `timeout`. A new accept drops the
  // previous client.
  bool accept_client(Millis timeout);
  // Connections accepted so far.
  int accepted() const { return accepted_; }
  // Sends raw bytes to the current client.
  void send(const std::string& bytes);
  // The next line from the client without its CR LF; nullopt after `timeout`
  // or when the client has closed.
  std::optional<std::string> read_line(Millis timeout);
  // True when the client has closed its side within `timeout`.
  bool client_closed(Millis timeout);
  void close_client();
  // Drops the current client with a reset instead of an orderly close.
  void reset_client();
  // Stops listening: later connections are refused.
  void stop_listening();

 private:
  int listen_fd_ = -1;
  int client_fd_ = -1;
  int accepted_ = 0;
  std::string pending_;
};

// A network namespace of its own, held open by an idle child process, for
// what sits behind a gateway or outside the test's own network.
class PeerNamespace {
 public:
  PeerNamespace();
  ~PeerNamespace();
  PeerNamespace(const PeerNamespace&) = delete;
  PeerNamespace& operator=(const PeerNamespace&) = delete;

  pid_t pid() const { return pid_; }

  // Runs `body` with this thread inside the namespace: sockets, links and
  // processes it makes belong there.
  template <typename Body>
  void inside(Body body) {
    const int own = enter();
    if (own < 0) return;
    body();
    leave(own);
  }

 private:
  // This thread's own namespace (to come back to), or -1 after a failure.
  int enter();
  void leave(int own);

  pid_t pid_ = -1;
  int hold_ = -1;
  int namespace_fd_ = -1;
};

// A well-formed password digest, for tests whose server checks no proof.
inline const std::string kAnyDigest = "0123456789abcdef0123456789abcdef";

// The MD5 hex digest of a text (the tests' own, for expected proofs).
std::string md5_hex_of(const std::string& text);

// A directory of the test's own, removed with everything in it; in
// `parent`, or in /tmp, where every user may write.
class TempDir {
 public:
  explicit TempDir(const std::string& parent = "/tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A folder that only root may change, to the root: a private one of the
// test's for what the client takes only from such a place.
inline std::string guarded_parent() { return BUILD_DIR; }

// A path as the client under test names it: on Wine's drive Z: for the
// Windows program.
std::string client_path(const std::string& path);

// A file's whole content; empty when it cannot be read.
std::string file_content(const std::string& path);

}  // namespace e2e
