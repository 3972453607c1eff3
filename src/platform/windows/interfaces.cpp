// A connection kept on one adapter, and the guard of clients on adapters.
// winsock2.h must come before the IP Helper.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/windows/system.h"

namespace lumagate::platform {
namespace {

// Held by every client on an adapter while it runs, so that one on none
// sees it. Global: a service and a user's client see each other.
constexpr const wchar_t* kClientsOnAdapters = L"Global\\lumagatec-on-adapters";

struct Adapter {
  std::uint32_t index = 0;
  Ipv4 address = 0;  // its first IPv4 address, 0 when it has none
};

bool all_digits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// The adapter named by its friendly name, in any letter case as Windows
// compares it, or by its index; index 0 when there is none.
Adapter find_adapter(const char* name) {
  const std::wstring wide = windows::wide_of(name);
  const bool by_index = all_digits(name);
  const unsigned long index = by_index ? std::strtoul(name, nullptr, 10) : 0;
  ULONG size = 16384;
  Adapter found;
  for (int tries = 0; tries < 3; ++tries) {
    auto* list = static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size));
    if (list == nullptr) return found;
    const ULONG result = GetAdaptersAddresses(
        AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
        nullptr, list, &size);
    if (result == NO_ERROR) {
      for (const IP_ADAPTER_ADDRESSES* adapter = list; adapter != nullptr;
           adapter = adapter->Next) {
        const bool named = by_index ? adapter->IfIndex == index
                                    : !wide.empty() && adapter->FriendlyName != nullptr &&
                                          _wcsicmp(adapter->FriendlyName, wide.c_str()) == 0;
        if (!named) continue;
        found.index = adapter->IfIndex;
        const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
        if (unicast != nullptr && unicast->Address.lpSockaddr->sa_family == AF_INET) {
          found.address =
              reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr)->sin_addr.s_addr;
        }
        break;
      }
    }
    std::free(list);
    if (result != ERROR_BUFFER_OVERFLOW) break;
  }
  return found;
}

// Whether the named mutex is there, made by whichever user.
bool mutex_exists(const wchar_t* name) {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
  if (mutex != nullptr) {
    CloseHandle(mutex);
    return true;
  }
  return GetLastError() == ERROR_ACCESS_DENIED;
}

// Makes the named mutex and keeps it until the process ends; false when
// it was there already.
bool hold_new_mutex(const wchar_t* name) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) return false;  // another user's: ours to keep away from
  return GetLastError() != ERROR_ALREADY_EXISTS;
}

int in_use() {
  WSASetLastError(WSAEADDRINUSE);
  return -1;
}

int bind_loopback(Socket socket, std::uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return bind(static_cast<SOCKET>(socket), reinterpret_cast<const sockaddr*>(&local),
              sizeof local) == 0
             ? 0
             : -1;
}

}  // namespace

// Windows shares a port only with sockets that ask for it, whoever held it
// first: clients on adapters keep their mark in a mutex of their own and
// one per adapter instead, and look at the port only to find a client on
// none. The mark comes first, so that of two clients starting together, one
// on an adapter and one on none, at least one sees the other.
int bind_guard_port(Socket socket, std::uint16_t port, const char* interface_name) {
  if (interface_name == nullptr) {
    if (bind_loopback(socket, port) != 0) return -1;
    return mutex_exists(kClientsOnAdapters) ? in_use() : 0;
  }
  if (CreateMutexW(nullptr, FALSE, kClientsOnAdapters) == nullptr &&
      GetLastError() != ERROR_ACCESS_DENIED) {
    return -1;
  }
  // Another client on an adapter looks at the port a moment too.
  int bound = -1;
  for (int tries = 0; tries < 5 && bound != 0; ++tries) {
    if (tries > 0) Sleep(50);
    bound = bind_loopback(socket, port);
  }
  if (bound != 0) return -1;
  closesocket(static_cast<SOCKET>(socket));
  const Adapter adapter = find_adapter(interface_name);
  const std::wstring mutex = L"Global\\lumagatec-adapter-" + std::to_wstring(adapter.index);
  return hold_new_mutex(mutex.c_str()) ? 0 : in_use();
}

std::uint32_t interface_index(const char* name) { return find_adapter(name).index; }

// IP_UNICAST_IF keeps the packets on the adapter; the address they leave
// from must be its own too, or its network drops them.
int bind_to_interface(Socket socket, const char* name) {
  const Adapter adapter = find_adapter(name);
  if (adapter.index == 0) {
    WSASetLastError(WSAENETDOWN);
    return -1;
  }
  if (adapter.address == 0) {
    WSASetLastError(WSAEADDRNOTAVAIL);
    return -1;
  }
  const DWORD index = htonl(adapter.index);
  const auto handle = static_cast<SOCKET>(socket);
  if (setsockopt(handle, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&index),
                 sizeof index) != 0) {
    return -1;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = adapter.address;
  return bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}

// An adapter without its IPv4 address (unplugged, or not yet given one) is
// as good as gone.
bool interface_missing(std::int32_t code) {
  return code == WSAENETDOWN || code == WSAEADDRNOTAVAIL;
}

// Any user may bind a socket to an adapter.
bool interface_binding_refused(std::int32_t) { return false; }

}  // namespace lumagate::platform
