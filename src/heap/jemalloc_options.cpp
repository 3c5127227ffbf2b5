// The configuration of jemalloc, the allocator the programs link
// (src/heap/CMakeLists.txt), compiled into each program: no variable of the
// environment has to be set for it, and none is handed down to the processes
// the programs start. jemalloc reads it as it starts, before the first
// allocation; MALLOC_CONF still overrides it, for a measurement.
//
// narenas:1  one arena for every thread: the server's threads (the HTTP
//             engine's and the workers) would each keep an arena of their
//             own, which raised the server's peak memory by a third for a
//             100,000-movement import. The threads' caches still spare most
//             of the locking.
//
// Nothing else: measured side by side on a 1,000,000-movement import, the
// decay times, retain:false, the thread caches' size or absence and the
// oversize threshold leave the server's peak as it is (it is the live data:
// the packed rows and SQLite's cache of the pages written); the C library's
// allocator held from 1% less to 4% more, mimalloc a quarter more.
//
// Transparent huge pages stay as the kernel's policy gives them (huge pages
// for the big blocks of platform/large_memory.h, which ask for them):
// measured side by side, "thp:always" cost the server a seventh more
// processor time on a 1,000,000-movement import and the client a thirteenth
// more peak memory on a 100,000-movement one, and saved no time.
extern "C" {
const char* malloc_conf = "narenas:1";
}
