#include "reader/arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace kvr {

namespace {

constexpr std::size_t kFirstBlock = std::size_t{16} << 10;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t HugePagesFor(std::size_t size) { return (size + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* AllocateLarge(std::size_t size) {
  if (size < kHugePage) return ::operator new(size);
  const std::size_t mapped = HugePagesFor(size);
  // One huge page more than needed, to cut a run at a huge page's boundary
  // out of it.
  const std::size_t span = mapped + kHugePage;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  char* const base = static_cast<char*>(raw);
  const std::size_t lead = (kHugePage - reinterpret_cast<std::uintptr_t>(base) % kHugePage) % kHugePage;
  char* const aligned = base + lead;
  if (lead > 0) ::munmap(base, lead);
  if (span - lead > mapped) ::munmap(aligned + mapped, span - lead - mapped);
#if defined(MADV_HUGEPAGE)
  ::madvise(aligned, mapped, MADV_HUGEPAGE);
#endif
  return aligned;
}

void FreeLarge(void* block, std::size_t size) {
  if (block == nullptr) return;
  if (size < kHugePage) {
    ::operator delete(block);
  } else {
    ::munmap(block, HugePagesFor(size));
  }
}

void* TArena::Allocate(std::size_t size, std::size_t align) {
  std::size_t pad = (align - reinterpret_cast<std::uintptr_t>(next_) % align) % align;
  if (next_ == nullptr || size + pad > static_cast<std::size_t>(end_ - next_)) {
    NewBlock(size);
    pad = 0;
  }
  char* const piece = next_ + pad;
  next_ = piece + size;
  return piece;
}

std::string_view TArena::Copy(std::string_view text) {
  if (text.empty()) return {};
  char* const copy = static_cast<char*>(Allocate(text.size(), 1));
  std::memcpy(copy, text.data(), text.size());
  return {copy, text.size()};
}

void TArena::NewBlock(std::size_t size) {
  const std::size_t last = blocks_.empty() ? 0 : blocks_.back().size;
  const std::size_t wanted =
      std::max(size, last == 0 ? kFirstBlock : std::min(2 * last, kHugePage));
  const TBlock block{static_cast<char*>(AllocateLarge(wanted)), wanted};
  try {
    blocks_.push_back(block);
  } catch (...) {
    FreeLarge(block.data, block.size);
    throw;
  }
  next_ = block.data;
  end_ = block.data + block.size;
}

void TArena::Clear() {
  for (const TBlock& block : blocks_) FreeLarge(block.data, block.size);
  std::vector<TBlock>().swap(blocks_);
  next_ = nullptr;
  end_ = nullptr;
}

}  // namespace kvr
