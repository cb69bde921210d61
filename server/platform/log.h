// The log writer.
//
// LogPrint formats like printf, with two conversions of its own: %D inserts
// the local date and time ("2024-03-05 07:08:09") and %L a signed 64-bit
// integer. Every line is composed in a buffer of its own (at most 1023
// characters; longer text is cut) and written to standard output whole, so
// lines of different threads never interleave: with one write(2) of its
// own, or, while the log is batched (log_batch.h), within a few
// milliseconds together with the lines around it.
#ifndef DIRSYNC_PLATFORM_LOG_H_
#define DIRSYNC_PLATFORM_LOG_H_

#include <cstdarg>
#include <cstddef>
#include <ctime>

namespace dirsync {

// Size of the line buffer of one LogPrint call, terminating NUL included.
constexpr size_t kLogLineSize = 1024;

// Formats and prints one log text. Thread safe; callable from any thread.
void LogPrint(const char* format, ...);

// Formats one log text into out (capacity outSize, NUL-terminated, cut to
// fit) with now as the %D timestamp. Returns the number of characters
// written. Pure: used by LogPrint and by tests.
size_t FormatLogLine(char* out, size_t outSize, const std::tm& now,
                     const char* format, va_list args);

// FormatLogLine with the local time of the call as the %D timestamp, for
// callers that compose a line now and print it later. Thread safe.
size_t FormatLogLineNow(char* out, size_t outSize, const char* format,
                        va_list args);

// Receives a copy of every line that LogPrint writes (tests use it to check
// log lines). Write is called on the logging thread, with no lock held.
class LogTee {
 public:
  virtual ~LogTee() = default;
  virtual void Write(const char* line, size_t length) = 0;
};

// Installs (or, with nullptr, removes) the tee. "*tee" must remain live
// while installed; once SetLogTee returns, a tee it replaced is called no
// more. Thread safe; not to be called from a tee's Write.
void SetLogTee(LogTee* tee);


}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_LOG_H_
