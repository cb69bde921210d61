// The "mirror" command: one catch-up run, or with --follow a loop that
// polls the server and reconnects with back-off. Returns the exit status.
#ifndef DIRSYNC_TOOLS_MIRROR_COMMAND_H_
#define DIRSYNC_TOOLS_MIRROR_COMMAND_H_

#include <atomic>
#include <string>

#include "options.h"

namespace dsclient_tool {

// Set by a signal handler to end a --follow loop (the state is saved).
extern std::atomic<bool> stopRequested;

int RunMirror(const Options& options, const std::string& token);

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_MIRROR_COMMAND_H_
