#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "notify_socket.h"
#include "platform/platform.h"
#include "session/service_status.h"
#include "test_support.h"

namespace lumagate {
namespace {

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
    NotifySocket manager(name);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    platform::notify_service_manager("STATUS=let in by 127.0.0.2");
    EXPECT_EQ(manager.receive(), "STATUS=let in by 127.0.0.2") << name;
  }
}

TEST_F(ServiceManager, ReadyOnceAndTheStatusFollowsTheSession) {
  NotifySocket manager(path("notify"));
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
  EXPECT_TRUE(std::regex_match(
      failed, std::regex("STATUS=127\\.0\\.0\\.2: not let in, interval 60 s; "
                         "last failure \\d\\d:\\d\\d:\\d\\d at 127\\.0\\.0\\.2: lost connection")))
      << failed;
  tell_let_in(status, "127.0.0.2", 30);
  const std::string again = manager.receive();
  EXPECT_EQ(again.rfind("STATUS=127.0.0.2: let in, interval 30 s; last failure ", 0), 0u) << again;
}

TEST_F(ServiceManager, ControlCharactersCannotAddStates) {
  NotifySocket manager(path("notify"));
  setenv("NOTIFY_SOCKET", path("notify").c_str(), 1);
  ServiceStatus status;
  tell_failure(status, "host\nREADY=1", 60, "refused");
  EXPECT_EQ(manager.receive().find('\n'), std::string::npos);
}

}  // namespace
}  // namespace lumagate
