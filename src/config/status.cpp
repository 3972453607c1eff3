#include "config/status.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/lifecycle.h"
#include "runtime/log.h"
#include "runtime/settings.h"
#include "runtime/state_file.h"
#include "runtime/text.h"

namespace lumagate {
namespace {

// More than any state file the client writes.
constexpr std::size_t kLargestStateFile = 16384;

// Refuses, with its message, a place whose folder or file others may
// change: they could make -p, the program of -e or the router's page say
// what they like. True when it has.
bool refuse_place(platform::StatePlace place, const std::string& path, const std::string& folder,
                  platform::LogAppend file) {
  switch (place) {
    case platform::StatePlace::kUsable:
      return false;
    case platform::StatePlace::kNoFolder:
      report(1, "The state file %s cannot be written: its folder is missing or not writable.\n",
             path.c_str());
      return true;
    case platform::StatePlace::kOthersMayWrite:
      report(1, "The state file %s is refused: others may change what its folder %s holds.\n",
             path.c_str(), folder.c_str());
      return true;
    case platform::StatePlace::kFileRefused:
      report(1, "The state file %s is refused: %s.\n", path.c_str(), file_refusal_reason(file));
      return true;
  }
  return true;
}

// ---- -p ---------------------------------------------------------------------

void say(const std::string& text) {
  if (settings.quiet == 0) platform::write_standard_output(text.c_str());
}

// A text from the file as the log would show it: whoever can write the
// file named by -o must not drive the terminal.
std::string shown(const std::string& text) {
  return shown_as_logged(text.c_str(), 4 * text.size() + 1);
}

std::string time_or_none(std::int64_t seconds) {
  return seconds == kNoTime ? "none" : utc_time_text(seconds);
}

bool good_is_fresh(const StateRecord& record, std::int64_t now) {
  return record.last_good != kNoTime &&
         now - record.last_good <= std::int64_t{record.interval} + kSilenceMargin;
}

// The first line: whether the client is let in, and since when.
std::string summary(const StateRecord& record, bool fresh) {
  const std::string since = utc_time_text(record.since);
  if (record.state == "let-in" && fresh) return "Let in since " + since + ".\n";
  if (record.state == "let-in") {
    return "Not let in: no GOOD since " + time_or_none(record.last_good) +
           ", longer ago than the interval and " + decimal(kSilenceMargin) + " s.\n";
  }
  if (record.state == "connecting") return "Not let in yet: connecting since " + since + ".\n";
  if (record.state == "backing-off") {
    return "Not let in: refused " + decimal(record.refusals) + " times in a row; next try at " +
           time_or_none(record.next_try) + ".\n";
  }
  if (record.state == "waiting-hours") {
    return "Not let in: outside the allowed hours; next start at " + time_or_none(record.next_try) +
           ".\n";
  }
  if (record.state == "lost") return "Not let in: the connection was lost at " + since + ".\n";
  return "Not let in: " + shown(record.state) + " since " + since + ".\n";
}

std::string details(const StateRecord& record, const std::string& path) {
  return "  state:      " + shown(record.state) + " since " + utc_time_text(record.since) +
         "\n  last GOOD:  " + time_or_none(record.last_good) +
         "\n  server:     " + shown(record.server) + " (interval " + decimal(record.interval) +
         " s, access mode " + shown(record.mode) + ")\n  refusals:   " + decimal(record.refusals) +
         " in a row\n  last line:  " + shown(record.text) + "\n  client:     process " +
         decimal(record.pid) + ", version " + shown(record.version) +
         "\n  state file: " + shown(path) + "\n";
}

// Clients on several interfaces must never share one state file; a
// character that a file name may not hold on some system becomes '_'.
std::string state_file_name() {
  const char* name = settings.network_interface;
  if (name == nullptr) return "lumagatec.state";
  std::string file = "lumagatec-";
  for (const char* c = name; *c != '\0'; ++c) {
    file += std::strchr("/\\:*?\"<>|", *c) != nullptr ? '_' : *c;
  }
  return file + ".state";
}

// The path of the state file to read and what reading it gave.
platform::FileRead read_state_file(const char* given, std::string* path, std::string* content) {
  if (given != nullptr) {
    *path = given;
    return platform::read_small_file(given, content, kLargestStateFile);
  }
  std::string tried;
  for (const std::string& place :
       platform::state_file_places(state_file_name(), settings.network_interface)) {
    *path = place;
    const platform::FileRead read =
        platform::read_small_file(place.c_str(), content, kLargestStateFile);
    if (read != platform::FileRead::kMissing) return read;
    tried += (tried.empty() ? "" : " or ") + place;
  }
  *path = tried;
  return platform::FileRead::kMissing;
}

}  // namespace

int choose_state_file(const char* given) {
  static std::string chosen;
  std::string folder;
  platform::LogAppend file = platform::LogAppend::kAppended;
  if (given != nullptr) {
    chosen = given;
    if (refuse_place(platform::check_state_place(given, &folder, &file), chosen, folder, file)) {
      return 1;
    }
    settings.state_file_path = chosen.c_str();
    return 0;
  }
  for (const std::string& place :
       platform::state_file_places(state_file_name(), settings.network_interface)) {
    const platform::StatePlace checked = platform::check_state_place(place.c_str(), &folder, &file);
    if (checked == platform::StatePlace::kNoFolder) continue;
    if (refuse_place(checked, place, folder, file)) return 1;
    chosen = place;
    settings.state_file_path = chosen.c_str();
    return 0;
  }
  return 0;
}

int print_state(const char* given) {
  std::string path;
  std::string content;
  const platform::FileRead read = read_state_file(given, &path, &content);
  if (read == platform::FileRead::kMissing) {
    say("No client runs: there is no state file at " + shown(path) + ".\n");
    return kNoClientRuns;
  }
  if (read == platform::FileRead::kFailed) {
    const Block text = alloc_block(kLineSize);
    platform::error_text(platform::last_error(), text.get(), kLineSize);
    say("The state file " + shown(path) + " cannot be read: " + text.get());
    return kStateUnreadable;
  }
  StateRecord record;
  const StateParse parsed = parse_state(content, &record);
  if (parsed != StateParse::kRead) {
    say("The state file " + shown(path) +
        (parsed == StateParse::kOtherVersion ? " is another version's: this is " LUMAGATE_VERSION
                                               ".\n"
                                             : " is incomplete.\n"));
    return kStateUnreadable;
  }
  if (!platform::runs_this_program(record.pid)) {
    say("No client runs: process " + decimal(record.pid) + ", which wrote the state file, " +
        "has ended.\n" + details(record, path));
    return kNoClientRuns;
  }
  const bool fresh = good_is_fresh(record, current_time());
  say(summary(record, fresh) + details(record, path));
  return record.state == "let-in" && fresh ? kLetIn : kNotLetIn;
}

}  // namespace lumagate
