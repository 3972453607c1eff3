#include "session/access.h"

#include <array>
#include <vector>

#include "runtime/lifecycle.h"
#include "runtime/log.h"
#include "runtime/settings.h"
#include "runtime/text.h"

namespace lumagate {
namespace {

constexpr std::int64_t kLongestRunSeconds = 30;
constexpr int kOutputLinesLogged = 3;

const char* state_word(Access access) {
  constexpr std::array<const char*, 6> kWords = {"connecting", "let-in",        "refused",
                                                 "lost",       "waiting-hours", "backing-off"};
  return kWords[static_cast<std::size_t>(access)];
}

bool refused(Access access) { return access == Access::kRefused || access == Access::kBackingOff; }

// The event that going from the state in force to `to` is, or null when
// access has not changed.
const char* event_of(AccessState& state, Access to) {
  const Access from = state.access;
  switch (to) {
    case Access::kLetIn:
      if (from == Access::kLetIn) return nullptr;
      if (state.let_in_before) return "let-in-again";
      state.let_in_before = true;
      return "let-in";
    case Access::kRefused:
    case Access::kBackingOff:
      return refused(from) ? nullptr : "refused";
    case Access::kLost:
      return from == Access::kLetIn ? "lost" : nullptr;
    case Access::kWaitingHours:
      return from == Access::kWaitingHours ? nullptr : "hours-end";
    case Access::kConnecting:
      if (from != Access::kWaitingHours) return nullptr;
      state.let_in_before = false;
      return "hours-start";
  }
  return nullptr;
}

void update_record(AccessState& state, const AccessFacts& facts) {
  StateRecord& record = state.record;
  record.server = shown_as_logged(facts.server, 4 * kServerAddressSize);
  record.mode = shown_as_logged(settings.access_mode, 4 * kLineSize);
  record.refusals = facts.refusals;
  record.next_try = facts.next_try;
  record.interval = facts.interval;
  record.pid = platform::own_process_id();
  record.version = LUMAGATE_VERSION;
}

void write_state_file(AccessState& state) {
  if (settings.state_file_path == nullptr) return;
  std::string text = format_state(state.record);
  if (text == state.written) return;
  // One that failed is written again at the next change or GOOD.
  if (platform::replace_file(settings.state_file_path, text.data(), text.size())) {
    state.written = std::move(text);
  }
}

// ---- the program of -e ----------------------------------------------------

std::vector<std::string> program_environment(const StateRecord& record) {
  std::vector<std::string> environment = {
      "LUMAGATEC_STATE=" + record.state,
      "LUMAGATEC_SERVER=" + record.server,
      "LUMAGATEC_SINCE=" + utc_time_text(record.since),
  };
  if (settings.state_file_path != nullptr) {
    environment.push_back(std::string("LUMAGATEC_STATE_FILE=") + settings.state_file_path);
  }
  return environment;
}

void start_run(AccessState& state, const char* event) {
  if (!platform::start_program(settings.hook_program, event, program_environment(state.record),
                               &state.child)) {
    const Block text = alloc_block(kLineSize);
    platform::error_text(platform::last_error(), text.get(), kLineSize);
    report_caused(1, "%s %s could not be started: %s", settings.hook_program, event, text.get());
    return;
  }
  state.running = true;
  state.running_event = event;
  state.started = platform::monotonic_seconds();
  state.output.clear();
}

// The first lines the run wrote, as the log shows text from outside; a
// line may end in CR LF, as a batch file's do.
void tell_output(AccessState& state) {
  std::size_t line = 0;
  for (int count = 0; count < kOutputLinesLogged && line < state.output.size(); ++count) {
    const std::size_t rest = cut_first_line(state.output.data() + line, state.output.size() - line);
    report_caused(3, "%s %s: %s\n", settings.hook_program, state.running_event,
                  shown_as_logged(state.output.c_str() + line, kLineSize).c_str());
    line += rest;
  }
}

// After its lines and its end are told: the event that waited runs.
void finish_run(AccessState& state) {
  platform::release_child(state.child);
  state.running = false;
  if (state.pending != nullptr) {
    const char* event = state.pending;
    state.pending = nullptr;
    start_run(state, event);
  }
}

// A run under way takes the event in its turn: only the latest waits.
void run_program(AccessState& state, const char* event) {
  if (settings.hook_program == nullptr) return;
  if (state.running) {
    state.pending = event;
    return;
  }
  start_run(state, event);
}

}  // namespace

void begin_access(AccessState& state, Access access, const AccessFacts& facts) {
  state.access = access;
  state.record.state = state_word(access);
  state.record.since = current_time();
  update_record(state, facts);
  write_state_file(state);
}

void tell_access(AccessState& state, Access access, const AccessFacts& facts) {
  if (access == Access::kLost && state.access != Access::kLetIn) return;
  const char* event = event_of(state, access);
  const std::int64_t now = current_time();
  if (access != state.access) {
    state.access = access;
    state.record.state = state_word(access);
    state.record.since = now;
  }
  if (access == Access::kLetIn) state.record.last_good = now;
  update_record(state, facts);
  write_state_file(state);
  if (event != nullptr) run_program(state, event);
}

void note_server_line(AccessState& state, const char* line) {
  state.record.text = shown_as_logged(line, kStateTextBytes + 1);
}

void tend_access(AccessState& state) {
  if (!state.running) return;
  platform::read_child_output(state.child, &state.output, kOutputLinesLogged * kLineSize);
  int code = 0;
  if (platform::child_ended(state.child, &code)) {
    platform::read_child_output(state.child, &state.output, kOutputLinesLogged * kLineSize);
    tell_output(state);
    report_caused(code == 0 ? 2 : 1, "%s %s ended with exit code %d.\n", settings.hook_program,
                  state.running_event, code);
    finish_run(state);
  } else if (platform::monotonic_seconds() - state.started >= kLongestRunSeconds) {
    platform::end_child(state.child);
    tell_output(state);
    report_caused(1, "%s %s did not end within %d s and was ended.\n", settings.hook_program,
                  state.running_event, static_cast<int>(kLongestRunSeconds));
    finish_run(state);
  }
}

}  // namespace lumagate
