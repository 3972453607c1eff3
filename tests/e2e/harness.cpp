#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "md5_oracle.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::string errno_text(int code) { return std::strerror(code); }

// Milliseconds left until `deadline`, never negative.
int millis_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// True when `fd` turned readable before `deadline`.
bool wait_readable_fd(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, millis_left(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

void set_non_blocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The environment for a child: ours, less `unset`, plus `extra`.
std::vector<std::string> child_environment(const ProcessOptions& options) {
  std::vector<std::string> result;
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  auto overridden = [&](const std::string& name) {
    for (const auto& removed : options.unset)
      if (removed == name) return true;
    for (const auto& added : options.environment)
      if (name_of(added) == name) return true;
    return false;
  };
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (!overridden(name_of(*entry))) result.emplace_back(*entry);
  for (const auto& added : options.environment) result.push_back(added);
  return result;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (auto& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Opens a pseudo-terminal pair; the slave end keeps the output bytes as the
// program writes them (no LF to CR LF), so transcripts read as from a pipe.
bool open_terminal(int* master, std::string* slave_name) {
  *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*master < 0) return false;
  char name[128];
  if (grantpt(*master) != 0 || unlockpt(*master) != 0 ||
      ptsname_r(*master, name, sizeof name) != 0) {
    close(*master);
    return false;
  }
  *slave_name = name;
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    close(*master);
    return false;
  }
  termios modes{};
  if (tcgetattr(slave, &modes) == 0) {
    modes.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
    tcsetattr(slave, TCSANOW, &modes);
  }
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  ioctl(slave, TIOCSWINSZ, &size);
  close(slave);
  return true;
}

// Runs in the forked child: never returns.
[[noreturn]] void become_child(char** argv, char** envp, pid_t parent, int input, int output,
                               const char* terminal, const char* directory) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // 0: the parent lies outside the PID namespace that a Wine test made.
  const pid_t up = getppid();
  if (up != parent && up != 0) _exit(127);
  // Ignored signals survive exec; the programs under test must see defaults.
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // A group of its own (a session, with a terminal), so that ending the
  // child also ends whatever it started, such as the client under a shell.
  if (terminal == nullptr) setpgid(0, 0);
  if (terminal != nullptr) {
    setsid();
    int slave = open(terminal, O_RDWR);
    if (slave < 0) _exit(127);
    ioctl(slave, TIOCSCTTY, 0);
    input = output = slave;
  }
  dup2(input, 0);
  dup2(output, 1);
  dup2(output, 2);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  if (directory != nullptr && chdir(directory) != 0) _exit(127);
  execvpe(argv[0], argv, envp);
  const char failed[] = "exec failed\n";
  ssize_t ignored = write(2, failed, sizeof failed - 1);
  (void)ignored;
  _exit(127);
}

}  // namespace

bool enter_private_network(std::string* why) {
  if (unshare(CLONE_NEWNET) != 0) {
    *why = "unshare(CLONE_NEWNET): " + errno_text(errno);
    return false;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = "socket: " + errno_text(errno);
    return false;
  }
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!up) *why = "bringing lo up: " + errno_text(errno);
  close(fd);
  // /sys shows the links of the namespace that mounted it: a sysfs of our own
  // lets programs look up the types of the links made here. Best effort: only
  // tests that make links need it.
  if (up && unshare(CLONE_NEWNS) == 0 &&
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
    mount("sysfs", "/sys", "sysfs", 0, nullptr);
  // A test writes to children and servers that may have gone.
  signal(SIGPIPE, SIG_IGN);
  return up;
}

void run_command(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run: " << command;
    return;
  }
  char buffer[512];
  std::size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  int status = pclose(pipe);
  if (status != 0)
    ADD_FAILURE() << "command failed (status " << status << "): " << command << "\n" << output;
}

// Whether a command runs the Windows client, directly or through a shell.
bool runs_windows_client(const std::vector<std::string>& argv);

