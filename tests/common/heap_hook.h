// The global operator new of a test program built with heap_hook.cpp: it
// counts the allocations this thread makes while `counting`, and fails on
// demand (from the n-th counted one, or every nothrow one of a given size).
// No type of the library is over-aligned: the aligned forms are left alone.
#pragma once

#include <atomic>
#include <cstddef>

namespace nel::test::heap {

extern thread_local bool counting;
extern thread_local long count;             // allocations made while counting
extern thread_local long fail_from;         // the first counted allocation made to fail, -1 none
extern std::atomic<std::size_t> fail_size;  // a nothrow allocation of this many bytes fails, 0 none

}  // namespace nel::test::heap
