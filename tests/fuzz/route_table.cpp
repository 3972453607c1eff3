// The routing-table reader, over any table text.
#include <arpa/inet.h>

#include <string>

#include "fuzz_target.h"
#include "platform/posix/route_table.h"

using lumagate::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string table(reinterpret_cast<const char*>(data), size);
  const auto found = lumagate::platform::posix::default_gateways_in(table);
  for (std::size_t i = 0; i < found.size(); ++i) {
    in_addr address{};
    check(inet_pton(AF_INET, found[i].gateway.c_str(), &address) == 1, "not a dotted quad");
    check(address.s_addr != 0, "a gateway of 0.0.0.0");
    for (std::size_t j = 0; j < i; ++j) {
      check(found[j].interface_name != found[i].interface_name, "two gateways of one link");
    }
  }
  return 0;
}
