#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "platform/platform.h"
#include "session/service_status.h"
#include "test_support.h"

namespace lumagate {
namespace {

// A service manager's end: a datagram socket bound to a path, or to an
// abstract name written with a leading '@' as in $NOTIFY_SOCKET.
class ManagerSocket {
 public:
  explicit ManagerSocket(const std::string& name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0) << std::strerror(errno);
  }
  ~ManagerSocket() { close(fd_); }
  ManagerSocket(const ManagerSocket&) = delete;
  ManagerSocket& operator=(const ManagerSocket&) = delete;

  // The next datagram, or "" when none comes within `ms` milliseconds.
  std::string receive(int ms = 1000) const {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, ms) != 1) return "";
    char buffer[512];
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
  }

 private:
  int fd_ = -1;
};

class ServiceManager : public testing::SettingsTest {
 protected:
  void TearDown() override {
    unsetenv("NOTIFY_SOCKET");
    SettingsTest::TearDown();
  }
};

TEST_F(ServiceManager, StatesReachAPathOrAnAbstractSocket) {
  for (const std::string& name :
       {path("notify"), "@lumagate-unit-notify-" + std::to_string(getpid())}) {
    ManagerSocket manager(name);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    platform::notify_service_manager("STATUS=let in by 127.0.0.2");
    EXPECT_EQ(manager.receive(), "STATUS=let in by 127.0.0.2") << name;
  }
}

TEST_F(ServiceManager, ReadyOnceAndTheStatusFollowsTheSession) {
  ManagerSocket manager(path("notify"));
  setenv("NOTIFY_SOCKET", path("notify").c_str(), 1);
  ServiceStatus status;
  tell_status(status, "127.0.0.2", 60);
  EXPECT_EQ(manager.receive(), "STATUS=127.0.0.2: not let in yet, interval 60 s");
  tell_let_in(status, "127.0.0.2", 60);
  EXPECT_EQ(manager.receive(), "READY=1");
  EXPECT_EQ(manager.receive(), "STATUS=127.0.0.2: let in, interval 60 s");
  tell_let_in(status, "127.0.0.2", 60);
  EXPECT_EQ(manager.receive(100), "") << "nothing has changed";

  tell_failure(status, "127.0.0.2", 60, "lost connection");
  const std::string failed = manager.receive();
  EXPECT_TRUE(
      std::regex_match(failed, std::regex("STATUS=127\\.0\\.0\\.2: not let in, interval 60 s; "
                                          "last failure \\d\\d:\\d\\d:\\d\\d: lost connection")))
      << failed;
  tell_let_in(status, "127.0.0.2", 30);
  const std::string again = manager.receive();
  EXPECT_EQ(again.rfind("STATUS=127.0.0.2: let in, interval 30 s; last failure ", 0), 0u) << again;
}

TEST_F(ServiceManager, ControlCharactersCannotAddStates) {
  ManagerSocket manager(path("notify"));
  setenv("NOTIFY_SOCKET", path("notify").c_str(), 1);
  ServiceStatus status;
  tell_failure(status, "host\nREADY=1", 60, "refused");
  EXPECT_EQ(manager.receive().find('\n'), std::string::npos);
}

}  // namespace
}  // namespace lumagate
