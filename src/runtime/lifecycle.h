// The process's one way out, its allocation, random source and clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace lumagate {

// Ends the process with `code` after releasing the socket interface.
[[noreturn]] void exit_program(int code);

// The interrupt and termination handler: ends the process with code 1,
// silently. Other signal numbers are ignored.
void on_terminate_signal(int signal_number);

// True once the handler has begun to end the process: from then on nothing
// is reported.
bool program_ending();

// A fresh block of `size` bytes, never null: a failure ends the process.
void* alloc_or_exit(std::int32_t size);

// The allocation behind alloc_or_exit: null on failure.
void* try_alloc(std::int32_t size);

// An alloc_or_exit block that frees itself.
struct FreeBlock {
  void operator()(char* block) const noexcept { std::free(block); }
};
using Block = std::unique_ptr<char[], FreeBlock>;
inline Block alloc_block(std::int32_t size) {
  return Block(static_cast<char*>(alloc_or_exit(size)));
}

// 0 when the socket interface started, 1 when it did not.
int start_winsock();

// Seeds the random source; draw_random gives 0 to 32767.
void seed_random(std::uint32_t seed);
int draw_random();

// The clock in whole seconds since 1970.
std::int64_t current_time();

// Seams for tests: what finally ends the process (it must not return, but
// may throw), and what allocation uses. Null puts the default back.
using ExitFunction = void (*)(int code);
void set_exit_function(ExitFunction function);
using AllocateFunction = void* (*)(std::size_t size);
void set_allocate_function(AllocateFunction function);

}  // namespace lumagate