Process::Process(std::vector<std::string> argv, const ProcessOptions& options)
    : text_mode_(runs_windows_client(argv)) {
  std::vector<std::string> environment = child_environment(options);
  std::vector<char*> argv_pointers = pointers_to(argv);
  std::vector<char*> env_pointers = pointers_to(environment);
  const char* directory =
      options.working_directory.empty() ? nullptr : options.working_directory.c_str();

  int child_input = -1;
  int child_output = -1;
  std::string terminal;
  if (options.terminal) {
    if (!open_terminal(&output_fd_, &terminal)) {
      ADD_FAILURE() << "cannot open a pseudo-terminal: " << errno_text(errno);
      return;
    }
    input_fd_ = output_fd_;
  } else {
    int out_pipe[2];
    int in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << errno_text(errno);
      return;
    }
    if (pipe2(in_pipe, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << errno_text(errno);
      close(out_pipe[0]);
      close(out_pipe[1]);
      return;
    }
    output_fd_ = out_pipe[0];
    child_output = out_pipe[1];
    child_input = in_pipe[0];
    input_fd_ = in_pipe[1];
  }

  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0)
    become_child(argv_pointers.data(), env_pointers.data(), parent, child_input, child_output,
                 options.terminal ? terminal.c_str() : nullptr, directory);
  if (child_input >= 0) close(child_input);
  if (child_output >= 0) close(child_output);
  if (pid_ < 0) {
    ADD_FAILURE() << "fork: " << errno_text(errno);
    return;
  }
  // Also here, so that the group exists before the destructor can kill it;
  // a session leader makes its own.
  if (!options.terminal) setpgid(pid_, pid_);
  set_non_blocking(output_fd_);
}

