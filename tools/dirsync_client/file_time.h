// Converts the catalog's file times (100 ns units since 1601-01-01 UTC)
// to Linux times. Pure functions; thread safe.
#ifndef DIRSYNC_TOOLS_FILE_TIME_H_
#define DIRSYNC_TOOLS_FILE_TIME_H_

#include <time.h>

#include <cstdint>

namespace dsclient_tool {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;

// False for 0 (no time recorded) and for times before 1970.
inline bool FileTimeToTimespec(uint64_t fileTime, struct timespec* out) {
  if (fileTime < kFileTimeUnixEpoch) return false;
  uint64_t since = fileTime - kFileTimeUnixEpoch;
  out->tv_sec = static_cast<time_t>(since / 10000000ULL);
  out->tv_nsec = static_cast<long>((since % 10000000ULL) * 100);
  return true;
}

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_FILE_TIME_H_
