// Client texts written into log lines (user ids, task names, paths) with
// their control characters escaped as \xNN, so that a client cannot end a
// log line early or forge one. Pure; thread safe.
#ifndef DIRSYNC_PROTOCOL_LOG_TEXT_H_
#define DIRSYNC_PROTOCOL_LOG_TEXT_H_

#include <string>
#include <string_view>

namespace dirsync {

std::string EscapeForLog(std::string_view text);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_LOG_TEXT_H_
