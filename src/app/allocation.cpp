// Every allocation of the client, the standard library's included, goes
// through its one allocation: running out of memory ends it with the
// allocation message and code 1, never through an exception nobody
// catches, and the allocation torture of the tests reaches them all.
#include <cstdlib>
#include <new>

#include "runtime/lifecycle.h"

void* operator new(std::size_t size) { return lumagate::allocate_or_exit(size == 0 ? 1 : size); }

void* operator new[](std::size_t size) { return operator new(size); }

// Callers that ask for no exception get null, as they expect.
void* operator new(std::size_t size, const std::nothrow_t& /*unused*/) noexcept {
  return size <= static_cast<std::size_t>(INT32_MAX)
             ? lumagate::try_alloc(static_cast<std::int32_t>(size == 0 ? 1 : size))
             : nullptr;
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
