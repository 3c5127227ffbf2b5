#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/large_memory.h"

namespace kvr {

// Memory taken in pieces that all live until Clear or the arena's end and
// are never given back one by one: the reader's records and their texts.
// Pieces lie side by side in blocks. The first blocks are small, so that a
// short statement takes little, and double up to kLargeBlock, the size of
// the blocks from there, which AllocateLarge maps on their own. Not
// copyable.
class Arena {
 public:
  Arena() = default;
  ~Arena() { Clear(); }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // size uninitialised bytes at a multiple of align (a power of two, at most
  // alignof(std::max_align_t)), held until Clear. Throws std::bad_alloc when
  // no memory is left.
  void* Allocate(std::size_t size, std::size_t align);

  // A copy of text held until Clear. Throws std::bad_alloc as Allocate does.
  std::string_view Copy(std::string_view text);

  // Makes the next block the arena starts hold at least size bytes: the
  // pieces a caller expects then come from one block, whose pages are
  // touched only as the pieces fill them.
  void Reserve(std::size_t size) { reserved_ = size; }

  // Gives every block back: every piece and copy taken before is invalid.
  void Clear();

 private:
  struct Block {
    char* data;
    std::size_t size;
  };
  // Starts a block that holds at least size bytes at its start.
  void NewBlock(std::size_t size);

  std::vector<Block> blocks_;
  char* next_ = nullptr;  // the first free byte of the last block
  char* end_ = nullptr;   // the end of the last block
  std::size_t reserved_ = 0;
};

}  // namespace kvr
