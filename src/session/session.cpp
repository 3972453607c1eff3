// The Key-server session: Choose a server, Connect, Await a line, Read it,
// and round again, for as long as the process runs.
#include "session/session.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/md5.h"
#include "platform/platform.h"
#include "runtime/hours.h"
#include "runtime/lifecycle.h"
#include "runtime/log.h"
#include "runtime/settings.h"
#include "runtime/text.h"
#include "session/access.h"
#include "session/discovery.h"
#include "session/service_status.h"

namespace lumagate {
namespace {

constexpr int kInitialInterval = 60;
constexpr int kWaitMilliseconds = 5000;
// How long the start of a line kept from a read waits for its rest: ample
// for the rest of a line already on its way.
constexpr std::uint32_t kRestOfLineGraceMilliseconds = 1000;
constexpr int kMinInterval = 1;
constexpr int kMaxInterval = 600;

enum class State { kChoose, kConnect, kAwait, kRead };

struct Session {
  const char* given_address = nullptr;
  const char* address_in_use = nullptr;
  const char* password_digest = nullptr;
  bool discovering = false;
  int interval = kInitialInterval;
  // On the monotonic clock: setting the calendar clock must not stretch or
  // cut the silence limit.
  std::int64_t last_heard = 0;
  std::intptr_t socket = platform::kNoSocket;
  ReceivedText received;
  char* answer = nullptr;
  CandidateList candidates{};
  int candidate_count = 0;
  int next_candidate = 0;
  ServiceStatus status;
  // An answer sent on this connection awaits its verdict; refusals of such
  // answers in a row, which a GOOD ends.
  bool answer_sent = false;
  int refusals = 0;
  AccessState access;
  Hours hours;
};

bool verbose() { return settings.verbose != 0; }

AccessFacts facts_of(const Session& session, std::int64_t next_try = kNoTime) {
  return {session.address_in_use, session.interval, session.refusals, next_try};
}

// ---- the allowed hours ------------------------------------------------------

struct LocalTime {
  int minute;  // of the day
  int second;
};

LocalTime local_time_now() {
  platform::TimeOfDay time{};
  if (!platform::local_time_of_day(current_time(), &time)) return {0, 0};
  return {time.hour * 60 + time.minute, time.second};
}

bool within_hours_now(const Session& session) {
  return within_hours(session.hours, local_time_now().minute);
}

// Sleeps, but not past the end of the window the client runs in, so that
// it stops when the hours end rather than after the server's interval.
void rest(const Session& session, std::uint32_t milliseconds) {
  if (!session.hours.empty()) {
    const LocalTime now = local_time_now();
    const int minutes = minutes_to_end(session.hours, now.minute);
    if (minutes > 0 && minutes < kMinutesPerDay) {
      const auto until_end = static_cast<std::uint32_t>(minutes * 60 - now.second) * 1000u;
      milliseconds = std::min(milliseconds, until_end);
    }
  }
  platform::sleep_ms(milliseconds);
}

bool starts_with(const char* line, const char* word) {
  return std::strncmp(line, word, std::strlen(word)) == 0;
}

// The attempt to reach the server in use ended because of `failure`.
void note_failure(Session& session, const char* failure) {
  tell_failure(session.status, session.address_in_use, session.interval, failure);
  tell_access(session.access, Access::kLost, facts_of(session));
}

// Lines kept from the connection, and a cut line's rest, go with it; the
// service manager learns why it ended.
void close_connection(Session& session, const char* failure) {
  platform::close_socket(session.socket);
  session.socket = platform::kNoSocket;
  session.received.kept_length = 0;
  session.received.dropping = false;
  session.answer_sent = false;
  note_failure(session, failure);
}

State choose(Session& session) {
  if (session.discovering) {
    if (session.next_candidate >= session.candidate_count) {
      report(1,
             "No Key-server could be discovered. Please specify the correct "
             "address via the '-s' switch.\n");
      exit_program(1);
    }
    session.address_in_use = session.candidates[session.next_candidate++].data();
  }
  return State::kConnect;
}

State connect(Session& session) {
  tell_status(session.status, session.address_in_use, session.interval);
  report_connection_begun();
  session.last_heard = platform::monotonic_seconds();
  session.socket = connect_to_server(session.address_in_use, kKeyServerPort);
  if (session.socket == platform::kNoSocket) {
    if (verbose()) report(1, "couldn't connect to server\n");
    note_failure(session, "could not connect");
    rest(session, 3000);
    return State::kChoose;
  }
  return State::kAwait;
}

State await(Session& session) {
  // Kept text is already here; only the silence limit applies to it.
  if (session.received.kept_length == 0 && wait_readable(session.socket) == 0) {
    if (verbose()) report(1, "lost connection\n");
    close_connection(session, "lost connection");
    rest(session, 1000);
    return State::kChoose;
  }
  if (platform::monotonic_seconds() - session.last_heard > session.interval + kSilenceMargin) {
    close_connection(session, "silent for longer than the interval");
    return State::kChoose;
  }
  return State::kRead;
}

void trace_received(LogLevel level, const char* line) {
  if (verbose()) report_server_text(level, Verdict::kNone, "recv: %s\n", line);
}

// The server's verdicts and notices are always shown: traced in verbose
// mode, as they stand otherwise.
void show_received(Session& session, LogLevel level, Verdict verdict, const char* line) {
  note_server_line(session.access, line);
  report_server_text(level, verdict, verbose() ? "recv: %s\n" : "%s\n", line);
}

// Sends the whole line while the socket stays writable: a RESPONSE cut short
// would be a corrupted answer. False when the connection must go.
bool send_line(Session& session, const char* line) {
  std::size_t left = std::strlen(line);
  while (left > 0) {
    const long sent = platform::send_bytes(session.socket, line, left);
    if (sent < 0) {
      const std::int32_t code = platform::last_error();
      if (!platform::would_block(code)) {
        report_caused_system_error("send", code);
        return false;
      }
    } else {
      line += sent;
      left -= static_cast<std::size_t>(sent);
    }
    if (left > 0 && wait_writable(session.socket) == 0) return false;
  }
  return true;
}

State answer_challenge(Session& session, const char* line) {
  trace_received(3, line);
  session.last_heard = platform::monotonic_seconds();
  std::memset(session.answer, 0, kLineSize);
  if (build_response(challenge_of(line), session.password_digest, session.answer) != 0) {
    report_caused(1, "Challenge not answered: its answer would not fit in one line.\n");
    close_connection(session, "challenge too long to answer");
    rest(session, 1000);
    return State::kChoose;
  }
  if (wait_writable(session.socket) == 0) {
    close_connection(session, "answer not sent");
    return State::kChoose;
  }
  if (verbose()) report(3, "send: %s", session.answer);
  if (!send_line(session, session.answer)) {
    close_connection(session, "answer not sent");
    return State::kChoose;
  }
  session.answer_sent = true;
  std::memset(session.received.line, 0, kLineSize);
  rest(session, 1000);
  return State::kAwait;
}

// A refused answer may be a wrong password: tried on the server every few
// seconds, it would look like guessing and may lock the account. A server
// that refuses before any answer keeps the second's wait, and so does
// discovery between its candidates.
std::uint32_t wait_after_refusal(Session& session, bool answer_refused) {
  if (answer_refused && !session.discovering) ++session.refusals;
  if (session.refusals <= kRefusalsRetriedAtOnce || !answer_refused || session.discovering) {
    tell_access(session.access, Access::kRefused, facts_of(session));
    return 1000;
  }
  const std::uint32_t wait = refusal_wait_ms(session.refusals, draw_random());
  tell_access(session.access, Access::kBackingOff,
              facts_of(session, current_time() + (wait + 500) / 1000));
  tell_ready(session.status);
  report_caused(1, "Refused %d times in a row: next try in %u s.\n", session.refusals,
                (wait + 500) / 1000);
  return wait;
}

State handle_line(Session& session, const char* line) {
  if (starts_with(line, "LUMAGATE")) {
    trace_received(3, line);
    session.last_heard = platform::monotonic_seconds();
    session.interval = keepalive_interval(line, session.interval);
    tell_status(session.status, session.address_in_use, session.interval);
    rest(session, 1000);
    return State::kAwait;
  }
  if (starts_with(line, "CHALLENGE")) return answer_challenge(session, line);
  if (starts_with(line, "GOOD")) {
    session.discovering = false;
    session.answer_sent = false;
    session.refusals = 0;
    show_received(session, 2, Verdict::kGood, line);
    tell_let_in(session.status, session.address_in_use, session.interval);
    tell_access(session.access, Access::kLetIn, facts_of(session));
    if (verbose()) report(3, "waiting %d sec...\n", session.interval);
    rest(session, static_cast<std::uint32_t>(session.interval) * 1000u);
    return State::kAwait;
  }
  if (starts_with(line, "SORRY")) {
    show_received(session, 1, Verdict::kSorry, line);
    // Refused before the connection goes, which is then no loss of its own.
    const std::uint32_t wait = wait_after_refusal(session, session.answer_sent);
    close_connection(session, "refused (SORRY)");
    rest(session, wait);
    return State::kChoose;
  }
  if (starts_with(line, "INFO") || starts_with(line, "MESSAGE")) {
    show_received(session, 2, Verdict::kNone, line);
  } else {
    trace_received(3, line);
  }
  rest(session, 1000);
  return State::kAwait;
}

// Joins the start of a line, the `length` bytes in the line buffer, with
// its rest, read by read, until the line ends or fills the buffer; what has
// not come within the grace, or before the server closed, is not waited
// for. The length, or -1 when a read failed.
long join_rest_of_line(Session& session, std::size_t length) {
  char* line = session.received.line;
  const std::uint32_t start = platform::tick_count();
  while (length < kLineSize - 1 && !ends_a_line(line, length)) {
    const std::uint32_t spent = platform::tick_count() - start;
    if (spent >= kRestOfLineGraceMilliseconds ||
        platform::wait_readable(session.socket,
                                static_cast<int>(kRestOfLineGraceMilliseconds - spent)) == 0) {
      break;
    }
    const long read = platform::receive(session.socket, line + length, kLineSize - 1 - length);
    if (read <= 0) return read < 0 ? -1 : static_cast<long>(length);
    length += static_cast<std::size_t>(read);
  }
  return static_cast<long>(length);
}

// Fills the line buffer with the text of this wake, at most 767 bytes: the
// kept text, or else one read without what is left of a cut line; either
// joined with its rest when it holds no line end. Its length: 0 when there
// is nothing to handle, -1 when a read failed.
long take_text(Session& session) {
  std::size_t length = take_kept_text(session.received);
  if (length == 0) {
    const long read = platform::receive(session.socket, session.received.line, kLineSize - 1);
    if (read <= 0) return read;
    length = drop_rest_of_cut_line(session.received, static_cast<std::size_t>(read));
    if (length == 0) return 0;
  }
  return join_rest_of_line(session, length);
}

State read_line(Session& session) {
  const long received = take_text(session);
  if (received < 0) {
    report_caused_system_error("recv", platform::last_error());
    close_connection(session, "receive failed");
    rest(session, 1000);
    return State::kChoose;
  }
  if (received == 0) {
    // The server has closed its side, and the silence limit ends the
    // connection; or it sent only the rest of a cut line.
    rest(session, 1000);
    return State::kAwait;
  }
  keep_rest(session.received, static_cast<std::size_t>(received));
  return handle_line(session, session.received.line);
}

// Discovery, the interval and the refusals as at launch: at launch, and
// whenever the allowed hours begin again.
void start_afresh(Session& session) {
  session.address_in_use = session.given_address;
  session.discovering = session.given_address[0] == '\0';
  session.interval = kInitialInterval;
  session.refusals = 0;
  if (session.discovering) {
    session.candidate_count = build_candidate_list(session.candidates);
    session.next_candidate = 0;
  }
}

// Outside the allowed hours the connection goes, and the client reads the
// wall clock once a minute (a clock or time zone set anew moves the
// windows) until a window begins; then it starts as at launch.
void wait_for_hours(Session& session) {
  const LocalTime now = local_time_now();
  const int ahead = minutes_to_next_start(session.hours, now.minute);
  const int start = (now.minute + ahead) % kMinutesPerDay;
  tell_access(session.access, Access::kWaitingHours,
              facts_of(session, current_time() - now.second + std::int64_t{ahead} * 60));
  if (session.socket != platform::kNoSocket) {
    close_connection(session, "outside the allowed hours");
  } else {
    note_failure(session, "outside the allowed hours");
  }
  // Up, as a service manager counts it: a restart would change nothing.
  tell_ready(session.status);
  report(2, "outside the allowed hours: next start at %02d:%02d\n", start / 60, start % 60);
  while (!within_hours_now(session)) {
    platform::sleep_ms(static_cast<std::uint32_t>(60 - local_time_now().second) * 1000u);
    tend_access(session.access);
  }
  start_afresh(session);
  tell_access(session.access, Access::kConnecting, facts_of(session));
}

}  // namespace

void run_session(const char* server_address, const char* password_digest) {
  Session session;
  session.given_address = server_address;
  session.address_in_use = server_address;
  session.password_digest = password_digest;
  session.received.line = static_cast<char*>(alloc_or_exit(kLineSize));
  session.received.kept = static_cast<char*>(alloc_or_exit(kLineSize));
  session.answer = static_cast<char*>(alloc_or_exit(kLineSize));
  // Checked at start: the text holds windows.
  if (settings.hours != nullptr) parse_hours(settings.hours, &session.hours);
  tell_session_begun(server_address);
  const bool within = within_hours_now(session);
  begin_access(session.access, within ? Access::kConnecting : Access::kWaitingHours,
               facts_of(session));
  if (within) start_afresh(session);

  State state = State::kChoose;
  for (;;) {
    tend_access(session.access);
    if (!within_hours_now(session)) {
      wait_for_hours(session);
      state = State::kChoose;
    }
    switch (state) {
      case State::kChoose:
        state = choose(session);
        break;
      case State::kConnect:
        state = connect(session);
        break;
      case State::kAwait:
        state = await(session);
        break;
      case State::kRead:
        state = read_line(session);
        break;
    }
  }
}

bool keep_on_interface(std::intptr_t socket) {
  // One line when the interface goes, not one for every try while it is gone.
  static bool said_missing = false;
  const char* name = settings.network_interface;
  if (name == nullptr) return true;
  if (platform::bind_to_interface(socket, name) == 0) {
    said_missing = false;
    return true;
  }
  const std::int32_t code = platform::last_error();
  if (!platform::interface_missing(code)) {
    report_system_error("Binding to the network interface", code);
  } else if (!said_missing) {
    report(1, "The network interface %s is missing; the client keeps trying.\n", name);
    said_missing = true;
  }
  return false;
}

std::intptr_t connect_to_server(const char* host, std::uint16_t port) {
  std::uint32_t address = 0;
  if (resolve_address(host, &address) != 0) {
    report(1, "unable to resolve host %s\n", host);
    return platform::kNoSocket;
  }
  const std::intptr_t socket = open_tcp_socket(1);
  if (socket == platform::kNoSocket) return platform::kNoSocket;
  if (!keep_on_interface(socket)) {
    platform::close_socket(socket);
    return platform::kNoSocket;
  }
  if (verbose()) report(3, "connecting to %s:%d...\n", host, static_cast<int>(port));
  if (platform::connect_ipv4(socket, address, port) == 0) return socket;
  const std::int32_t code = platform::last_error();
  if (platform::connection_under_way(code)) return socket;
  report_system_error("connect", code);
  platform::close_socket(socket);
  return platform::kNoSocket;
}

int resolve_address(const char* address, std::uint32_t* host) {
  *host = 0;
  if (platform::lookup_host(address, host) == 0) return 0;
  const platform::Ipv4 quad = platform::parse_dotted_quad(address);
  if (quad == platform::kIpv4None) return 1;
  *host = quad;
  return 0;
}

std::intptr_t open_tcp_socket(int non_blocking) {
  const std::intptr_t socket = platform::open_ipv4_tcp_socket();
  if (socket == platform::kNoSocket) {
    report_system_error("open socket", platform::last_error());
    return platform::kNoSocket;
  }
  struct Step {
    const char* text;
    int (*apply)(std::intptr_t, int);
    int value;
  };
  const std::array<Step, 5> steps = {{
      {"setsockopt (TCP_NODELAY)", platform::set_tcp_nodelay, 1},
      {"ioctlsocket FIONBIO", platform::set_non_blocking, non_blocking},
      {"setsockopt SO_KEEPALIVE", platform::set_keepalive, 1},
      {"setsockopt SO_SNDTIMEO", platform::set_send_timeout_ms, 5000},
      {"setsockopt SO_RCVTIMEO", platform::set_receive_timeout_ms, 5000},
  }};
  for (const Step& step : steps) {
    if (step.apply(socket, step.value) != 0) {
      report_system_error(step.text, platform::last_error());
      platform::close_socket(socket);
      return platform::kNoSocket;
    }
  }
  return socket;
}

int wait_readable(std::intptr_t socket) {
  return platform::wait_readable(socket, kWaitMilliseconds);
}

int wait_writable(std::intptr_t socket) {
  return platform::wait_writable(socket, kWaitMilliseconds);
}

int build_response(const char* challenge, const char* password_digest, char* out) {
  constexpr int kLongestText = static_cast<int>(kLineSize) - 1;
  const int number = draw_random();
  Block proof_input = alloc_block(kLineSize);
  Block proof = alloc_block(kDigestSize);
  if (std::snprintf(proof_input.get(), kLineSize, "%s%d%s%s", challenge, number,
                    settings.access_mode, password_digest) > kLongestText) {
    return 1;
  }
  md5_hex(proof_input.get(), proof.get());
  if (format_response(out, kLineSize, proof.get(), number, settings.access_mode) > kLongestText) {
    std::memset(out, 0, kLineSize);
    return 1;
  }
  return 0;
}

bool ends_a_line(const char* text, std::size_t length) {
  return std::memchr(text, '\r', length) != nullptr || std::memchr(text, '\n', length) != nullptr;
}

std::size_t take_kept_text(ReceivedText& text) {
  std::memset(text.line, 0, kLineSize);
  const std::size_t length = text.kept_length;
  std::memcpy(text.line, text.kept, length);
  text.kept_length = 0;
  return length;
}

std::size_t drop_rest_of_cut_line(ReceivedText& text, std::size_t length) {
  if (!text.dropping) return length;
  text.dropping = !ends_a_line(text.line, length);
  const std::size_t rest = cut_first_line(text.line, length);
  const std::size_t left = length - rest;
  std::memmove(text.line, text.line + rest, left);
  std::memset(text.line + left, 0, kLineSize - left);
  return left;
}

void keep_rest(ReceivedText& text, std::size_t length) {
  text.dropping = length == kLineSize - 1 && !ends_a_line(text.line, length);
  const std::size_t rest = cut_first_line(text.line, length);
  text.kept_length = length - rest;
  std::memcpy(text.kept, text.line + rest, text.kept_length);
}

// A line without a blank carries an empty challenge; it is still answered.
const char* challenge_of(const char* line) {
  const char* blank = std::strchr(line, ' ');
  return blank != nullptr ? blank + 1 : "";
}

std::uint32_t refusal_wait_ms(int refusals, int random) {
  constexpr std::uint32_t kFirstWait = 10000;
  constexpr std::uint32_t kLongestWait = 300000;
  if (refusals <= kRefusalsRetriedAtOnce) return 1000;
  std::uint32_t wait = kFirstWait;
  for (int refusal = kRefusalsRetriedAtOnce + 1; refusal < refusals && wait < kLongestWait;
       ++refusal) {
    wait *= 2;
  }
  wait = std::min(wait, kLongestWait);
  // Up to a tenth less, so that clients refused together spread out.
  return wait - static_cast<std::uint32_t>(std::uint64_t{wait / 10} *
                                           static_cast<std::uint64_t>(random) / 32767);
}

int keepalive_interval(const char* line, int current) {
  const char* equals = std::strchr(line, '=');
  if (equals == nullptr) return current;
  std::array<char, 4> digits{};
  copy_bounded(digits.data(), digits.size(), equals + 1);
  const int value = std::atoi(digits.data());
  return value >= kMinInterval && value <= kMaxInterval ? value : current;
}

}  // namespace lumagate
