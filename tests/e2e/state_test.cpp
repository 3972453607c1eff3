// How the client says how it stands: the state file, -p, the program of
// -e run on every change of access, and the allowed hours of -w.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "transcript.h"

namespace e2e {
namespace {

const std::string kServer = "127.0.0.2";

// A folder only root may change, and in it a program for -e that notes
// each event with the state it was told, then does `posix` (or on Windows
// the batch lines `batch`).
struct Rig {
  TempDir dir{guarded_parent()};
  std::string hook = dir.file("hook.cmd");
  std::string events = dir.file("events");
  std::string state = dir.file("state");

  explicit Rig(const std::string& posix = "", const std::string& batch = "") {
    std::ofstream(hook) << (client_runs_under_wine()
                                ? "@echo %1 %LUMAGATEC_STATE%>>\"" + client_path(events) +
                                      "\"\r\n" + batch
                                : "#!/bin/sh\necho \"$1 $LUMAGATEC_STATE\" >> '" + events + "'\n" +
                                      posix);
    chmod(hook.c_str(), 0755);
  }

  std::vector<std::string> client(const std::vector<std::string>& more = {}) const {
    std::vector<std::string> arguments = {"-s", kServer,           "-d", kAnyDigest,
                                          "-e", client_path(hook), "-o", client_path(state)};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  }

  // The events noted, once `count` lines are there or after 10 s.
  std::string noted(std::size_t count) const {
    std::string text;
    for (int tries = 0; tries < 500; ++tries) {
      text = file_content(events);
      std::erase(text, '\r');
      if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= count) break;
      std::this_thread::sleep_for(20ms);
    }
    return text;
  }

  // True once the state file tells `word`.
  bool tells(const std::string& word) const {
    for (int tries = 0; tries < 500; ++tries) {
      if (file_content(state).starts_with("state=" + word + "\n")) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
};

// A challenge answered on the connection, new or not, and then `verdict`
// and a sleep of `interval` seconds; no verdict resets the connection.
void round(FakeServer& server, bool new_connection, const std::string& verdict,
           const std::string& interval = "1") {
  if (new_connection) {
    ASSERT_TRUE(server.accept_client(10s));
  }
  if (verdict.empty()) return server.reset_client();
  server.send("LUMAGATE=" + interval + "\r\nCHALLENGE c\r\n");
  ASSERT_TRUE(server.read_line(10s));
  server.send(verdict + "\r\n");
}

TEST(State, TheFileAndTheProgramFollowTheSession) {
  REQUIRE_PRIVATE_NETWORK();
  Rig rig;
  FakeServer server(kServer);
  Process client(client_command(rig.client()));
  ASSERT_TRUE(server.accept_client(10s)) << client.output();
  EXPECT_TRUE(rig.tells("connecting")) << file_content(rig.state);
  struct Step {
    bool new_connection;
    std::string verdict;
    std::string state;
  };
  const Step steps[] = {{false, "GOOD in", "let-in"},
                        {false, "SORRY no", "refused"},
                        {true, "GOOD again", "let-in"},
                        {false, "", "lost"},
                        {true, "GOOD back", "let-in"}};
  std::size_t told = 0;
  for (const Step& step : steps) {
    round(server, step.new_connection, step.verdict);
    EXPECT_TRUE(rig.tells(step.state)) << step.verdict << "\n" << file_content(rig.state);
    rig.noted(++told);
  }
  EXPECT_EQ(rig.noted(5),
            "let-in let-in\nrefused refused\nlet-in-again let-in\nlost lost\nlet-in-again let-in\n")
      << client.output();
}

// Events that come while the program runs wait, and only the latest.
TEST(State, ASlowProgramGetsTheLatestEventOnly) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE("the slow, failing and hanging programs are shell scripts");
  Rig rig("sleep 10\n");
  FakeServer server(kServer);
  Process client(client_command(rig.client()));
  round(server, true, "GOOD in");
  round(server, false, "SORRY no");
  round(server, true, "GOOD again");
  // Kept up until the first run ends and the latest event runs.
  for (int second = 0; second < 15 && file_content(rig.events).find("again") == std::string::npos;
       ++second) {
    server.send("INFO up\r\n");
    std::this_thread::sleep_for(1s);
  }
  EXPECT_EQ(rig.noted(2), "let-in let-in\nlet-in-again let-in\n") << client.output();
}

// A program that fails, or hangs, is told in the log and never holds the
// session: challenges are answered meanwhile.
TEST(State, AProgramThatFailsOrHangsNeverHoldsTheSession) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE("the slow, failing and hanging programs are shell scripts");
  for (const auto& [does, told] :
       {std::pair<std::string, std::string>{"echo failing; exit 7\n",
                                            "let-in ended with exit code 7.\n"},
        {"exec sleep 45\n",
         "let-in did not end within 30 s and was "
         "ended.\n"}}) {
    Rig rig(does);
    FakeServer server(kServer);
    Process client(client_command(rig.client()));
    round(server, true, "GOOD in");
    for (int second = 0; second < 40 && !client.wait_for_output(told, 1s); ++second) {
      server.send("CHALLENGE c\r\n");
      ASSERT_TRUE(server.read_line(3s)) << "held by: " << does << client.output();
    }
    EXPECT_TRUE(client.wait_for_output(told, 1s)) << client.output();
  }
}

TEST(State, WhatOthersCouldChangeOrHoursThatAreNoneAreRefusedAtStart) {
  REQUIRE_PRIVATE_NETWORK();
  Rig rig;
  const std::string open_folder = rig.dir.file("open");
  struct Case {
    std::vector<std::string> arguments;
    std::string told;
    void (*prepare)(const Rig&, const std::string&);
  };
  const Case cases[] = {
      {rig.client(), "may be changed by others than its owner.\n",
       [](const Rig& rig, const std::string&) { chmod(rig.hook.c_str(), 0757); }},
      {rig.client(), "belongs to neither root (the administrators) nor this user.\n",
       [](const Rig& rig, const std::string&) { ASSERT_EQ(chown(rig.hook.c_str(), 65534, 0), 0); }},
      {{"-d", kAnyDigest, "-e", client_path(open_folder + "/hook.cmd")},
       client_path(open_folder) + " may be changed by others than its owner.\n",
       [](const Rig& rig, const std::string& folder) {
         mkdir(folder.c_str(), 0777);
         chmod(folder.c_str(), 0777);
         std::filesystem::copy(rig.hook, folder + "/hook.cmd");
       }},
      {{"-d", kAnyDigest, "-o", client_path("/tmp/lumagatec.state")},
       "others may change what its folder " + client_path("/tmp") + " holds.\n",
       nullptr},
      {{"-w", "06:00-06:00"}, "lasts no time: it ends where it starts.\n", nullptr},
      {{"-w", "22:00-02:00,01:00-03:00"}, "Two windows of the hours overlap.\n", nullptr},
      {{"-w", "6:00-7:00"}, "must be windows such as 06:00-23:30", nullptr},
  };
  for (const Case& test : cases) {
    if (test.prepare != nullptr) test.prepare(rig, open_folder);
    Process client(client_command(test.arguments));
    EXPECT_EQ(client.wait_exit(10s), 1) << test.told;
    EXPECT_NE(client.output().find(test.told), std::string::npos) << client.output();
    chmod(rig.hook.c_str(), 0755);
    chown(rig.hook.c_str(), 0, 0);
  }
}

// -p of a file: its exit code and the first line it prints.
std::pair<std::optional<int>, std::string> print_state(const std::string& file,
                                                       const std::string& also = "-v") {
  Process print(client_command({also, "-p", "-o", client_path(file)}));
  const auto code = print.wait_exit(10s);
  const std::string output = print.output();
  return {code, output.substr(0, output.find('\n') + 1)};
}

TEST(State, PrintTellsWhetherARunningClientIsLetIn) {
  REQUIRE_PRIVATE_NETWORK();
  Rig rig;
  FakeServer server(kServer);
  Process client(client_command(rig.client()));
  round(server, true, "GOOD in");
  ASSERT_TRUE(rig.tells("let-in")) << client.output();
  const std::string text = file_content(rig.state);
  int made = 0;
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string changed = text;
    changed.replace(changed.find(from), from.size(), to);
    std::string file = rig.dir.file("made-" + std::to_string(++made));
    std::ofstream(file) << changed;
    return file;
  };
  struct Case {
    std::string file;
    std::string also;
    int code;
    std::string first_line;
  };
  const Case cases[] = {
      {rig.state, "-v", 0, "Let in since "},
      {rig.state, "-q", 0, ""},
      {with("last_good=2", "last_good=1"), "-v", 1, "Not let in: no GOOD since 1"},
      {with("version=", "version=0."), "-v", 4, "The state file "},
      {with("\nversion=" LUMAGATE_VERSION "\n", "\nversion="), "-v", 4, "The state file "},
      {rig.dir.file("none"), "-v", 3, "No client runs: there is no state file at "},
  };
  for (const Case& test : cases) {
    const auto [code, first_line] = print_state(test.file, test.also);
    EXPECT_EQ(code, test.code) << test.file << "\n" << file_content(test.file);
    EXPECT_TRUE(first_line.starts_with(test.first_line)) << first_line;
  }
  // Left by a client killed: the file never says let in.
  client.send_signal(SIGKILL);
  client.wait_exit(10s);
  const auto [code, first_line] = print_state(rig.state);
  EXPECT_EQ(code, 3) << first_line;
}

