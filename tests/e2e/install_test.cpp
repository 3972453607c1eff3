// The installed programs run as the installed service unit would run them.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "harness.h"
#include "notify_socket.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// The value of the first `key=` line of a unit or settings file, "" if none.
std::string setting(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

// The last assignment of each name in an environment file, quotes removed.
std::map<std::string, std::string> environment_file(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    std::string value = line.substr(equals + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    values[line.substr(0, equals)] = value;
  }
  return values;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> result;
  for (std::string word; stream >> word;) result.push_back(word);
  return result;
}

// An ExecStart= command line expanded as systemd does it: "$NAME" alone
// becomes the value's words, "${NAME}" is replaced within its word.
std::vector<std::string> expand_command(const std::string& command,
                                        const std::map<std::string, std::string>& values) {
  std::vector<std::string> argv;
  for (std::string word : words(command)) {
    if (word.size() > 1 && word[0] == '$' && word[1] != '{') {
      const auto found = values.find(word.substr(1));
      if (found != values.end())
        for (const auto& part : words(found->second)) argv.push_back(part);
      continue;
    }
    for (const auto& [name, value] : values) {
      const std::string reference = "${" + name + "}";
      for (auto at = word.find(reference); at != std::string::npos; at = word.find(reference))
        word.replace(at, reference.size(), value);
    }
    argv.push_back(word);
  }
  return argv;
}

// A path of the installed system, inside the scratch root.
fs::path installed(const TempDir& root, const std::string& path) {
  return fs::path(root.path()) / fs::path(path).relative_path();
}

TEST(Installed, ServiceUnitKeepsASessionWithTheInstalledSimulator) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(
      "this installs and runs the Linux programs under their systemd unit; the "
      "Windows program has no package and no service manager");
  TempDir root;
  run_command("DESTDIR='" + root.path() + "' '" CMAKE_COMMAND_PATH "' --install '" BUILD_DIR "'");
  for (const std::string path :
       {INSTALL_BINDIR "/lumagatec", INSTALL_BINDIR "/lumagate-keyserver",
        INSTALL_MANDIR "/man1/lumagatec.1", INSTALL_MANDIR "/man1/lumagate-keyserver.1",
        INSTALL_DOCDIR "/README.md", SYSTEMD_UNIT_DIR "/lumagatec.service"})
    EXPECT_TRUE(fs::is_regular_file(installed(root, path))) << path;
  const std::string unit =
      file_content(installed(root, SYSTEMD_UNIT_DIR "/lumagatec.service").string());
  ASSERT_FALSE(unit.empty());

  // What an administrator does: the switches into the settings file, the
  // password into a file of root's.
  std::string settings_file = setting(unit, "EnvironmentFile");
  if (settings_file.rfind('-', 0) == 0) settings_file.erase(0, 1);
  ASSERT_TRUE(fs::is_regular_file(installed(root, settings_file))) << settings_file;
  std::ofstream(installed(root, settings_file), std::ios::app)
      << "LUMAGATEC_OPTIONS=\"-s 127.0.0.2\"\n";
  const std::string credential = setting(unit, "LoadCredential");
  ASSERT_EQ(credential.rfind("password:", 0), 0u) << credential;
  const fs::path password_file = installed(root, credential.substr(std::strlen("password:")));
  fs::create_directories(password_file.parent_path());
  std::ofstream(password_file) << "installed-password\n";

  // What systemd does: the credential copied into a directory of the
  // service's own, the notification socket, the command line expanded.
  const fs::path credentials = fs::path(root.path()) / "credentials";
  fs::create_directories(credentials);
  fs::copy_file(password_file, credentials / "password");
  const std::string notify = "@lumagate-e2e-install-" + std::to_string(getpid());
  NotifySocket manager(notify);
  auto values = environment_file(file_content(installed(root, settings_file).string()));
  values["CREDENTIALS_DIRECTORY"] = credentials.string();
  std::vector<std::string> command = expand_command(setting(unit, "ExecStart"), values);
  ASSERT_FALSE(command.empty());
  command[0] = installed(root, command[0]).string();

  Process server({installed(root, INSTALL_BINDIR "/lumagate-keyserver").string(), "--password",
                  "installed-password", "--interval", "2"});
  ASSERT_TRUE(server.wait_for_output("listening", 5s)) << server.output();
  ProcessOptions options;
  options.environment = {"NOTIFY_SOCKET=" + notify};
  options.unset = {"LUMAGATE"};
  Process client(command, options);
  EXPECT_TRUE(client.wait_for_output("GOOD", 15s)) << client.output() << server.output();

  // Ready once let in; the status names the server and the interval.
  std::vector<std::string> states;
  for (std::string state = manager.receive(5000); !state.empty(); state = manager.receive(100))
    states.push_back(state);
  ASSERT_GE(states.size(), 2u) << client.output();
  const auto ready = std::find(states.begin(), states.end(), "READY=1");
  ASSERT_NE(ready, states.end()) << ::testing::PrintToString(states);
  EXPECT_EQ(states.back(), "STATUS=127.0.0.2: let in, interval 2 s")
      << ::testing::PrintToString(states);
}

}  // namespace
}  // namespace e2e
