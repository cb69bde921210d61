// A program started by a test as a process of its own (fork and exec), its
// standard output and error appended to a log file. Not thread safe: one
// test thread drives it.
#ifndef DIRSYNC_TESTS_E2E_CHILD_PROCESS_H_
#define DIRSYNC_TESTS_E2E_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace dirsync::e2e {

class ChildProcess {
 public:
  ChildProcess() = default;
  // Kills a process that still runs and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] with the arguments, extra environment entries
  // ("NAME=value") added, output appended to logPath. False when the
  // process cannot be started (a failing exec ends it with status 127).
  bool Start(const std::vector<std::string>& argv, const std::string& logPath,
             const std::vector<std::string>& environment = {});

  bool running();
  pid_t pid() const { return pid_; }

  void Signal(int signo);
  // Waits until the process ends; returns its wait status, or -1 when it
  // still runs after limit.
  int Wait(std::chrono::milliseconds limit);
  // SIGTERM, then SIGKILL when it has not ended within limit. Returns the
  // wait status.
  int Stop(std::chrono::milliseconds limit = std::chrono::seconds(15));
  // SIGKILL and reap.
  void Kill();

  // The status of the ended process (valid once running() is false).
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = true;
  int status_ = 0;
};

// A readable form of a wait status ("exit 0", "signal 9").
std::string DescribeStatus(int status);

// The whole content of a file (empty when it cannot be read).
std::string ReadText(const std::string& path);
// The last count lines of text.
std::string LastLines(const std::string& text, size_t count);

}  // namespace dirsync::e2e

#endif  // DIRSYNC_TESTS_E2E_CHILD_PROCESS_H_