Process::~Process() {
  if (pid_ > 0) kill(-pid_, SIGKILL);
  if (pid_ > 0 && !exit_code_) {
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (input_fd_ >= 0 && input_fd_ != output_fd_) close(input_fd_);
  if (output_fd_ >= 0) close(output_fd_);
}

void Process::drain() {
  if (output_fd_ < 0) return;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(output_fd_, buffer, sizeof buffer);
    if (got > 0) {
      append_output(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // A terminal nobody has opened yet reads as hung up: the child may
    // simply not have got that far.
    if (got < 0 && errno == EIO && input_fd_ == output_fd_ && running()) {
      std::this_thread::sleep_for(5ms);
      return;
    }
    // End of output: the pipe's writers are gone, or the terminal hung up.
    if (input_fd_ == output_fd_) input_fd_ = -1;
    close(output_fd_);
    output_fd_ = -1;
    return;
  }
}

void Process::append_output(const char* bytes, std::size_t size) {
  if (!text_mode_) {
    output_.append(bytes, size);
    return;
  }
  for (std::size_t i = 0; i < size; ++i) {
    if (held_cr_) {
      held_cr_ = false;
      if (bytes[i] != '\n') output_ += '\r';
    }
    if (bytes[i] == '\r') {
      held_cr_ = true;
    } else {
      output_ += bytes[i];
    }
  }
}

std::string Process::output() {
  drain();
  return output_;
}

bool Process::wait_for_output(const std::string& text, Millis timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    drain();
    if (output_.find(text) != std::string::npos) return true;
    if (output_fd_ < 0 || Clock::now() >= deadline) return false;
    wait_readable_fd(output_fd_, std::min(deadline, Clock::now() + 100ms));
  }
}

int Process::count_output(const std::string& text) {
  drain();
  if (text.empty()) return 0;
  int count = 0;
  for (auto at = output_.find(text); at != std::string::npos;
       at = output_.find(text, at + text.size()))
    ++count;
  return count;
}

void Process::write_input(const std::string& bytes) {
  std::size_t done = 0;
  while (input_fd_ >= 0 && done < bytes.size()) {
    ssize_t put = write(input_fd_, bytes.data() + done, bytes.size() - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else if (put < 0 && errno == EINTR) {
      continue;
    } else if (put < 0 && errno == EAGAIN) {
      std::this_thread::sleep_for(10ms);
    } else {
      break;
    }
  }
  if (done < bytes.size())
    ADD_FAILURE() << "could write only " << done << " of " << bytes.size() << " bytes to the child";
}

bool Process::running() {
  if (pid_ <= 0 || exit_code_) return false;
  int status = 0;
  pid_t result = waitpid(pid_, &status, WNOHANG);
  if (result == 0) return true;
  if (result == pid_) {
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    exit_code_ = -1;  // not ours to wait for any more
  }
  return false;
}

std::optional<int> Process::wait_exit(Millis timeout) {
  auto deadline = Clock::now() + timeout;
  while (running()) {
    if (Clock::now() >= deadline) {
      drain();
      return std::nullopt;
    }
    drain();
    std::this_thread::sleep_for(10ms);
  }
  // Collect what is still in the pipe; a grandchild holding it open must not
  // keep us here.
  auto drain_deadline = Clock::now() + 500ms;
  while (output_fd_ >= 0 && Clock::now() < drain_deadline) {
    drain();
    if (output_fd_ >= 0) wait_readable_fd(output_fd_, drain_deadline);
  }
  return exit_code_;
}

void Process::send_signal(int signal_number) {
  if (running()) kill(pid_, signal_number);
}

namespace {

// An environment setting, or null when it is unset or empty.
const char* setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string link_target(const std::string& path) {
  char target[4096];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  if (length <= 0) return {};
  return std::string(target, static_cast<std::size_t>(length));
}

bool in_private_network() {
  return link_target("/proc/self/ns/net") != link_target("/proc/1/ns/net");
}

// The name of the folder in which the wineserver of `prefix` works, after
// the prefix's device and inode; empty when the prefix is missing.
std::string server_folder_name(const std::string& prefix) {
  struct stat status {};
  if (stat(prefix.c_str(), &status) != 0) return {};
  char name[64];
  std::snprintf(name, sizeof name, "server-%llx-%llx",
                static_cast<unsigned long long>(status.st_dev),
                static_cast<unsigned long long>(status.st_ino));
  return name;
}

// The wineserver of `prefix`: the process working in its server folder, or
// a wineserver working in the prefix itself, where it steps for a moment to
// load and save the registry. -1 when none.
pid_t wineserver_of(const std::string& prefix) {
  const std::string folder = "/" + server_folder_name(prefix);
  if (folder == "/") return -1;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  pid_t found = -1;
  while (const dirent* entry = readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string cwd = link_target("/proc/" + name + "/cwd");
    if (cwd.ends_with(folder) ||
        (cwd == prefix && file_content("/proc/" + name + "/comm").starts_with("wineserver"))) {
      found = std::stoi(name);
      break;
    }
  }
  closedir(proc);
  return found;
}

// Wine leaves the server folder of `prefix`, with its lock, in a /tmp/wine-*
// folder that all wineservers share (so that one stays).
void remove_server_folder(const std::string& prefix) {
  const std::string name = server_folder_name(prefix);
  if (name.empty()) return;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp", ignored)) {
    if (entry.path().filename().string().starts_with("wine-"))
      std::filesystem::remove_all(entry.path() / name, ignored);
  }
}

// Runs a program to its end with the test's environment and no output; its
// exit status. Its standard error goes to `errors` when one is named.
int run_program(const std::vector<std::string>& argv, const std::string& errors = {}) {
  std::vector<std::string> words = argv;
  std::vector<char*> pointers = pointers_to(words);
  const pid_t child = fork();
  if (child == 0) {
    const int nothing = open("/dev/null", O_RDWR);
    for (int fd : {0, 1, 2}) dup2(nothing, fd);
    if (!errors.empty()) {
      const int file = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (file >= 0) dup2(file, 2);
    }
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0) return -1;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// The folders of the Wine prefixes this test program made; each is removed,
// with its wineserver ended, when the program ends.
struct WineCopies {
  std::vector<std::string> folders;
  std::string prefix;  // the one the client runs on, once its server runs
  bool pid_namespace = false;
};

WineCopies& wine_copies() {
  static WineCopies copies;
  return copies;
}

void end_wine() {
  for (const auto& folder : wine_copies().folders) {
    const std::string prefix = folder + "/prefix";
    if (wineserver_of(prefix) > 0) {
      setenv("WINEPREFIX", prefix.c_str(), 1);
      run_program({wineserver_program(), "-k"});
      for (int tries = 0; tries < 100 && wineserver_of(prefix) > 0; ++tries)
        std::this_thread::sleep_for(50ms);
    }
    remove_server_folder(prefix);
    umount2(prefix.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  wine_copies().folders.clear();
}

// Puts every process started from now on into a PID namespace whose first
// process ends with this test program: the kernel then ends all of them,
// wineservers included, whatever road this program takes.
bool enter_pid_namespace(std::string* why) {
  if (wine_copies().pid_namespace) return true;
  if (unshare(CLONE_NEWPID) != 0) {
    *why = "unshare(CLONE_NEWPID): " + errno_text(errno);
    return false;
  }
  const pid_t holder = fork();
  if (holder == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    // Reaps the wineservers that daemonised into this namespace.
    signal(SIGCHLD, [](int) {});
    for (;;) {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      pause();
    }
  }
  if (holder < 0) {
    *why = "fork: " + errno_text(errno);
    return false;
  }
  wine_copies().pid_namespace = true;
  return true;
}

// Starts the test's own wineserver on a fresh prefix, here.
bool start_wine(std::string* why) {
  if (!in_private_network()) {
    *why = "Wine runs only inside a private network namespace";
    return false;
  }
  if (!enter_pid_namespace(why)) return false;
  setenv("WINEDEBUG", "-all", 1);
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
  unsetenv("DISPLAY");
  const std::string prefix = wine_prefix_copy();
  if (prefix.empty()) {
    *why = "cannot copy the Wine prefix";
    return false;
  }
  setenv("WINEPREFIX", prefix.c_str(), 1);
  // A removed copy's device and inode numbers come back, so this copy may
  // have the server folder of one whose wineserver is still ending.
  for (int tries = 0; tries < 400 && wineserver_of(prefix) > 0; ++tries)
    std::this_thread::sleep_for(25ms);
  remove_server_folder(prefix);
  const std::string errors = prefix + "/../wineserver-errors";
  const int started = run_program({wineserver_program(), "-p"}, errors);
  // Up to 20 s: on a busy machine a wineserver may take seconds to come up.
  // It serves once its socket is there; until then the process found may
  // still be one that daemonises and goes.
  pid_t seen = -1;
  const auto serving = [&] {
    seen = wineserver_of(prefix);
    return seen > 0 && std::filesystem::exists(
                           link_target("/proc/" + std::to_string(seen) + "/cwd") + "/socket");
  };
  int tries = 0;
  while (tries < 800 && !serving()) {
    std::this_thread::sleep_for(25ms);
    ++tries;
  }
  if (!wineserver_is_ours(prefix, why)) {
    *why += " (" + server_folder_name(prefix) + "; wineserver -p ended with status " +
            std::to_string(started) + "; after " + std::to_string(tries) +
            " waits the last server seen was pid " + std::to_string(seen) +
            "); the wineserver said: " + file_content(errors);
    return false;
  }
  wine_copies().prefix = prefix;
  // A new wineserver's first program starts Wine's services, which takes
  // seconds: done here, it does not count against the test's waits. The
  // services it starts, and theirs, tell of their Event Log calls.
  const char* loader = setting("LUMAGATE_E2E_CLIENT_LOADER");
  const char* client = setting("LUMAGATE_E2E_CLIENT");
  setenv("WINEDEBUG", "-all,+eventlog,fixme+advapi", 1);
  if (loader != nullptr && client != nullptr) {
    run_program({loader, client, "-h"}, prefix + "/../services-errors");
  }
  setenv("WINEDEBUG", "-all", 1);
  return true;
}

}  // namespace

bool runs_windows_client(const std::vector<std::string>& argv) {
  const char* client = setting("LUMAGATE_E2E_CLIENT");
  if (!client_runs_under_wine() || client == nullptr) return false;
  return std::any_of(argv.begin(), argv.end(), [&](const std::string& word) {
    return word.find(client) != std::string::npos;
  });
}

bool client_runs_under_wine() { return setting("LUMAGATE_E2E_WINE_TEMPLATE") != nullptr; }

bool client_runs_under_emulator() {
  return setting("LUMAGATE_E2E_CLIENT_LOADER") != nullptr && !client_runs_under_wine();
}

bool client_of_other_byte_order() {
  const char* client = setting("LUMAGATE_E2E_CLIENT");
  if (!client_runs_under_emulator() || client == nullptr) return false;
  std::ifstream program(client, std::ios::binary);
  std::array<char, 6> header{};
  program.read(header.data(), header.size());
  // ELF's EI_DATA: 1 little-endian, 2 big-endian.
  const char native = std::endian::native == std::endian::big ? 2 : 1;
  return program && header[5] != native;
}

std::string wineserver_program() {
  const char* loader = setting("LUMAGATE_E2E_CLIENT_LOADER");
  const std::filesystem::path folder =
      std::filesystem::path(loader != nullptr ? loader : "/usr/lib/wine/wine64").parent_path();
  const auto server64 = folder / "wineserver64";
  return (std::filesystem::exists(server64) ? server64 : folder / "wineserver").string();
}

std::string wine_prefix_copy() {
  const char* template_prefix = setting("LUMAGATE_E2E_WINE_TEMPLATE");
  if (template_prefix == nullptr) return {};
  char pattern[] = "/tmp/lumagate-wine-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return {};
  const std::string folder = pattern;
  if (wine_copies().folders.empty()) std::atexit(end_wine);
  wine_copies().folders.push_back(folder);
  for (const char* part : {"/upper", "/work", "/prefix"}) mkdir((folder + part).c_str(), 0700);
  const std::string options = std::string("lowerdir=") + template_prefix + ",upperdir=" + folder +
                              "/upper,workdir=" + folder + "/work";
  if (mount("overlay", (folder + "/prefix").c_str(), "overlay", 0, options.c_str()) != 0) {
    ADD_FAILURE() << "mounting a copy of the Wine prefix: " << errno_text(errno);
    return {};
  }
  return folder + "/prefix";
}

std::string wine_services_output() {
  return wine_copies().prefix.empty() ? std::string()
                                      : file_content(wine_copies().prefix + "/../services-errors");
}

bool wineserver_is_ours(const std::string& prefix, std::string* why) {
  const pid_t server = wineserver_of(prefix);
  if (server < 0) {
    *why = "no wineserver runs for " + prefix;
    return false;
  }
  if (link_target("/proc/" + std::to_string(server) + "/ns/net") !=
      link_target("/proc/self/ns/net")) {
    *why = "the wineserver of " + prefix + " (pid " + std::to_string(server) +
           ") lives in another network namespace";
    return false;
  }
  return true;
}

ProcessOptions with_shim(std::vector<std::string> settings) {
  ProcessOptions options;
  options.environment = std::move(settings);
  options.environment.push_back(std::string("LD_PRELOAD=") + TEST_SHIM_PATH);
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.environment.push_back("ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") +
                                ":verify_asan_link_order=0");
  return options;
}

std::vector<std::string> client_command(std::vector<std::string> arguments) {
  std::vector<std::string> command;
  if (client_runs_under_wine()) {
    std::string why;
    const bool ready = wine_copies().prefix.empty()
                           ? start_wine(&why)
                           : wineserver_is_ours(wine_copies().prefix, &why);
    if (!ready) {
      ADD_FAILURE() << "refusing to start the Windows client: " << why;
      return {"/bin/false"};
    }
  }
  if (const char* loader = setting("LUMAGATE_E2E_CLIENT_LOADER")) command.emplace_back(loader);
  const char* client = setting("LUMAGATE_E2E_CLIENT");
  command.emplace_back(client != nullptr ? client : LUMAGATEC_PATH);
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

FakeServer::FakeServer(const std::string& address, std::uint16_t port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    ADD_FAILURE() << "not an IPv4 address: " << address;
    return;
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    ADD_FAILURE() << "socket: " << errno_text(errno);
    return;
  }
  int on = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      listen(listen_fd_, 16) != 0) {
    ADD_FAILURE() << "cannot listen on " << address << ":" << port << ": " << errno_text(errno);
    close(listen_fd_);
    listen_fd_ = -1;
  }
}

FakeServer::~FakeServer() {
  close_client();
  stop_listening();
}

bool FakeServer::accept_client(Millis timeout) {
  if (listen_fd_ < 0) return false;
  if (!wait_readable_fd(listen_fd_, Clock::now() + timeout)) return false;
  int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  close_client();
  client_fd_ = fd;
  pending_.clear();
  ++accepted_;
  return true;
}

void FakeServer::send(const std::string& bytes) {
  if (client_fd_ < 0) {
    ADD_FAILURE() << "no client to send to: " << bytes;
    return;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::send(client_fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      ADD_FAILURE() << "send to the client: " << errno_text(errno);
      return;
    }
    done += static_cast<std::size_t>(put);
  }
}

std::optional<std::string> FakeServer::read_line(Millis timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (client_fd_ < 0 || !wait_readable_fd(client_fd_, deadline)) return std::nullopt;
    char buffer[1024];
    ssize_t got = recv(client_fd_, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

bool FakeServer::client_closed(Millis timeout) {
  if (client_fd_ < 0) return true;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (!wait_readable_fd(client_fd_, deadline)) return false;
    char buffer[1024];
    ssize_t got = recv(client_fd_, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    // Lines that arrive meanwhile stay readable.
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

void FakeServer::close_client() {
  if (client_fd_ >= 0) close(client_fd_);
  client_fd_ = -1;
}

void FakeServer::reset_client() {
  if (client_fd_ < 0) return;
  linger abort{1, 0};
  setsockopt(client_fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close_client();
}

void FakeServer::stop_listening() {
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
}

PeerNamespace::PeerNamespace() {
  int ready[2];
  int hold[2];
  if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    char answer = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
    if (write(ready[1], &answer, 1) != 1) _exit(1);
    char nothing;
    if (read(hold[0], &nothing, 1) < 0) _exit(1);  // until the test lets go
    _exit(0);
  }
  close(ready[1]);
  close(hold[0]);
  hold_ = hold[1];
  char answer = 'n';
  if (pid_ < 0 || read(ready[0], &answer, 1) != 1 || answer != 'y')
    ADD_FAILURE() << "no namespace for the peer";
  close(ready[0]);
  namespace_fd_ = open(("/proc/" + std::to_string(pid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(namespace_fd_, 0);
}

PeerNamespace::~PeerNamespace() {
  if (namespace_fd_ >= 0) close(namespace_fd_);
  if (hold_ >= 0) close(hold_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int PeerNamespace::enter() {
  const int own = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (own < 0 || setns(namespace_fd_, CLONE_NEWNET) != 0) {
    ADD_FAILURE() << "cannot enter the peer's network namespace: " << errno_text(errno);
    if (own >= 0) close(own);
    return -1;
  }
  return own;
}

void PeerNamespace::leave(int own) {
  EXPECT_EQ(setns(own, CLONE_NEWNET), 0);
  close(own);
}

std::string md5_hex_of(const std::string& text) {
  std::string hex = lumagate::testing::md5_oracle_hex(text);
  if (hex.empty()) ADD_FAILURE() << "EVP_Digest failed";
  return hex;
}

TempDir::TempDir(const std::string& parent) {
  std::string pattern = parent + "/lumagate-e2e-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string client_path(const std::string& path) {
  if (!client_runs_under_wine()) return path;
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

std::string file_content(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

}  // namespace e2e
