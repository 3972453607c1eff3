// The installed programs run as the installed service unit would run them.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::string file_content(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

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

class Installed : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("lumagate-e2e-install-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // A path of the installed system, inside the scratch root.
  fs::path installed(const std::string& path) const {
    return root_ / fs::path(path).relative_path();
  }

  fs::path root_;
};

TEST_F(Installed, ServiceUnitKeepsASessionWithTheInstalledSimulator) {
  REQUIRE_PRIVATE_NETWORK();
  run_command("DESTDIR='" + root_.string() +
              "' '" CMAKE_COMMAND_PATH "' --install '" BUILD_DIR "'");
  for (const std::string path :
       {INSTALL_BINDIR "/lumagatec", INSTALL_BINDIR "/lumagate-keyserver",
        INSTALL_MANDIR "/man1/lumagatec.1", INSTALL_MANDIR "/man1/lumagate-keyserver.1",
        INSTALL_DOCDIR "/README.md", SYSTEMD_UNIT_DIR "/lumagatec.service"})
    EXPECT_TRUE(fs::is_regular_file(installed(path))) << path;
  const std::string unit = file_content(installed(SYSTEMD_UNIT_DIR "/lumagatec.service"));
  ASSERT_FALSE(unit.empty());

  // What an administrator does: the switches into the settings file, the
  // password into a file of root's, which systemd hands over as a credential.
  std::string settings_file = setting(unit, "EnvironmentFile");
  if (settings_file.rfind('-', 0) == 0) settings_file.erase(0, 1);
  ASSERT_TRUE(fs::is_regular_file(installed(settings_file))) << settings_file;
  std::ofstream(installed(settings_file), std::ios::app) << "LUMAGATEC_OPTIONS=\"-s 127.0.0.2\"\n";
  const std::string credential = setting(unit, "LoadCredential");
  ASSERT_EQ(credential.rfind("password:", 0), 0u) << credential;
  const fs::path credentials = root_ / "credentials";
  fs::create_directories(credentials);
  std::ofstream(credentials / "password") << "installed-password\n";

  auto values = environment_file(file_content(installed(settings_file)));
  values["CREDENTIALS_DIRECTORY"] = credentials.string();
  std::vector<std::string> command = expand_command(setting(unit, "ExecStart"), values);
  ASSERT_FALSE(command.empty());
  command[0] = installed(command[0]).string();

  Process server({installed(INSTALL_BINDIR "/lumagate-keyserver").string(), "--password",
                  "installed-password", "--interval", "2"});
  ASSERT_TRUE(server.wait_for_output("listening", 5s)) << server.output();
  ProcessOptions options;
  options.unset = {"LUMAGATE"};
  Process client(command, options);
  EXPECT_TRUE(client.wait_for_output("GOOD", 15s)) << client.output() << server.output();
}

}  // namespace
}  // namespace e2e
