// A service manager's end of the notification socket, for the unit and the
// end-to-end tests alike.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

// A datagram socket bound to a path, or to an abstract name written with a
// leading '@' as in $NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0) << std::strerror(errno);
  }
  ~NotifySocket() { close(fd_); }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

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
