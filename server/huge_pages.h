#pragma once

namespace kvr::server {

// Restarts the process in place (same pid, arguments and open files) with
// glibc's malloc told to ask the kernel for 2 MiB pages (the tunable
// glibc.malloc.hugetlb=1), where the kernel gives them only to programs that
// ask (transparent huge pages in "madvise" mode). A large statement touches
// tens of megabytes of fresh memory, and on virtual machines every 4 KiB page
// touched for the first time costs microseconds; with 2 MiB pages that cost is
// paid once per 2 MiB.
//
// Returns, changing nothing, when GLIBC_TUNABLES names the tunable already
// (the restart was done, or the user chose otherwise), when the kernel's
// setting is not "madvise", or when the restart itself fails. Call it first
// thing in main, before any thread starts; argv as main got it.
void RestartWithHugePages(char** argv);

}  // namespace kvr::server
