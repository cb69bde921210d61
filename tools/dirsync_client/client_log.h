// Log lines of the command-line client: one line per event on stderr,
// prefixed with the local time. A progress line that is showing on the
// terminal is wiped before a log line and drawn again by its next update.
// Thread safe (one mutex around each line).
#ifndef DIRSYNC_TOOLS_CLIENT_LOG_H_
#define DIRSYNC_TOOLS_CLIENT_LOG_H_

#include <functional>
#include <string>
#include <vector>

namespace dsclient_tool {

// printf-style; a line end is added.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Called (under the log mutex) before each log line is written; the
// progress line uses it to clear itself. Pass nullptr to remove.
void SetLogPrefixHook(std::function<void()> hook);

// Silences log lines (tests that exercise failures on purpose).
void SetLogQuiet(bool quiet);

// Keeps a copy of every line's text in *lines, quiet or not (tests);
// nullptr stops it. The vector is filled under the log mutex.
void SetLogCapture(std::vector<std::string>* lines);

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_CLIENT_LOG_H_
