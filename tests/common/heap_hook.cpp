#include "heap_hook.h"

#include <cstdlib>
#include <new>

namespace nel::test::heap {
Counter& ThisThread() {
  thread_local Counter counter;
  return counter;
}
std::atomic<std::size_t> fail_size{0};
}  // namespace nel::test::heap

namespace {
namespace heap = nel::test::heap;
void* Allocate(std::size_t n) {
  heap::Counter& c = heap::ThisThread();
  if (c.counting && c.count++ >= c.fail_from && c.fail_from >= 0) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* AllocateOrNull(std::size_t n) noexcept {
  const std::size_t failing = heap::fail_size.load(std::memory_order_relaxed);
  if (failing != 0 && n == failing) return nullptr;
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return AllocateOrNull(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return AllocateOrNull(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
