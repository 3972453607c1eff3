// The way out, allocation, random source and clock.
#include "runtime/lifecycle.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "platform/platform.h"
#include "runtime/log.h"

namespace lumagate {
namespace {

ExitFunction exit_function = nullptr;
AllocateFunction allocate_function = nullptr;
std::uint32_t random_state = 1;
// Lock-free, so that storing it is safe in a signal handler, which on
// Windows runs on a thread of its own. Cores without atomic instructions
// (ARMv5 and older) have no lock-free atomic, only one with a lock the
// handler could find taken; their handler interrupts the one thread, and
// for that a volatile sig_atomic_t is safe.
std::conditional_t<std::atomic<int>::is_always_lock_free, std::atomic<int>,
                   volatile std::sig_atomic_t>
    ending{0};

}  // namespace

void exit_program(int code) {
  platform::cleanup_sockets();
  if (exit_function != nullptr) exit_function(code);
  platform::exit_process(code);
}

void on_terminate_signal(int signal_number) {
  if (signal_number != platform::kSignalInterrupt && signal_number != platform::kSignalTerminate) {
    return;
  }
  // First of all: on Windows the handler runs on a thread of its own, and
  // the socket cleanup below wakes the main thread's wait with an error that
  // it must not tell. Only async-signal-safe work here: no message, no stdio.
  ending = 1;
  platform::cleanup_sockets();
  platform::terminate_now(1);
}

bool program_ending() { return ending != 0; }

void* try_alloc(std::int32_t size) {
  const auto bytes = static_cast<std::size_t>(size);
  return allocate_function != nullptr ? allocate_function(bytes) : std::malloc(bytes);
}

void* alloc_or_exit(std::int32_t size) {
  void* block = try_alloc(size);
  if (block == nullptr) {
    report(1, "Error allocating %d bytes of memory.\n", size);
    exit_program(1);
  }
  return block;
}

int start_winsock() { return platform::start_sockets() == 0 ? 0 : 1; }

// The classic linear congruential generator: 15 bits a draw, and one seed
// gives one sequence.
void seed_random(std::uint32_t seed) { random_state = seed; }

int draw_random() {
  random_state = random_state * 214013u + 2531011u;
  return static_cast<int>((random_state >> 16) & 0x7FFFu);
}

std::int64_t current_time() { return platform::calendar_time(); }

void set_exit_function(ExitFunction function) { exit_function = function; }

void set_allocate_function(AllocateFunction function) { allocate_function = function; }

}  // namespace lumagate
