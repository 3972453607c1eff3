// Linked into a test copy of the client, as curl's torture mode works:
// LUMAGATE_TORTURE=N makes the Nth allocation through the allocation seam
// fail, and LUMAGATE_TORTURE=N+ that one and every later one, as when
// memory has run out for good. Each failure is told on standard error, so
// that a test knows whether its run reached allocation N at all.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "runtime/lifecycle.h"

namespace {

long fail_at = 0;
bool fail_from_then_on = false;
long count = 0;

void* allocate(std::size_t size) {
  ++count;
  const bool fails = count == fail_at || (fail_from_then_on && count > fail_at);
  if (!fails) return std::malloc(size);
  char note[80];
  const int length =
      std::snprintf(note, sizeof note, "torture: allocation %ld of %zu bytes fails\n", count, size);
  if (write(STDERR_FILENO, note, static_cast<std::size_t>(length)) < 0) std::abort();
  return nullptr;
}

const bool installed = [] {
  const char* setting = std::getenv("LUMAGATE_TORTURE");
  if (setting == nullptr) return false;
  char* end = nullptr;
  fail_at = std::strtol(setting, &end, 10);
  fail_from_then_on = *end == '+';
  lumagate::set_allocate_function(allocate);
  return true;
}();

}  // namespace
