// Console control events on Linux. The console of a terminal session
// reports Ctrl+C, Ctrl+Break, the closing of its window and the system's
// shutdown as signals; each stands for one console event code:
//   SIGINT  -> CTRL_C_EVENT (0)        SIGQUIT -> CTRL_BREAK_EVENT (1)
//   SIGHUP  -> CTRL_CLOSE_EVENT (2)    SIGTERM -> CTRL_SHUTDOWN_EVENT (6)
// The handler runs on the signal thread (SignalThread), as a console runs
// its handlers on a thread of its own, never in signal context.
#ifndef DIRSYNC_PLATFORM_CONSOLE_EVENTS_H_
#define DIRSYNC_PLATFORM_CONSOLE_EVENTS_H_

#include <cstdint>
#include <functional>

#include "platform/signal_thread.h"

namespace dirsync {

constexpr uint32_t kCtrlCEvent = 0;
constexpr uint32_t kCtrlBreakEvent = 1;
constexpr uint32_t kCtrlCloseEvent = 2;
constexpr uint32_t kCtrlLogoffEvent = 5;
constexpr uint32_t kCtrlShutdownEvent = 6;

// Handles one console event; true when handled. Runs on the signal thread.
using ConsoleCtrlHandlerFn = std::function<bool(uint32_t event)>;

// The console event code that signo stands for, or -1 for any other signal.
int ConsoleEventOfSignal(int signo);

// Routes SIGINT, SIGQUIT, SIGHUP and SIGTERM to handler with their event
// codes. When handler returns false the signal takes its default action
// (the process ends), as after the console's last handler. Before
// signals->Start(), on the main thread.
void RouteConsoleEvents(SignalThread* signals, ConsoleCtrlHandlerFn handler);

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_CONSOLE_EVENTS_H_
