#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "proof.h"

namespace lumagate::keyserver {
namespace {

using Ms = long long;
constexpr Ms kNever = std::numeric_limits<Ms>::max();
constexpr Ms kLongAgo = std::numeric_limits<Ms>::min() / 2;
constexpr std::size_t kMaxLine = 4096;  // far above the client's 767
constexpr std::size_t kMaxQueued = 64;  // lines waiting for one client
constexpr Ms kAcceptPauseMs = 1000;     // after running out of descriptors
constexpr int kChallengeLength = 20;

volatile sig_atomic_t g_stop_signal = 0;
bool g_quiet = false;

void on_stop_signal(int number) { g_stop_signal = number; }

// Milliseconds on a clock that never jumps.
Ms now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Writes "[HH:MM:SS.mmm] " and the formatted event as one line, unless quiet.
__attribute__((format(printf, 1, 2))) void log_event(const char* format, ...) {
  if (g_quiet) return;
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const int millis =
      static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  std::string text(std::max(0, std::vsnprintf(nullptr, 0, format, args)), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  va_end(args);
  std::printf("[%02d:%02d:%02d.%03d] %s\n", local.tm_hour, local.tm_min, local.tm_sec, millis,
              text.c_str());
}

// The text with control bytes and bytes from 0x80 up written as \xNN (and
// a backslash doubled), so that a log line stays one line and a client's
// bytes cannot steer the terminal that shows the log.
std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

enum class LineKind { kPlain, kChallenge, kKeepAlive, kVerdict };

struct OutLine {
  std::string text;  // without CR LF
  LineKind kind = LineKind::kPlain;
  std::string challenge;  // for kChallenge: the text the proof must use
  bool close_after = false;
  bool reset_after = false;  // with close_after: a TCP reset, not an orderly close
};

// A line of the given kind with nothing else attached.
OutLine make_line(std::string text, LineKind kind = LineKind::kPlain) {
  return {std::move(text), kind, "", false, false};
}

struct Connection {
  int id = 0;
  int fd = -1;
  std::string address;  // the client's, without the port
  std::string peer;
  std::string input;
  std::deque<OutLine> queue;
  std::string writing;  // the part of the current line the kernel has not taken
  bool close_after_write = false;
  bool reset_after_write = false;
  int verdicts = 0;
  Ms last_line_at = kLongAgo;
  Ms heard_at = 0;                       // when the client last sent a line to answer, or connected
  std::optional<std::string> challenge;  // the last one sent
  bool challenge_queued = false;
  bool keepalive_queued = false;
  Ms next_challenge_at = kNever;
  Ms next_keepalive_at = kNever;
  bool closing = false;  // input no longer handled; a last line is flushed
  bool closed = false;
};

struct Server {
  explicit Server(const KeyserverOptions& given) : options(given) {}
  const KeyserverOptions& options;
  int listen_fd = -1;
  std::vector<std::unique_ptr<Connection>> connections;
  std::mt19937_64 random{std::random_device{}()};
  int next_id = 0;
  Ms accept_paused_until = 0;
  std::size_t max_connections = 0;
};

void close_connection(Connection& c, const std::string& reason, bool reset = false) {
  if (c.closed) return;
  if (reset) {
    const linger abort{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  log_event("#%d close %s", c.id, reason.c_str());
  ::close(c.fd);
  c.fd = -1;
  c.closed = true;
}

// A fresh challenge text: the fixed one if given, else random letters and
// digits.
std::string challenge_text(Server& server) {
  if (server.options.challenge) return *server.options.challenge;
  static constexpr char kAlphabet[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 2);
  std::string text;
  for (int i = 0; i < kChallengeLength; ++i) text += kAlphabet[pick(server.random)];
  return text;
}

void queue_challenge(Server& server, Connection& c) {
  const std::string text = challenge_text(server);
  c.queue.push_back({"CHALLENGE " + text, LineKind::kChallenge, text, false, false});
  c.challenge_queued = true;
}

void queue_keepalive(Server& server, Connection& c) {
  c.queue.push_back(
      make_line("LUMAGATE=" + std::to_string(server.options.interval), LineKind::kKeepAlive));
  c.keepalive_queued = true;
}

// Queues the challenge and keep-alive lines that have fallen due.
void schedule_lines(Server& server, Connection& c, Ms now) {
  if (c.closing) return;
  if (!c.challenge_queued && now >= c.next_challenge_at) queue_challenge(server, c);
  if (!c.keepalive_queued && now >= c.next_keepalive_at) queue_keepalive(server, c);
}

// Takes the next queued line as the one being written, and notes what
// sending it means for the timers.
void start_line(Server& server, Connection& c, Ms now) {
  OutLine line = std::move(c.queue.front());
  c.queue.pop_front();
  log_event("#%d send %s", c.id, printable(line.text).c_str());
  const Ms period = server.options.challenge_period_ms;
  switch (line.kind) {
    case LineKind::kChallenge:
      c.challenge = line.challenge;
      c.challenge_queued = false;
      c.next_challenge_at = period > 0 ? now + period : kNever;
      break;
    case LineKind::kKeepAlive:
      c.keepalive_queued = false;
      if (server.options.keepalive_period_ms > 0)
        c.next_keepalive_at = now + server.options.keepalive_period_ms;
      break;
    case LineKind::kVerdict:
      // The client sleeps after a verdict; the next challenge waits for it.
      if (!c.challenge_queued && period > 0)
        c.next_challenge_at = std::max(c.next_challenge_at, now + period);
      break;
    case LineKind::kPlain:
      break;
  }
  c.writing = line.text + "\r\n";
  c.close_after_write = line.close_after;
  c.reset_after_write = line.reset_after;
  c.last_line_at = now;
}

// Writes what is due: queued lines no closer together than the line gap.
void pump_output(Server& server, Connection& c, Ms now) {
  while (!c.closed) {
    if (c.writing.empty()) {
      if (c.queue.empty() || now < c.last_line_at + server.options.line_gap_ms) return;
      start_line(server, c, now);
    }
    const ssize_t sent =
        ::send(c.fd, c.writing.data(), c.writing.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      close_connection(c, std::string("send failed: ") + std::strerror(errno));
      return;
    }
    c.writing.erase(0, static_cast<std::size_t>(sent));
    if (!c.writing.empty()) return;  // the rest goes when writable again
    if (c.close_after_write && c.reset_after_write)
      close_connection(c, "reset, as --reset-after asks", true);
    if (c.close_after_write) close_connection(c, "after SORRY");
  }
}

// Answers one line from the client; false for a blank one, which gets no
// answer.
bool handle_line(Server& server, Connection& c, const std::string& line) {
  log_event("#%d recv %s", c.id, printable(line).c_str());
  if (line.empty()) return false;  // a stray Enter from someone typing by hand
  // The client has read what came before its answer, so the reply cannot
  // share a read with it and need not wait for the gap.
  c.last_line_at = kLongAgo;
  const KeyserverOptions& options = server.options;
  const Verdict verdict = judge_line(line, c.challenge, options.accounts, options.mode_required);
  if (verdict.good) {
    log_event("#%d verdict GOOD for account %zu", c.id, verdict.account);
    // Before GOOD, not after: the client sleeps the interval after GOOD.
    if (options.info) c.queue.push_back(make_line("INFO " + *options.info));
    if (options.message) c.queue.push_back(make_line("MESSAGE " + *options.message));
    c.queue.push_back(make_line(verdict.line, LineKind::kVerdict));
  } else {
    log_event("#%d verdict %s", c.id, printable(verdict.line).c_str());
    c.queue.push_back({verdict.line, LineKind::kVerdict, "", options.close_on_sorry, false});
    if (options.close_on_sorry) c.closing = true;
  }
  if (options.reset_after > 0 && ++c.verdicts >= options.reset_after && !c.closing) {
    c.queue.back().close_after = true;
    c.queue.back().reset_after = true;
    c.closing = true;
  }
  if (c.queue.size() > kMaxQueued) close_connection(c, "too many lines waiting for the client");
  return true;
}

void read_input(Server& server, Connection& c) {
  char buffer[4096];
  const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got == 0) {
    close_connection(c, "client closed the connection");
    return;
  }
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    close_connection(c, std::string("receive failed: ") + std::strerror(errno));
    return;
  }
  c.input.append(buffer, static_cast<std::size_t>(got));
  std::string line;
  while (!c.closing && !c.closed && take_line(&c.input, &line)) {
    // Only a line it answers keeps a connection: blank lines would let a
    // crowd hold every slot for ever.
    if (handle_line(server, c, line)) c.heard_at = now_ms();
  }
  if (!c.closed && c.input.size() > kMaxLine) close_connection(c, "line too long");
}

void accept_clients(Server& server, Ms now) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(server.listen_fd, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == ECONNABORTED || errno == EPROTO || errno == EINTR) continue;
      log_event("accept failed: %s; pausing new connections", std::strerror(errno));
      server.accept_paused_until = now + kAcceptPauseMs;
      return;
    }
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    const std::string where = std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
    std::size_t open = 0;
    std::size_t from_address = 0;
    for (const auto& c : server.connections) {
      open += c->closed ? 0 : 1;
      from_address += !c->closed && c->address == address ? 1 : 0;
    }
    // Closed at once rather than left unanswered in the backlog.
    if (open >= server.max_connections) {
      log_event("#%d refuse %s: %zu connections open, the most allowed", ++server.next_id,
                where.c_str(), open);
      ::close(fd);
      continue;
    }
    if (from_address >= static_cast<std::size_t>(server.options.max_per_address)) {
      log_event("#%d refuse %s: %zu connections open from %s, the most one address may hold",
                ++server.next_id, where.c_str(), from_address, address);
      ::close(fd);
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Connection>();
    c->id = ++server.next_id;
    c->fd = fd;
    c->address = address;
    c->peer = where;
    c->heard_at = now;
    log_event("#%d accept %s", c->id, c->peer.c_str());
    queue_keepalive(server, *c);
    queue_challenge(server, *c);
    server.connections.push_back(std::move(c));
  }
}

// The next moment this connection has something to do, or kNever.
Ms next_wakeup(const Server& server, const Connection& c) {
  if (c.closed) return kNever;
  Ms wake = kNever;
  if (c.writing.empty() && !c.queue.empty()) wake = c.last_line_at + server.options.line_gap_ms;
  if (!c.closing && !c.challenge_queued) wake = std::min(wake, c.next_challenge_at);
  if (!c.closing && !c.keepalive_queued) wake = std::min(wake, c.next_keepalive_at);
  if (server.options.idle_ms > 0) wake = std::min(wake, c.heard_at + server.options.idle_ms);
  return wake;
}

// The listening socket, or -1 with `error` set.
int open_listener(const KeyserverOptions& options, std::string* error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(options.port));
  inet_pton(AF_INET, options.address.c_str(), &address.sin_addr);
  const std::string where = options.address + ":" + std::to_string(options.port);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot open a socket: ") + std::strerror(errno);
    return -1;
  }
  const int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    *error = "cannot listen on " + where + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

