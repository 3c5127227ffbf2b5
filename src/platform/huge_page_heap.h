#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kvr {

// Large statements make millions of small allocations (rows, texts). Where
// the kernel gives huge pages only to memory that asks for them (the
// "madvise" policy, the default of many systems), every fresh 4 KiB page of
// the heap then costs a page fault of its own, a third of the time of a
// million-movement import. glibc asks for huge pages for its heap when the
// tunable glibc.malloc.hugetlb=1 is set, and reads its tunables only as the
// process starts: so this sets it and starts the program again in place
// (same process, same arguments). It does nothing when the tunable is
// already chosen (GLIBC_TUNABLES=glibc.malloc.hugetlb=0 turns it off), when
// a tool watches the process through LD_PRELOAD (valgrind, heaptrack), under
// the sanitizers (their own allocator), or when the restart fails.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define KVR_SANITIZED 1
#endif
#endif

inline void UseHugePageHeap(char** argv) {
#ifdef KVR_SANITIZED
  (void)argv;
#else
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && *preload != '\0') return;
  const char* current = std::getenv("GLIBC_TUNABLES");
  std::string tunables = current != nullptr ? current : "";
  if (tunables.find("glibc.malloc.hugetlb") != std::string::npos) return;
  tunables += tunables.empty() ? "glibc.malloc.hugetlb=1" : ":glibc.malloc.hugetlb=1";
  // The binary's own path rather than /proc/self/exe, which would make the
  // process's name "exe" for ps, top and pkill.
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path - 1) return;
  path[length] = '\0';
  if (setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  execv(path, argv);
  // Still here: the program goes on with the heap it has.
#endif
}

}  // namespace kvr

#undef KVR_SANITIZED
