// The client's session with a Key-server: challenges, verdicts, keep-alive
// lines, silence and reconnection.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "notify_socket.h"
#include "transcript.h"

namespace e2e {
namespace {

const std::string kServer = "127.0.0.2";
const std::string kConnecting = "connecting to 127.0.0.2:12040...\n";

// True once the process has stopped itself, false after `timeout`.
bool wait_stopped(Process& process, Millis timeout) {
  const auto deadline = SteadyClock::now() + timeout;
  const std::string stat = "/proc/" + std::to_string(process.pid()) + "/stat";
  for (;;) {
    std::ifstream file(stat);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto name_end = text.rfind(')');
    if (name_end != std::string::npos && text.compare(name_end, 4, ") T ") == 0) return true;
    if (!process.running() || SteadyClock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

// Reads the answer to the challenge `line` and checks its form and its
// proof against `challenge`, `mode` and `digest`. The random number used.
int check_answer(FakeServer& server, Transcript& transcript, const std::string& line,
                 const std::string& challenge, const std::string& mode, const std::string& digest) {
  auto answer = server.read_line(5s);
  if (!answer) {
    ADD_FAILURE() << "no answer to " << line;
    return -1;
  }
  // RESPONSE <32 lower-case hex digits> <number> <mode>
  const std::size_t proof_at = 9;
  const std::size_t number_at = proof_at + 33;
  const std::size_t mode_at = answer->find(' ', number_at);
  const bool well_formed =
      answer->starts_with("RESPONSE ") && answer->size() > number_at &&
      answer->find_first_not_of("0123456789abcdef", proof_at) == proof_at + 32 &&
      (*answer)[proof_at + 32] == ' ' && mode_at != std::string::npos && mode_at > number_at &&
      mode_at - number_at <= 5 && answer->find_first_not_of("0123456789", number_at) == mode_at;
  if (!well_formed) {
    ADD_FAILURE() << "answer to " << line << " malformed: " << *answer;
    return -1;
  }
  const std::string proof = answer->substr(proof_at, 32);
  const std::string number_text = answer->substr(number_at, mode_at - number_at);
  const int number = std::stoi(number_text);
  EXPECT_LE(number, 32767) << *answer;
  EXPECT_EQ(number_text, std::to_string(number)) << *answer;
  EXPECT_EQ(answer->substr(mode_at + 1), mode) << *answer;
  EXPECT_EQ(proof, md5_hex_of(challenge + std::to_string(number) + mode + digest))
      << "proof for challenge '" << challenge << "' in " << *answer;
  EXPECT_TRUE(transcript.next("recv: " + line + "\n", 2s)) << line;
  EXPECT_TRUE(transcript.next("send: " + *answer + "\r\n", 2s)) << *answer;
  return number;
}

// Sends `line` as a challenge, behind `sent_before` in the same write, and
// checks the answer as check_answer does.
int expect_answer(FakeServer& server, Transcript& transcript, const std::string& line,
                  const std::string& challenge, const std::string& mode, const std::string& digest,
                  const std::string& sent_before = "") {
  server.send(sent_before + line + "\r\n");
  return check_answer(server, transcript, line, challenge, mode, digest);
}

// Sends a line that the client only traces, and waits for the trace.
void expect_trace(FakeServer& server, Transcript& transcript, const std::string& line) {
  server.send(line + "\r\n");
  EXPECT_TRUE(transcript.next("recv: " + line + "\n", 4s)) << line;
}

// The Key-server simulator on the test's server address, once it listens.
std::unique_ptr<Process> start_keyserver(std::vector<std::string> arguments) {
  std::vector<std::string> command{KEYSERVER_PATH, "--address", kServer};
  command.insert(command.end(), arguments.begin(), arguments.end());
  auto server = std::make_unique<Process>(command);
  EXPECT_TRUE(server->wait_for_output("listening on", 5s)) << server->output();
  return server;
}

TEST(Session, FullRoundsWithTheSimulator) {
  REQUIRE_PRIVATE_NETWORK();
  auto server = start_keyserver({"--password", "secret", "--interval", "1", "--mode-required",
                                 "LOCAL", "--info", "welcome", "--message", "be nice"});
  Process client(client_command({"-s", kServer, "-m", "LOCAL", "-d", md5_hex_of("secret"), "-v"}));
  Transcript transcript(client);
  ASSERT_TRUE(transcript.next(kConnecting, 5s)) << client.output();
  ASSERT_TRUE(transcript.next("recv: LUMAGATE=1\n", 5s)) << client.output();
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(transcript.next("recv: CHALLENGE ", 6s)) << client.output();
    ASSERT_TRUE(transcript.next(" LOCAL\r\n", 2s)) << client.output();
    ASSERT_TRUE(transcript.next("recv: INFO welcome\n", 5s)) << client.output();
    ASSERT_TRUE(transcript.next("recv: MESSAGE be nice\n", 5s)) << client.output();
    ASSERT_TRUE(transcript.next("recv: GOOD", 5s)) << client.output();
    ASSERT_TRUE(transcript.next("] waiting 1 sec...\n", 1s)) << client.output();
  }
  // The simulator checked both proofs itself.
  EXPECT_TRUE(server->wait_for_output("verdict GOOD", 1s));
  EXPECT_GE(server->count_output("verdict GOOD"), 2) << server->output();
  EXPECT_EQ(server->count_output("verdict SORRY"), 0) << server->output();
  EXPECT_EQ(client.count_output("connecting to"), 1) << client.output();
}

TEST(Session, WrongDigestIsRefusedAndRetried) {
  REQUIRE_PRIVATE_NETWORK();
  auto server = start_keyserver({"--password", "secret", "--interval", "1"});
  Process client(client_command({"-s", kServer, "-d", md5_hex_of("wrong"), "-v"}));
  Transcript transcript(client);
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_TRUE(transcript.next(kConnecting, 5s)) << client.output();
    ASSERT_TRUE(transcript.next("send: RESPONSE ", 6s)) << client.output();
    ASSERT_TRUE(transcript.next("recv: SORRY", 5s)) << client.output();
    auto refused = SteadyClock::now();
    ASSERT_TRUE(transcript.next(kConnecting, 4s)) << client.output();
    EXPECT_GT(seconds_since(refused), 0.5);
    EXPECT_LT(seconds_since(refused), 3.0);
  }
  EXPECT_EQ(server->count_output("verdict GOOD"), 0) << server->output();
  EXPECT_GE(server->count_output("verdict SORRY"), 2) << server->output();
  EXPECT_EQ(client.count_output("waiting"), 0) << client.output();
}

// Refused answers are retried three times as before, then after 10 s and
// more, until a GOOD; a refusal before any answer keeps the second's wait.
// Sleeps are hurried tenfold.
TEST(Session, RefusedAnswersBackOffUntilAGood) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE("the shim that hurries the client's sleeps works in a Linux program");
  SKIP_UNDER_EMULATOR(kShimNeedsLinuxClient);
  FakeServer server(kServer);
  // A service manager that restarted a client not let in would end its
  // back-off: the client says it is up once it backs off.
  const std::string notify = "@lumagate-e2e-refusals-" + std::to_string(getpid());
  NotifySocket manager(notify);
  Process client(client_command({"-s", kServer, "-d", kAnyDigest}),
                 with_shim({"TEST_SHIM_SLEEP_DIVISOR=10", "NOTIFY_SOCKET=" + notify}));
  Transcript transcript(client);
  auto connection = [&](bool answered, const std::string& verdict) {
    ASSERT_TRUE(server.accept_client(5s)) << client.output();
    if (answered) {
      server.send("LUMAGATE=1\r\nCHALLENGE c\r\n");
      ASSERT_TRUE(server.read_line(5s)) << client.output();
    }
    server.send(verdict + "\r\n");
  };
  for (bool answered : {true, false, true, false, true, false, true}) connection(answered, "SORRY");
  const auto refused = SteadyClock::now();
  ASSERT_TRUE(transcript.next("] Refused 4 times in a row: next try in ", 5s)) << client.output();
  std::string state;
  while (state != "READY=1" && !(state = manager.receive(500)).empty()) {
  }
  EXPECT_EQ(state, "READY=1") << "not ready while backing off";
  connection(true, "GOOD");
  EXPECT_GT(seconds_since(refused), 0.85) << "no back-off";
  server.send("CHALLENGE d\r\n");
  ASSERT_TRUE(server.read_line(5s)) << client.output();
  server.send("SORRY\r\n");
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  EXPECT_EQ(client.count_output("Refused"), 1) << client.output();
}

// A connection to the simulator from `source`, under way.
int connect_from(const std::string& source) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr(source.c_str());
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  address.sin_port = htons(12040);
  address.sin_addr.s_addr = inet_addr(kServer.c_str());
  connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

// Connections that send only blank lines, more than the simulator's
// descriptors can hold, may not keep a client out for good, nor may one
// address take more than a few of them; its log shows high bytes escaped.
TEST(Session, ACrowdLeavesRoomForAClient) {
  REQUIRE_PRIVATE_NETWORK();
  Process limited({"prlimit", "--nofile=24", KEYSERVER_PATH, "--address", kServer, "--password",
                   "secret", "--interval", "1", "--idle-timeout", "3", "--info", "\x9b\xc2\x9d\\"});
  ASSERT_TRUE(limited.wait_for_output("listening on", 5s)) << limited.output();
  // Five from one address, the fifth closed at once; then four from each of
  // nine more, beyond the room the descriptors leave closed at once too. The
  // rest go once they have said nothing to answer for the idle time.
  std::vector<int> crowd;
  for (int i = 0; i < 41; ++i)
    crowd.push_back(connect_from("127.0.1." + std::to_string(i < 5 ? 1 : (i - 5) / 4 + 2)));
  EXPECT_TRUE(limited.wait_for_output("#5 refuse 127.0.1.1:", 4s)) << limited.output();
  EXPECT_TRUE(limited.wait_for_output("open from 127.0.1.1, the most one address may hold", 1s));
  EXPECT_TRUE(limited.wait_for_output("#41 refuse", 4s)) << limited.output();
  for (int second = 0; second < 6 && limited.count_output("close idle") == 0; ++second) {
    for (int fd : crowd) send(fd, "\r\n", 2, MSG_NOSIGNAL);
    std::this_thread::sleep_for(1s);
  }
  EXPECT_TRUE(limited.wait_for_output("close idle", 1s)) << limited.output();
  Process client(client_command({"-s", kServer, "-d", md5_hex_of("secret")}));
  EXPECT_TRUE(client.wait_for_output("GOOD", 15s)) << client.output() << limited.output();
  for (int fd : crowd) close(fd);
  EXPECT_TRUE(limited.wait_for_output("send INFO \\x9b\\xc2\\x9d\\\\\n", 1s)) << limited.output();
}

TEST(Session, AnswersChallengesOnOneConnection) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  const std::string digest = kAnyDigest;
  Process client(client_command({"-s", kServer, "-d", digest, "-m", "local", "-v"}));
  Transcript transcript(client);
  ASSERT_TRUE(transcript.next(kConnecting, 5s)) << client.output();
  ASSERT_TRUE(server.accept_client(5s));
  expect_trace(server, transcript, "LUMAGATE=1");

