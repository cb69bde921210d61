#include "protocol/thread_scratch.h"

namespace dirsync {

Scratch& ThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

}  // namespace dirsync
