// Adapters and their first gateways, from the IP Helper.
// winsock2.h must come before the IP Helper.
#include <winsock2.h>

#include <iphlpapi.h>

#include <cstdlib>

#include "platform/platform.h"

namespace lumagate::platform {

std::int32_t adapter_gateways(std::vector<AdapterGateway>* adapters) {
  adapters->clear();
  ULONG size = sizeof(IP_ADAPTER_INFO);
  auto* info = static_cast<IP_ADAPTER_INFO*>(std::malloc(size));
  if (info == nullptr) return kAdapterNoMemory;
  // A first call tells the size that all adapters need.
  if (GetAdaptersInfo(info, &size) == ERROR_BUFFER_OVERFLOW) {
    std::free(info);
    info = static_cast<IP_ADAPTER_INFO*>(std::malloc(size));
    if (info == nullptr) return kAdapterNoMemory;
  }
  const DWORD result = GetAdaptersInfo(info, &size);
  if (result == NO_ERROR) {
    for (const IP_ADAPTER_INFO* adapter = info; adapter != nullptr; adapter = adapter->Next) {
      adapters->push_back({static_cast<int>(adapter->Type), adapter->GatewayList.IpAddress.String,
                           static_cast<std::uint32_t>(adapter->Index)});
    }
  }
  std::free(info);
  return static_cast<std::int32_t>(result);
}

}  // namespace lumagate::platform
