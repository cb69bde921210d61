// Ticks and sleeping: a millisecond counter that only moves forward
// (CLOCK_MONOTONIC, unaffected by changes of the wall clock) and a sleep in
// milliseconds. Thread safe.
#ifndef DIRSYNC_PLATFORM_CLOCK_H_
#define DIRSYNC_PLATFORM_CLOCK_H_

#include <time.h>

#include <cerrno>

#include <cstdint>

namespace dirsync {

// Milliseconds since an arbitrary fixed point (the system's boot).
inline uint64_t GetTickCount64() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u +
         static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Suspends the calling thread for at least milliseconds ms.
inline void Sleep(uint32_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  // Interrupted by a signal: sleep for the rest.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_CLOCK_H_
