// How the C library's allocator hands memory back to the system.
//
// By default glibc serves a block from its heaps once a block of that size
// has been freed, and a heap gives back only the free memory at its top:
// the reassembly buffers of large frames and the output queued for slow
// clients would stay resident after those clients have gone. Blocks of
// kLargeBlockBytes and more are therefore mapped on their own, and
// returned to the system as soon as they are freed.
#ifndef DIRSYNC_PLATFORM_ALLOCATOR_H_
#define DIRSYNC_PLATFORM_ALLOCATOR_H_

#include <cstddef>

namespace dirsync {

constexpr size_t kLargeBlockBytes = 64 * 1024;

// Applies the setting above to the whole process. Call once at the start
// of main, before other threads exist.
void ReturnLargeBlocksToSystem();

// Gives the free memory inside the heaps back to the system (glibc's
// malloc_trim): after a burst of short-lived blocks, such as the scan
// that precedes an initial build, it stays resident otherwise, as a heap
// gives back only what is free at its top. Thread safe; takes time in
// proportion to the heaps, so it is called after such bursts only.
void ReturnFreeMemoryToSystem();

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_ALLOCATOR_H_
