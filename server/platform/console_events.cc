#include "platform/console_events.h"

#include <signal.h>

namespace dirsync {
namespace {

struct SignalEvent {
  int signo;
  uint32_t event;
};

constexpr SignalEvent kConsoleSignals[] = {
    {SIGINT, kCtrlCEvent},
    {SIGQUIT, kCtrlBreakEvent},
    {SIGHUP, kCtrlCloseEvent},
    {SIGTERM, kCtrlShutdownEvent},
};

}  // namespace

int ConsoleEventOfSignal(int signo) {
  for (const SignalEvent& s : kConsoleSignals) {
    if (s.signo == signo) return static_cast<int>(s.event);
  }
  return -1;
}

void RouteConsoleEvents(SignalThread* signals, ConsoleCtrlHandlerFn handler) {
  for (const SignalEvent& s : kConsoleSignals) {
    const uint32_t event = s.event;
    signals->Route(s.signo, [handler, event](int signo) {
      if (!handler(event)) SignalThread::RunDefaultAction(signo);
    });
  }
}

}  // namespace dirsync