  // Everything after the first blank is the challenge, blanks included.
  int first = expect_answer(server, transcript, "CHALLENGE a b  c", "a b  c", "local", digest);
  server.send("GOOD welcome\r\n");
  ASSERT_TRUE(transcript.next("recv: GOOD welcome\n", 4s)) << client.output();
  ASSERT_TRUE(transcript.next("] waiting 1 sec...\n", 1s)) << client.output();
  auto slept_from = SteadyClock::now();
  int second = expect_answer(server, transcript, "CHALLENGE a b  c", "a b  c", "local", digest);
  double slept = seconds_since(slept_from);
  EXPECT_GT(slept, 0.7) << "answered before the interval had passed";
  EXPECT_LT(slept, 3.5);
  EXPECT_NE(first, second) << "the same random number twice";

  // Words are matched by prefix, case-sensitively.
  expect_answer(server, transcript, "CHALLENGEX y z", "y z", "local", digest);
  expect_answer(server, transcript, "CHALLENGE", "", "local", digest);
  expect_trace(server, transcript, "challenge lower");
  EXPECT_FALSE(server.read_line(1500ms)) << "answered a lower-case challenge";

  EXPECT_EQ(server.accepted(), 1);
  EXPECT_EQ(client.count_output("connecting to"), 1) << client.output();
}

// The proof of a cut proof input would give digest digits away: a challenge
// that long is not answered, and the connection goes as after a refusal.
TEST(Session, AChallengeTooLongForAWholeProofIsNotAnswered) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  const std::string digest = md5_hex_of("secret");
  Process client(client_command({"-s", kServer, "-d", digest, "-v"}));
  Transcript transcript(client);
  // The proof input: the challenge, a number of 1 to 5 digits, WORLD and
  // the digest, in 767 characters at most.
  const std::string cut(767 - 1 - 5 - 32 + 1, 'c');
  const std::string fits(767 - 5 - 5 - 32, 'f');
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  server.send("CHALLENGE " + cut + "\r\n");
  EXPECT_TRUE(
      transcript.next("] Challenge not answered: its answer would not fit in one line.\n", 4s))
      << client.output();
  EXPECT_FALSE(server.read_line(3s)) << "answered a challenge whose proof input was cut";
  EXPECT_TRUE(server.client_closed(1s));
  ASSERT_TRUE(server.accept_client(4s)) << client.output();
  expect_answer(server, transcript, "CHALLENGE " + fits, fits, "WORLD", digest);
  EXPECT_EQ(client.output().find(digest), std::string::npos);
}

