#include "reader/arena.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace kvr {

constexpr std::size_t kFirstBlock = std::size_t{16} << 10;

void* Arena::Allocate(std::size_t size, std::size_t align) {
  // align is a power of two: the bytes up to its next multiple, without a
  // division.
  std::size_t pad = (0 - reinterpret_cast<std::uintptr_t>(next_)) & (align - 1);
  if (next_ == nullptr || size + pad > static_cast<std::size_t>(end_ - next_)) {
    NewBlock(size);
    pad = 0;
  }
  char* const piece = next_ + pad;
  next_ = piece + size;
  return piece;
}

std::string_view Arena::Copy(std::string_view text) {
  if (text.empty()) return {};
  char* const copy = static_cast<char*>(Allocate(text.size(), 1));
  std::memcpy(copy, text.data(), text.size());
  return {copy, text.size()};
}

void Arena::NewBlock(std::size_t size) {
  const std::size_t last = blocks_.empty() ? 0 : blocks_.back().size;
  std::size_t wanted = std::max(size, last == 0 ? kFirstBlock : std::min(2 * last, kLargeBlock));
  const std::size_t reserved = std::exchange(reserved_, 0);
  void* data = nullptr;
  if (reserved > wanted) {
    // A reservation is a wish: where the system refuses that much room at
    // once, the block is of the usual size.
    try {
      data = AllocateLarge(reserved);
      wanted = reserved;
    } catch (const std::bad_alloc&) {
    }
  }
  if (data == nullptr) data = AllocateLarge(wanted);
  const Block block{static_cast<char*>(data), wanted};
  try {
    blocks_.push_back(block);
  } catch (...) {
    FreeLarge(block.data, block.size);
    throw;
  }
  next_ = block.data;
  end_ = block.data + block.size;
}

void Arena::Clear() {
  for (const Block& block : blocks_) FreeLarge(block.data, block.size);
  std::vector<Block>().swap(blocks_);
  next_ = nullptr;
  end_ = nullptr;
  reserved_ = 0;
}

}  // namespace kvr
