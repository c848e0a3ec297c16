// The engine's one door to the heap. Every buffer the engine (and the array
// layer of the Python module) owns is taken here and given back here, so a
// failed allocation has exactly one place to come from: allocate() returns
// null, and the caller turns that into OutOfMemory. Nothing in the engine
// uses operator new, so nothing in it throws std::bad_alloc either.
//
// Builds with QX_ALLOCATION_TESTING count every allocation and release and
// can make the Nth allocation from now fail, so tests can walk every failure
// point of an operation in turn. Other builds compile to plain malloc/free.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::memory {

// `bytes` bytes (at least one is allocated), zero-filled when `zero`; null
// when the memory cannot be had. Release with release().
void* allocate(std::size_t bytes, bool zero);
// Grows or shrinks a block from allocate(); null (and the old block still
// valid) on failure.
void* reallocate(void* block, std::size_t bytes);
void release(void* block);

#if defined(QX_ALLOCATION_TESTING)
namespace testing {

// Makes the allocation `countdown` calls from now fail (1: the very next
// one); the ones after it succeed again.
void fail_after(std::uint64_t countdown);
// No failure to come; failed() still tells whether the last one happened.
void disarm();
// Whether an armed failure has happened since the last fail_after().
bool failed();
// One tick of the countdown, for allocators outside the engine that join
// it (the Python module's tests put the interpreter's and NumPy's heaps
// behind it): true when this allocation is the one to fail.
bool take_failure();
// Blocks taken and not yet released, over the whole process.
std::int64_t live_blocks();

}  // namespace testing
#endif

}  // namespace qx::memory
