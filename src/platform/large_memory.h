#pragma once

#include <cstddef>

namespace kvr {

// Memory for large blocks and arrays: a whole statement file, the records
// of a million transactions. In pages of 4 KB such a block takes tens of
// thousands of page faults, which on a virtual machine cost more than the
// work done in it; from kLargeBlock up it is therefore mapped in huge pages.

constexpr std::size_t kLargeBlock = std::size_t{2} << 20;

// size uninitialised bytes: mapped in huge pages (where the system gives
// them) at a kLargeBlock boundary from kLargeBlock up, from the heap below.
// Throws std::bad_alloc when no memory is left. Give it back with FreeLarge
// and the same size.
void* AllocateLarge(std::size_t size);
void FreeLarge(void* block, std::size_t size);

// Gives back the memory of the first bytes of a block of size bytes from
// AllocateLarge, in whole huge pages (none for a block from the heap). What
// it gave back reads as zeros afterwards: the caller must not need it.
void FreeLargeFront(void* block, std::size_t size, std::size_t bytes);

// A standard allocator taking its memory from AllocateLarge: a growing
// array of many elements lands in huge pages.
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
