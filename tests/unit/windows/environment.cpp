#include <cstdlib>
#include <ctime>
#include <string>

#include "test_support.h"

namespace lumagate::testing {

// The C runtime's own copy of the environment is what getenv reads.
void set_environment(const char* name, const char* value) { _putenv_s(name, value); }

void unset_environment(const char* name) { _putenv_s(name, ""); }

void set_time_zone(const std::string& zone) {
  _putenv_s("TZ", zone.c_str());
  _tzset();
}

}  // namespace lumagate::testing
