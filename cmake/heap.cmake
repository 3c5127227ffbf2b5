# kvr_heap: the memory allocator of the programs, chosen when they are linked.
#
# KVR_HEAP=jemalloc (the default) links jemalloc with its configuration
# compiled into each program (src/platform/heap_options.cpp): measured side
# by side on imports of 100,000 and 1,000,000 movements, it is as fast and
# as small as the C library's allocator asking for huge pages, without the
# variable of the environment that allocator needs. KVR_HEAP=glibc keeps the
# C library's allocator.
# The sanitizer builds keep the C library's, which the sanitizers replace
# with their own.
#
# Link it to programs only (add_executable), never to a library: the
# allocator is chosen once for the whole process, and its configuration must
# be defined in the program itself.
set(KVR_HEAP "jemalloc" CACHE STRING "Allocator the programs link: jemalloc or glibc")
set_property(CACHE KVR_HEAP PROPERTY STRINGS jemalloc glibc)

add_library(kvr_heap INTERFACE)
if(KVR_SANITIZE OR KVR_HEAP STREQUAL "glibc")
  message(STATUS "Heap of the programs: glibc")
elseif(KVR_HEAP STREQUAL "jemalloc")
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(JEMALLOC REQUIRED IMPORTED_TARGET jemalloc)
  target_sources(kvr_heap INTERFACE ${PROJECT_SOURCE_DIR}/src/platform/heap_options.cpp)
  target_link_libraries(kvr_heap INTERFACE PkgConfig::JEMALLOC)
  message(STATUS "Heap of the programs: jemalloc")
else()
  message(FATAL_ERROR "KVR_HEAP must be jemalloc or glibc, not \"${KVR_HEAP}\"")
endif()
