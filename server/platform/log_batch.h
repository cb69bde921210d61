// Batched writing of the log. By default every log line is one write(2) to
// standard output. While a LogBatching object lives (main makes one), lines
// collect in a buffer instead and a thread of the log writes them out
// together within a few milliseconds: a busy server makes one system call
// for many lines. Every line stays whole and in order; the buffer is
// written out when the object goes (the program's end), on FlushLog, and,
// best effort, when the process dies of a fatal signal (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGABRT). A writer that cannot keep up (a stalled pipe)
// holds back the callers once 1 MiB waits, rather than losing lines.
#ifndef DIRSYNC_PLATFORM_LOG_BATCH_H_
#define DIRSYNC_PLATFORM_LOG_BATCH_H_

#include <cstddef>

namespace dirsync {

class LogBatching {
 public:
  // Starts batching (and the writing thread). One at a time per process.
  LogBatching();
  // Writes what is buffered and goes back to one write per line.
  ~LogBatching();
  LogBatching(const LogBatching&) = delete;
  LogBatching& operator=(const LogBatching&) = delete;
};

// Returns once every line logged before the call has been written.
// Thread safe; does nothing when the log is not batched.
void FlushLog();

// For LogPrint: hands one formatted line to the batch. False when the log
// is not batched (the caller then writes the line itself). Thread safe.
bool AppendToLogBatch(const char* line, size_t length);

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_LOG_BATCH_H_
