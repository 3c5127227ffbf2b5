#pragma once

#include <cstddef>

namespace kvr {

// Memory for large blocks and arrays: a whole statement file, the records
// of a million transactions. From kLargeBlock up a block is mapped on its own
// (given back whole when freed, and its front while a reader walks it), in the
// system's plain pages. Huge pages were asked for here until measured on the
// virtual machines we run on: reading a 1,000,000-movement file (180 MB) into
// fresh huge pages took from 0.03 to 3.1 s (the kernel zeroing each huge page
// as it is first touched, up to 1.85 s of system time in one run), plain pages
// 0.57 to 0.74 s for the read and the parse together in the same runs.

constexpr std::size_t kLargeBlock = std::size_t{2} << 20;

// size uninitialised bytes: mapped at a kLargeBlock boundary from
// kLargeBlock up, from the heap below.
// Throws std::bad_alloc when no memory is left. Give it back with FreeLarge
// and the same size.
// With filled_at_once (a file read into it whole) a mapped block gets its
// pages in one step instead of a page fault each: 0.03 to 0.06 s less for
// a 180 MB file.
void* AllocateLarge(std::size_t size, bool filled_at_once = false);
void FreeLarge(void* block, std::size_t size);

// Gives back the memory of the first bytes of a block of size bytes from
// AllocateLarge, in whole kLargeBlocks (none for a block from the heap). What
// it gave back reads as zeros afterwards: the caller must not need it.
void FreeLargeFront(void* block, std::size_t size, std::size_t bytes);

// A standard allocator taking its memory from AllocateLarge: a growing
// array of many elements is mapped on its own.
template <typename T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(AllocateLarge(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { FreeLarge(p, n * sizeof(T)); }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

}  // namespace kvr
