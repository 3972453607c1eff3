// Command line of the Key-server simulator.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumagate::keyserver {

// One account the server accepts: the digest text that goes into proofs.
struct Account {
  std::string digest;
  bool from_password = false;
};

struct KeyserverOptions {
  std::string address = "127.0.0.2";
  int port = 12040;
  std::vector<Account> accounts;
  int interval = 60;  // the value sent in LUMAGATE=n lines
  long long challenge_period_ms = 60000;
  long long keepalive_period_ms = 0;  // 0: no keep-alive lines
  long long line_gap_ms = 1500;
  std::optional<std::string> challenge;  // fixed text instead of random ones
  std::optional<std::string> info;
  std::optional<std::string> message;
  std::optional<std::string> mode_required;
  bool close_on_sorry = false;
  int reset_after = 0;       // verdicts before a connection is reset; 0: never
  int max_connections = 64;  // lowered further at start to fit the descriptor limit
  int max_per_address = 4;   // connections one client address may hold at once
  long long idle_ms = 0;     // time without an answered line before a client is dropped; 0: never
  long long max_ms = 0;      // 0: run until signalled
  bool quiet = false;
  std::vector<std::string> notes;  // remarks on odd accounts, logged at start
};

enum class ParseOutcome { kRun, kHelp, kSelfTest, kError };

// Reads the arguments (without the program name) into `options`; on kError
// `error` says why.
ParseOutcome parse_options(const std::vector<std::string>& args, KeyserverOptions* options,
                           std::string* error);

// The usage text, ending in a line feed.
const char* usage_text();

}  // namespace lumagate::keyserver
