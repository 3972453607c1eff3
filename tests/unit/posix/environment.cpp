#include <cstdlib>
#include <ctime>
#include <string>

#include "test_support.h"

namespace lumagate::testing {

void set_environment(const char* name, const char* value) { setenv(name, value, 1); }

void unset_environment(const char* name) { unsetenv(name); }

void set_time_zone(const std::string& zone) {
  if (zone.empty()) {
    unsetenv("TZ");
  } else {
    setenv("TZ", zone.c_str(), 1);
  }
  tzset();
}

}  // namespace lumagate::testing
