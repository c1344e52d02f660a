// The global operator new of a test program built with heap_hook.cpp: it
// counts the allocations this thread makes while `counting`, and fails on
// demand (from the n-th counted one, or every nothrow one of a given size).
// No type of the library is over-aligned: the aligned forms are left alone.
#pragma once

#include <atomic>
#include <cstddef>

namespace nel::test::heap {

struct Counter {
  bool counting = false;
  long count = 0;       // allocations made while counting
  long fail_from = -1;  // the first counted allocation made to fail, -1 none
};
Counter& ThisThread();

extern std::atomic<std::size_t> fail_size;  // a nothrow allocation of this many bytes fails, 0 none

}  // namespace nel::test::heap