TEST(Session, KeepAliveSetsIntervalWithinLimits) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  Process client(client_command({"-v", "-s", kServer, "-d", kAnyDigest}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();

  // Each keep-alive line is followed by a GOOD line, whose trace tells the
  // interval in force.
  struct Step {
    std::string keep_alive;
    int interval;
  };
  const Step steps[] = {
      {"LUMAGATE=2", 2},  {"LUMAGATE=0", 2}, {"LUMAGATE=601", 2},        {"LUMAGATE=x", 2},
      {"LUMAGATE=-5", 2}, {"LUMAGATE", 2},   {"LUMAGATE interval=1", 1}, {"LUMAGATE= 3", 3},
  };
  for (const auto& step : steps) {
    expect_trace(server, transcript, step.keep_alive);
    server.send("GOOD\r\n");
    std::string waiting = "waiting " + std::to_string(step.interval) + " sec...\n";
    ASSERT_TRUE(transcript.next("recv: GOOD\n", 4s)) << client.output();
    ASSERT_TRUE(transcript.next("] " + waiting, 1s)) << "after " << step.keep_alive << ":\n"
                                                     << client.output();
    // The client sleeps the interval before it reads the next line.
    auto asleep = SteadyClock::now();
    server.send("LUMAGATE\r\n");
    ASSERT_TRUE(transcript.next("recv: LUMAGATE\n", 6s)) << client.output();
    EXPECT_GT(seconds_since(asleep), step.interval - 0.5) << step.keep_alive;
  }

  // Three characters are read after the "=": 1200 asks for 120.
  expect_trace(server, transcript, "LUMAGATE=1200");
  server.send("GOOD\r\n");
  EXPECT_TRUE(transcript.next("recv: GOOD\n", 4s)) << client.output();
  EXPECT_TRUE(transcript.next("] waiting 120 sec...\n", 1s)) << client.output();
  EXPECT_EQ(server.accepted(), 1);
}

TEST(Session, VerboseTranscript) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  Process client(client_command({"-s", kServer, "-v", "-d", kAnyDigest}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  expect_trace(server, transcript, "LUMAGATE=1");
  expect_trace(server, transcript, "INFO for you");
  expect_trace(server, transcript, "MESSAGE from the admin");
  expect_trace(server, transcript, "LUMAGATE");
  expect_trace(server, transcript, "");
  expect_trace(server, transcript, "anything else");
  expect_trace(server, transcript, "LUMAGATE");
  server.send("SORRY no\r\n");
  ASSERT_TRUE(transcript.next("recv: SORRY no\n", 4s)) << client.output();
  EXPECT_TRUE(server.client_closed(3s));
  ASSERT_TRUE(transcript.next(kConnecting, 4s)) << client.output();
  ASSERT_TRUE(server.accept_client(3s));

  EXPECT_EQ(without_times(client.output()), "[T] " + kConnecting +
                                                "[T] recv: LUMAGATE=1\n"
                                                "[T] recv: INFO for you\n"
                                                "[T] recv: MESSAGE from the admin\n"
                                                "[T] recv: LUMAGATE\n"
                                                "[T] recv: \n"
                                                "[T] recv: anything else\n"
                                                "[T] recv: LUMAGATE\n"
                                                "[T] recv: SORRY no\n"
                                                "[T] " +
                                                kConnecting);
}

TEST(Session, QuietTranscriptShowsVerdictsAndNotices) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  Process client(client_command({"-s", kServer, "-d", kAnyDigest}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  // Lines the client does not show are paced by the answer to a challenge.
  auto unseen = [&](const std::string& line) {
    server.send(line + "\r\n");
    std::this_thread::sleep_for(1600ms);
    server.send("CHALLENGE c\r\n");
    EXPECT_TRUE(server.read_line(4s)) << "no answer after " << line;
  };
  unseen("LUMAGATE=1");
  // Not on a terminal: a repeat within a minute is counted.
  server.send("INFO service notice\r\nINFO service notice\r\n");
  EXPECT_TRUE(transcript.next("] INFO service notice\n", 4s));
  server.send("MESSAGE hello\r\n");
  EXPECT_TRUE(transcript.next("] MESSAGE hello\n", 4s));
  unseen("info lower case");
  server.send("INFORMAL\r\n");
  EXPECT_TRUE(transcript.next("] INFORMAL\n", 4s));
  unseen("other");
  // One read: the line after the GOOD line follows the interval's sleep.
  server.send("GOODIE\r\nINFO kept\r\n");
  EXPECT_TRUE(transcript.next("] GOODIE\n", 4s));
  EXPECT_TRUE(transcript.next("] INFO kept\n", 4s));
  std::this_thread::sleep_for(1500ms);
  server.send("SORRY, not now\r\n");
  EXPECT_TRUE(transcript.next("] SORRY, not now\n", 4s));
  EXPECT_TRUE(server.client_closed(3s));
  auto closed = SteadyClock::now();
  ASSERT_TRUE(server.accept_client(4s)) << client.output();
  EXPECT_GT(seconds_since(closed), 0.5);

  const std::string shown_lines =
      "[T] INFO service notice\n"
      "[T] (the last server line came 1 time more)\n"
      "[T] MESSAGE hello\n"
      "[T] INFORMAL\n"
      "[T] GOODIE\n"
      "[T] INFO kept\n"
      "[T] SORRY, not now\n";
  EXPECT_EQ(without_times(client.output()), shown_lines);
}

// Lines that arrive in one read are each handled, one per wake, with the
// sleep after each.
TEST(Session, LinesSharingOneReadAreAllHandled) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  const std::string digest = md5_hex_of("secret");
  Process client(client_command({"-s", kServer, "-d", digest, "-v"}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  expect_answer(server, transcript, "CHALLENGE behind", "behind", "WORLD", digest,
                "LUMAGATE=1\r\n");
  server.send("INFO x\r\nGOOD y\r\n");
  ASSERT_TRUE(transcript.next("recv: INFO x\n", 4s)) << client.output();
  const auto shown = SteadyClock::now();
  ASSERT_TRUE(transcript.next("recv: GOOD y\n", 4s)) << client.output();
  EXPECT_GT(seconds_since(shown), 0.5) << "no sleep after the notice";
  // The keep-alive before the challenge was handled too.
  EXPECT_TRUE(transcript.next("] waiting 1 sec...\n", 1s)) << client.output();
}

// Bytes go into lines and proofs as they came: those above 127 count like
// any other, and a NUL ends the text of its line, not the line.
TEST(Session, EveryByteValueIsTakenAsItCame) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  const std::string digest = md5_hex_of("secret");
  Process client(client_command({"-s", kServer, "-d", digest, "-v"}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  const std::string high = "caf\xe9 \xa0\xff";
  expect_answer(server, transcript, "CHALLENGE " + high, high, "WORLD", digest);
  expect_answer(server, transcript, "CHALLENGE after", "after", "WORLD", digest,
                std::string("INFO a\0b\r\n", 10));
  EXPECT_NE(client.output().find("recv: INFO a\n"), std::string::npos) << client.output();
}

// A read takes at most 767 bytes and each wake handles one line of it:
// a longer line is cut there and the rest of it dropped, a line whose read
// brings no line end waits a moment for its rest, and none is lost. Sleeps
// are hurried.
TEST(Session, LinesAreCutWhereTheReadsFall) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE("the shim that hurries the client's sleeps works in a Linux program");
  SKIP_UNDER_EMULATOR(kShimNeedsLinuxClient);
  FakeServer server(kServer);
  const std::string digest = md5_hex_of("secret");
  Process client(client_command({"-s", kServer, "-d", digest, "-v"}),
                 with_shim({"TEST_SHIM_SLEEP_DIVISOR=100"}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  // A first read of 767 bytes without a line end; the rest of the line,
  // past the 767th byte, is never a line of its own, whatever it says.
  expect_answer(server, transcript, "CHALLENGE c", "c", "WORLD", digest,
                std::string(767, 'x') + "\r\n");
  expect_answer(server, transcript, "CHALLENGE d", "d", "WORLD", digest,
                "INFO " + std::string(762, 'i') + "CHALLENGE evil\r\n");
  EXPECT_NE(client.output().find("recv: INFO " + std::string(700, 'i')), std::string::npos);
  EXPECT_EQ(client.output().find("] recv: \n"), std::string::npos) << client.output();
  EXPECT_EQ(client.output().find("evil"), std::string::npos) << client.output();

  // A line sent in two pieces is joined; two lines stay two.
  server.send("CHALLENGE abc");
  std::this_thread::sleep_for(100ms);
  server.send("def\r\n");
  check_answer(server, transcript, "CHALLENGE abcdef", "abcdef", "WORLD", digest);
  expect_trace(server, transcript, "CHALL");
  expect_trace(server, transcript, "ENGE split");
  EXPECT_FALSE(server.read_line(500ms)) << "answered a line that came in two pieces";

  // A hundred lines sent at once: 76 whole ones and the first 7 bytes of
  // the next fill the first read, and the line it cuts is joined again.
  std::string lines;
  for (int i = 0; i < 100; ++i) lines += "INFO " + std::to_string(1000 + i).substr(1) + "\r\n";
  server.send(lines);
  for (int i = 0; i < 100; ++i) {
    const std::string shown = "] recv: INFO " + std::to_string(1000 + i).substr(1) + "\n";
    ASSERT_TRUE(transcript.next(shown, 4s)) << shown << client.output();
  }

  // The start of a line behind another waits for its rest, which comes in
  // pieces after the client's (hurried) sleep; without its rest it is taken
  // as it stands.
  server.send("INFO first\r\nCHALLENGE 12345");
  for (const std::string piece : {"6", "78\r\nINFO a\r\nINFO no end"}) {
    std::this_thread::sleep_for(200ms);
    server.send(piece);
  }
  check_answer(server, transcript, "CHALLENGE 12345678", "12345678", "WORLD", digest);
  ASSERT_TRUE(transcript.next("] recv: INFO a\n", 4s)) << client.output();
  ASSERT_TRUE(transcript.next("] recv: INFO no end\n", 4s)) << client.output();

  // A connection that ends before a cut line's rest has come takes the
  // dropping with it: the next one's first line is a line.
  server.send(std::string(767, 'y'));
  ASSERT_TRUE(transcript.next("] recv: yyy", 4s)) << client.output();
  server.reset_client();
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  expect_answer(server, transcript, "CHALLENGE next", "next", "WORLD", digest);
}

// A reset while the client sleeps with a challenge in hand: the answer
// cannot go out, and the client connects again at once.
TEST(Session, AResetBeforeTheAnswerIsASendError) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  Process client(client_command({"-s", kServer, "-d", kAnyDigest, "-v"}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  server.send("LUMAGATE=3\r\nGOOD wait\r\nCHALLENGE late\r\n");
  ASSERT_TRUE(transcript.next("recv: GOOD wait\n", 5s)) << client.output();
  server.reset_client();
  ASSERT_TRUE(transcript.next("recv: CHALLENGE late\n", 6s)) << client.output();
  // The code and its text are the platform's.
  ASSERT_TRUE(transcript.next("] send failed with error ", 2s)) << client.output();
  const auto failed = SteadyClock::now();
  ASSERT_TRUE(server.accept_client(3s)) << client.output();
  EXPECT_LT(seconds_since(failed), 0.9) << "slept before connecting again";
}

TEST(Session, SilenceAndRefusalEndAttempts) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  Process client(client_command({"-s", kServer, "-d", kAnyDigest, "-v"}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  auto connected = SteadyClock::now();
  // From now on connections are refused; they must look like silence too.
  server.stop_listening();
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_TRUE(transcript.next("lost connection\n", 9s)) << client.output();
    double waited = seconds_since(connected);
    EXPECT_GT(waited, 4.0) << "attempt " << attempt;
    EXPECT_LT(waited, 7.5) << "attempt " << attempt;
    auto lost = SteadyClock::now();
    ASSERT_TRUE(transcript.next(kConnecting, 4s)) << client.output();
    connected = SteadyClock::now();
    EXPECT_GT(seconds_since(lost), 0.5);
    EXPECT_LT(seconds_since(lost), 3.0);
  }
  EXPECT_EQ(without_times(client.output()), "[T] " + kConnecting + "[T] lost connection\n[T] " +
                                                kConnecting + "[T] lost connection\n[T] " +
                                                kConnecting);
}

TEST(Session, ClosedServerEndsAtSilenceLimit) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server(kServer);
  Process client(client_command({"-s", kServer, "-d", kAnyDigest, "-v"}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  expect_trace(server, transcript, "LUMAGATE=1");
  auto heard = SteadyClock::now();
  server.close_client();
  // Reads of nothing go on until the interval and 5 s have passed.
  ASSERT_TRUE(server.accept_client(12s)) << client.output();
  double took = seconds_since(heard);
  EXPECT_GT(took, 5.0);
  EXPECT_LT(took, 10.0);
  EXPECT_EQ(without_times(client.output()),
            "[T] " + kConnecting + "[T] recv: LUMAGATE=1\n[T] " + kConnecting);
  // The interval outlives the connection.
  server.send("GOOD\r\n");
  EXPECT_TRUE(transcript.next("recv: GOOD\n", 4s)) << client.output();
  EXPECT_TRUE(transcript.next("] waiting 1 sec...\n", 1s)) << client.output();
}

// A notice full of terminal controls reaches the terminal and the log file
// in caret notation; C1 controls too, where the console takes them as such:
// in a UTF-8 locale never inside a character, in any other everywhere.
TEST(Session, ServerTextCannotDriveTheTerminal) {
  REQUIRE_PRIVATE_NETWORK();
  // Wine draws its own console on the terminal, and shows a tab as blanks;
  // a Windows console's code page gives bytes from 0x80 up their meaning.
  const bool windows = client_runs_under_wine();
  const std::string notice = "INFO hi \x1b]0;owned\x07 \x1b[2J\x1b[31m red\b\b\b\tcaret^ del\x7f";
  const std::string c1 = " \xc2\x9b\x9d\xc3\x9d";
  const std::string visible = "] INFO hi ^[]0;owned^G ^[[2J^[[31m red^H^H^H";
  const std::string rest = "caret^ del^?";
  const std::string tab = windows ? std::string(3, ' ') : "\t";
  const std::string in_utf8 = " M-^[M-^]\xc3\x9d";
  const std::string every_byte = " \xc2M-^[M-^]\xc3M-^]";
  // A locale that is not installed tells nothing of the terminal; to a
  // router's C library (musl) every locale but C is there, and UTF-8.
  const std::string not_installed = client_runs_under_emulator() ? in_utf8 : every_byte;
  for (const auto& [locale, c1_shown] : {std::pair<std::string, std::string>{"C.UTF-8", in_utf8},
                                         {"C", every_byte},
                                         {"xx_XX.UTF-8", not_installed}}) {
    SCOPED_TRACE("LC_ALL=" + locale);
    TempDir dir;
    const std::string log = dir.file("client.log");
    FakeServer server(kServer);
    ProcessOptions on_terminal;
    on_terminal.terminal = true;
    on_terminal.environment = {"LC_ALL=" + locale};
    Process client(client_command({"-s", kServer, "-d", kAnyDigest, "-l", log}), on_terminal);
    ASSERT_TRUE(server.accept_client(5s)) << client.output();
    server.send(notice + c1 + "\r\n");
    ASSERT_TRUE(client.wait_for_output("] INFO hi ", 5s)) << client.output();
    // Once the next line is shown, the notice's log line is surely written.
    server.send("INFO next\r\n");
    ASSERT_TRUE(client.wait_for_output("] INFO next\n", 5s)) << client.output();
    const std::string shown = client.output();
    const std::string stored = windows ? c1 : c1_shown;
    EXPECT_NE(shown.find(visible + tab + rest + (windows ? "" : stored + "\n")), std::string::npos)
        << shown;
    for (const std::string raw : {"\x1b]0;owned", "\x1b[2J", "\x1b[31m", "\b", "\x7f"})
      EXPECT_EQ(shown.find(raw), std::string::npos) << shown;
    EXPECT_NE(file_content(log).find(visible + "\t" + rest + stored + "\r\n"), std::string::npos)
        << file_content(log);
  }
}

// The calendar clock set back an hour while the server is silent: the
// silence limit still ends the connection after the interval and 5 s.
TEST(Session, SilenceLimitIgnoresTheCalendarClock) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_EMULATOR(kShimNeedsLinuxClient);
  TempDir dir;
  const std::string trigger = dir.file("set-back");
  FakeServer server(kServer);
  Process client(client_command({"-s", kServer, "-d", kAnyDigest, "-v"}),
                 with_shim({"TEST_SHIM_CLOCK_SHIFT=-3600", "TEST_SHIM_CLOCK_TRIGGER=" + trigger}));
  Transcript transcript(client);
  ASSERT_TRUE(server.accept_client(5s)) << client.output();
  expect_trace(server, transcript, "LUMAGATE=1");
  std::ofstream(trigger).close();
  auto heard = SteadyClock::now();
  server.close_client();
  ASSERT_TRUE(server.accept_client(12s)) << client.output();
  EXPECT_GT(seconds_since(heard), 5.0);
}

TEST(Session, UnresolvableHostIsRetried) {
  REQUIRE_PRIVATE_NETWORK();
  Process client(client_command({"-v", "-s", "no-such-host.invalid", "-d", kAnyDigest}));
  Transcript transcript(client);
  ASSERT_TRUE(transcript.next("couldn't connect to server\n", 10s)) << client.output();
  auto first = SteadyClock::now();
  ASSERT_TRUE(transcript.next("couldn't connect to server\n", 10s)) << client.output();
  double apart = seconds_since(first);
  // A router build's resolver (musl's) waits out its 5 s timeout for a name
  // server that the private network cannot reach; glibc's gives up at once.
  const double lookup = client_runs_under_emulator() ? 5.5 : 0.0;
  EXPECT_GT(apart, 2.0);
  EXPECT_LT(apart, 5.0 + lookup);
  std::string once =
      "[T] unable to resolve host no-such-host.invalid\n"
      "[T] couldn't connect to server\n";
  EXPECT_EQ(without_times(client.output()), once + once);
}

// A server that resets the connection, before the client has looked at it
// or after its answer: the read that follows fails, is reported (counted
// when it repeats), and costs a reconnection a second later, never the
// process. A reset before the first wait must not pass for a refused
// connection (5 s of silence). The client stops itself after each connect,
// so the test decides the order of events.
TEST(Session, ServerResetIsAReadErrorAndSurvived) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(
      "the shim that stops the client after its TCP connect works in a Linux "
      "program; a Windows program's connect happens inside the wineserver");
  SKIP_UNDER_EMULATOR(kShimNeedsLinuxClient);
  FakeServer server(kServer);
  Process client(client_command({"-s", kServer, "-d", kAnyDigest}),
                 with_shim({"TEST_SHIM_STOP_AFTER_CONNECT=1"}));
  Transcript transcript(client);
  for (int round = 1; round <= 4; ++round) {
    ASSERT_TRUE(wait_stopped(client, 15s)) << "round " << round << "\n" << client.output();
    ASSERT_TRUE(server.accept_client(5s));
    const bool before_first_wait = round % 2 == 1;
    if (before_first_wait) {
      server.send("CHALLENGE abc\r\n");
      server.reset_client();
      client.send_signal(SIGCONT);
    } else {
      client.send_signal(SIGCONT);
      server.send("CHALLENGE abc\r\n");
      ASSERT_TRUE(server.read_line(5s)) << client.output();
      server.reset_client();
    }
    // Not on a terminal, the same error within a minute is counted.
    if (round == 1) {
      ASSERT_TRUE(transcript.next("] recv failed with error 104: Connection reset by peer\n", 5s))
          << client.output();
    }
  }
  ASSERT_TRUE(wait_stopped(client, 5s)) << client.output();
  client.send_signal(SIGCONT);
  ASSERT_TRUE(server.accept_client(5s));
  server.send("INFO after\r\n");
  EXPECT_TRUE(transcript.next("] (the last server line came 3 times more)\n[", 5s))
      << client.output();
}

}  // namespace
}  // namespace e2e
