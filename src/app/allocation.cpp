// Every allocation of the client, the standard library's included, goes
// through its one allocation: running out of memory ends it with the
// allocation message and code 1, never through an exception nobody
// catches, and the allocation torture of the tests reaches them all.
#include <cstdint>
#include <cstdlib>
#include <new>

#include "runtime/lifecycle.h"

namespace {

// The count for alloc_or_exit: one it cannot take stands as -1, which no
// allocation gives, so it fails with the allocation message.
std::int32_t count_of(std::size_t size) {
  if (size == 0) return 1;
  return size <= static_cast<std::size_t>(INT32_MAX) ? static_cast<std::int32_t>(size) : -1;
}

}  // namespace

void* operator new(std::size_t size) { return lumagate::alloc_or_exit(count_of(size)); }

void* operator new[](std::size_t size) { return operator new(size); }

// Callers that ask for no exception get null, as they expect.
void* operator new(std::size_t size, const std::nothrow_t& /*unused*/) noexcept {
  const std::int32_t count = count_of(size);
  return count > 0 ? lumagate::try_alloc(count) : nullptr;
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t /*size*/) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t /*size*/) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t& /*unused*/) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t& /*unused*/) noexcept { std::free(block); }
