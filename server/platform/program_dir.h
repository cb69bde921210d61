// Facts about the running program that the server reads once at start-up.
#ifndef DIRSYNC_PLATFORM_PROGRAM_DIR_H_
#define DIRSYNC_PLATFORM_PROGRAM_DIR_H_

#include <string>

namespace dirsync {

// The directory of the running program, ending with '/', from
// /proc/self/exe ("./" when that cannot be read). Thread safe.
std::string GetProgramDir();

// Today's local date as yyyymmdd. Thread safe.
int TodayAsNumber();

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_PROGRAM_DIR_H_
