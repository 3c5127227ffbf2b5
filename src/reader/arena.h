#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace kvr {

// The reader's memory. A statement of a million records fills a few hundred
// megabytes at once; in pages of 4 KB that takes tens of thousands of page
// faults, which cost more than the parse on a virtual machine. Blocks of
// 2 MB and more are therefore mapped in huge pages.

// size bytes for a block or an array, uninitialised: huge pages mapped for
// it from 2 MB up, the heap below that. Throws std::bad_alloc when no memory
// is left. Give it back with FreeLarge and the same size.
void* AllocateLarge(std::size_t size);
void FreeLarge(void* block, std::size_t size);

// A standard allocator taking its memory from AllocateLarge: a growing
// array of many elements lands in huge pages.
template <typename T>
struct TLargeAllocator {
  using value_type = T;
  TLargeAllocator() = default;
  template <typename U>
  TLargeAllocator(const TLargeAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(AllocateLarge(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { FreeLarge(p, n * sizeof(T)); }
  friend bool operator==(const TLargeAllocator&, const TLargeAllocator&) { return true; }
};

// Memory taken in pieces that all live until Clear or the arena's end and
// are never given back one by one: the reader's records and their texts.
// Pieces lie side by side in blocks. The first blocks are small, so that a
// short statement takes little, and double up to 2 MB, the size of the
// blocks from there. Not copyable.
class TArena {
 public:
  TArena() = default;
  ~TArena() { Clear(); }
  TArena(const TArena&) = delete;
  TArena& operator=(const TArena&) = delete;

  // size uninitialised bytes at a multiple of align (a power of two, at most
  // alignof(std::max_align_t)), held until Clear. Throws std::bad_alloc when
  // no memory is left.
  void* Allocate(std::size_t size, std::size_t align);

  // A copy of text held until Clear. Throws std::bad_alloc as Allocate does.
  std::string_view Copy(std::string_view text);

  // Gives every block back: every piece and copy taken before is invalid.
  void Clear();

 private:
  struct TBlock {
    char* data;
    std::size_t size;
  };
  // Starts a block that holds at least size bytes at its start.
  void NewBlock(std::size_t size);

  std::vector<TBlock> blocks_;
  char* next_ = nullptr;  // the first free byte of the last block
  char* end_ = nullptr;   // the end of the last block
};

}  // namespace kvr
