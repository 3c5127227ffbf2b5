#include "platform/large_memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace kvr {

namespace {

std::size_t MappedSize(std::size_t size) {
  return (size + kLargeBlock - 1) / kLargeBlock * kLargeBlock;
}

}  // namespace

void* AllocateLarge(std::size_t size, bool filled_at_once) {
  if (size < kLargeBlock) return ::operator new(size);
  const std::size_t mapped = MappedSize(size);
  // One kLargeBlock more than needed, to cut a run at such a boundary out of
  // it: FreeLargeFront gives memory back in whole blocks.
  const std::size_t span = mapped + kLargeBlock;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | (filled_at_once ? MAP_POPULATE : 0), -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  char* const base = static_cast<char*>(raw);
  const std::size_t lead =
      (kLargeBlock - reinterpret_cast<std::uintptr_t>(base) % kLargeBlock) % kLargeBlock;
  char* const aligned = base + lead;
  if (lead > 0) ::munmap(base, lead);
  if (span - lead > mapped) ::munmap(aligned + mapped, span - lead - mapped);
  return aligned;
}

void FreeLarge(void* block, std::size_t size) {
  if (block == nullptr) return;
  if (size < kLargeBlock) {
    ::operator delete(block);
  } else {
    ::munmap(block, MappedSize(size));
  }
}

void FreeLargeFront(void* block, std::size_t size, std::size_t bytes) {
  if (size < kLargeBlock) return;
  const std::size_t whole = bytes / kLargeBlock * kLargeBlock;
  if (whole > 0) ::madvise(block, whole, MADV_DONTNEED);
}

}  // namespace kvr
