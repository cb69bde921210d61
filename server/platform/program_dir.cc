#include "platform/program_dir.h"

#include <climits>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace dirsync {

std::string GetProgramDir() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  path[n] = '\0';
  const char* slash = std::strrchr(path, '/');
  std::string dir(path, slash != nullptr ? static_cast<size_t>(slash + 1 - path)
                                         : static_cast<size_t>(n));
  return dir.empty() ? "./" : dir;
}

int TodayAsNumber() {
  std::time_t t = std::time(nullptr);
  std::tm now{};
  localtime_r(&t, &now);
  return (now.tm_year + 1900) * 10000 + (now.tm_mon + 1) * 100 + now.tm_mday;
}

}  // namespace dirsync
