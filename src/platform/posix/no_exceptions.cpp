// The C++ runtime of a build without exceptions (the router builds).
//
// The program throws nothing, but the parts of the C++ library it uses were
// built with exceptions, and their throw sites would pull in the whole
// unwinder, the personality routine and the terminate handler's demangler:
// two thirds of a router binary. These definitions stand in for them: a
// throw, which only a broken library invariant could cause (allocation
// never throws, src/app/allocation.cpp), ends the program with abort, as an
// uncaught one would. With them, and the string members that libc++ keeps
// in its compiled part made here, the router builds link no compiled C++
// library at all.
#if !defined(__cpp_exceptions)

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

namespace std {
void terminate() noexcept { std::abort(); }
#if defined(_LIBCPP_VERSION)
// Where libc++ would throw; only a broken invariant gets here.
void __libcpp_verbose_abort(const char* /*format*/, ...) { std::abort(); }
// The tag of the allocations that ask for null, not a throw (the standard
// library's temporary buffers).
const nothrow_t nothrow{};
#endif
}  // namespace std

#if defined(_LIBCPP_VERSION)
// The linker keeps only the members the program calls.
template class std::basic_string<char>;
template std::string std::operator+(const char*, const std::string&);

// Named where the allocator's code is not inlined (32-bit PowerPC). The
// client has no over-aligned type, so nothing calls them; as libc++'s own,
// they take the block from aligned_alloc, and end the program where a
// build with exceptions would throw.
void* operator new(std::size_t size, std::align_val_t alignment) {
  const std::size_t align = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
  void* block =
      std::aligned_alloc(align, (std::max<std::size_t>(size, 1) + align - 1) & ~(align - 1));
  if (block == nullptr) std::abort();
  return block;
}
void operator delete(void* block, std::align_val_t /*alignment*/) noexcept { std::free(block); }
#endif

extern "C" {
void* __cxa_allocate_exception(std::size_t /*size*/) noexcept { std::abort(); }
void __cxa_free_exception(void* /*thrown*/) noexcept { std::abort(); }
[[noreturn]] void __cxa_throw(void* /*thrown*/, void* /*type*/, void (* /*destroy*/)(void*)) {
  std::abort();
}
[[noreturn]] void __cxa_rethrow() { std::abort(); }
void* __cxa_begin_catch(void* /*thrown*/) noexcept { std::abort(); }
void __cxa_end_catch() { std::abort(); }
// Named by the library's unwind tables; nothing ever unwinds.
int __gxx_personality_v0() { std::abort(); }
void _Unwind_Resume(void* /*exception*/) { std::abort(); }
#if defined(__arm__)
// What ARM's own unwind tables and cleanups name instead.
void __cxa_end_cleanup() { std::abort(); }
void __aeabi_unwind_cpp_pr0() { std::abort(); }
void __aeabi_unwind_cpp_pr1() { std::abort(); }
void __aeabi_unwind_cpp_pr2() { std::abort(); }
#endif
}

#endif
