// The configuration of jemalloc, the allocator the programs link
// (cmake/heap.cmake), compiled into each program: no variable of the
// environment has to be set for it, and none is handed down to the processes
// the programs start. jemalloc reads it as it starts, before the first
// allocation; MALLOC_CONF still overrides it, for a measurement.
//
// thp:always        its memory asks for transparent huge pages: under the
//                   kernel's "madvise" policy a large statement otherwise
//                   takes a page fault per fresh 4 KiB page.
// metadata_thp:auto the same for its own bookkeeping once it grows.
// narenas:1         one arena for every thread: the server's threads (the
//                   HTTP engine's and the workers) would each keep an arena
//                   of their own, each with its own huge pages, which raised
//                   the server's peak memory by half for a 100,000-movement
//                   import. The threads' caches still spare most locking.
extern "C" {
const char* malloc_conf = "thp:always,metadata_thp:auto,narenas:1";
}
