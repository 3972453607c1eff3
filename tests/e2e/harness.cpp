#include "harness.h"

#include <arpa/inet.h>
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
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

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
  if (getppid() != parent) _exit(127);
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

Process::Process(std::vector<std::string> argv, ProcessOptions options) {
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
      output_.append(buffer, static_cast<std::size_t>(got));
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

std::vector<std::string> client_command(std::vector<std::string> arguments) {
  std::vector<std::string> command{LUMAGATEC_PATH};
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

std::string md5_hex_of(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr) != 1) {
    ADD_FAILURE() << "EVP_Digest failed";
    return {};
  }
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += digits[digest[i] >> 4];
    hex += digits[digest[i] & 15];
  }
  return hex;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/lumagate-e2e-XXXXXX";
  if (mkdtemp(pattern) != nullptr) path_ = pattern;
  EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string file_content(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

}  // namespace e2e