// The most connections that fit the descriptor limit beside the listener,
// keeping one descriptor free to accept and close the ones beyond.
std::size_t connection_room(const KeyserverOptions& options, int listen_fd) {
  auto room = static_cast<std::size_t>(options.max_connections);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const rlim_t used = static_cast<rlim_t>(listen_fd) + 2;
    room = std::min<std::size_t>(room, limit.rlim_cur > used ? limit.rlim_cur - used : 0);
  }
  return room;
}

// The port the listener got (differs from the option only for port 0).
int bound_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Installs the stop handlers and blocks the stop signals outside the wait,
// so a signal cannot slip in between the check and the wait. Fills
// `wait_mask` with the mask to wait under.
void prepare_signals(sigset_t* wait_mask) {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, wait_mask);
  sigdelset(wait_mask, SIGINT);
  sigdelset(wait_mask, SIGTERM);
}

}  // namespace

int run_server(const KeyserverOptions& options) {
  g_quiet = options.quiet;
  sigset_t wait_mask;
  prepare_signals(&wait_mask);
  Server server(options);
  std::string error;
  server.listen_fd = open_listener(options, &error);
  if (server.listen_fd < 0) {
    std::fprintf(stderr, "lumagate-keyserver: %s\n", error.c_str());
    return 1;
  }
  server.max_connections = connection_room(options, server.listen_fd);
  if (server.max_connections == 0) {
    std::fprintf(stderr, "lumagate-keyserver: the descriptor limit leaves room for no client\n");
    return 1;
  }
  log_event("listening on %s:%d, interval %d, %zu account(s), at most %zu connection(s)",
            options.address.c_str(), bound_port(server.listen_fd), options.interval,
            options.accounts.size(), server.max_connections);
  if (options.idle_ms > 0)
    log_event("a client silent for %lld.%03lld s is dropped", options.idle_ms / 1000,
              options.idle_ms % 1000);
  for (const std::string& note : options.notes) log_event("note: %s", note.c_str());

  const Ms deadline = options.max_ms > 0 ? now_ms() + options.max_ms : kNever;
  int code = 0;
  std::vector<pollfd> fds;
  for (;;) {
    Ms now = now_ms();
    if (g_stop_signal != 0) {
      log_event("stopping on %s", g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM");
      break;
    }
    if (now >= deadline) {
      log_event("stopping: time limit reached");
      break;
    }
    for (auto& c : server.connections) {
      if (options.idle_ms > 0 && !c->closed && now - c->heard_at >= options.idle_ms)
        close_connection(*c, "idle: no line to answer from the client within --idle-timeout");
      schedule_lines(server, *c, now);
      pump_output(server, *c, now);
    }
    std::erase_if(server.connections, [](const auto& c) { return c->closed; });

    const bool accepting = now >= server.accept_paused_until;
    Ms wake = std::min(deadline, accepting ? kNever : server.accept_paused_until);
    fds.clear();
    fds.push_back({server.listen_fd, static_cast<short>(accepting ? POLLIN : 0), 0});
    for (const auto& c : server.connections) {
      short events = c->closing ? 0 : POLLIN;
      if (!c->writing.empty()) events |= POLLOUT;
      fds.push_back({c->fd, events, 0});
      wake = std::min(wake, next_wakeup(server, *c));
    }
    timespec timeout{};
    if (wake != kNever) {
      const Ms wait = std::max<Ms>(0, wake - now);
      timeout.tv_sec = wait / 1000;
      timeout.tv_nsec = (wait % 1000) * 1000000;
    }
    if (ppoll(fds.data(), fds.size(), wake == kNever ? nullptr : &timeout, &wait_mask) < 0) {
      if (errno == EINTR) continue;
      log_event("poll failed: %s", std::strerror(errno));
      code = 1;
      break;
    }
    now = now_ms();
    for (std::size_t i = 1; i < fds.size(); ++i) {
      Connection& c = *server.connections[i - 1];
      const short ready = fds[i].revents;
      if (c.closing && (ready & (POLLERR | POLLHUP)))
        close_connection(c, "client gone before the last line was sent");
      else if (ready & (POLLIN | POLLERR | POLLHUP))
        read_input(server, c);
    }
    if (fds[0].revents & POLLIN) accept_clients(server, now);
  }
  for (auto& c : server.connections) close_connection(*c, "server stopping");
  ::close(server.listen_fd);
  std::fflush(stdout);
  return code;
}

}  // namespace lumagate::keyserver
