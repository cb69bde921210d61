#include "platform/allocator.h"

#include <malloc.h>

namespace dirsync {

void ReturnLargeBlocksToSystem() {
  // A fixed threshold also ends glibc's habit of raising it to the size of
  // the largest block freed so far.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kLargeBlockBytes));
}

void ReturnFreeMemoryToSystem() { malloc_trim(0); }

}  // namespace dirsync