// The clock moved out of the window and into it again, while the client
// sleeps after a GOOD: it stops, waits, and starts as at launch. Sleeps are
// hurried sixtyfold.
TEST(State, AWindowThatClosesAndOpensStopsAndStartsTheClient) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE("the shim that moves the clock works in a Linux program");
  SKIP_UNDER_EMULATOR(kShimNeedsLinuxClient);
  Rig rig;
  const std::string shift = rig.dir.file("shift");
  const std::time_t now = std::time(nullptr);
  const int minute = static_cast<int>(now / 60 % 1440);
  char window[16];
  std::snprintf(window, sizeof window, "%02d:%02d-%02d:%02d", (minute + 1380) / 60 % 24,
                (minute + 1380) % 60, (minute + 60) / 60 % 24, (minute + 60) % 60);
  FakeServer server(kServer);
  Process client(
      client_command(rig.client({"-w", window})),
      with_shim({"TZ=UTC", "TEST_SHIM_CLOCK_FILE=" + shift, "TEST_SHIM_SLEEP_DIVISOR=60"}));
  round(server, true, "GOOD in", "120");
  rig.noted(1);
  std::ofstream(shift) << 3 * 3600;
  EXPECT_TRUE(client.wait_for_output(
      std::string("outside the allowed hours: next start at ") + std::string(window, 5) + "\n",
      10s))
      << client.output();
  EXPECT_TRUE(rig.tells("waiting-hours"));
  std::ofstream(shift) << 24 * 3600;
  round(server, true, "GOOD again", "120");
  EXPECT_EQ(rig.noted(4),
            "let-in let-in\nhours-end waiting-hours\nhours-start connecting\n"
            "let-in let-in\n")
      << client.output();
}

}  // namespace
}  // namespace e2e
