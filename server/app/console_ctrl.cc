#include "app/console_ctrl.h"

#include "app/server.h"
#include "linkcore.h"
#include "platform/console_events.h"

namespace dirsync {

bool ConsoleCtrlHandler(Server& server, uint32_t event) {
  switch (event) {
    case kCtrlCEvent:
    case kCtrlBreakEvent:
    case kCtrlCloseEvent:
    case kCtrlLogoffEvent:
    case kCtrlShutdownEvent:
      server.RequestStop();
      KRL_NetFini();
      return true;
    default:
      return false;
  }
}

}  // namespace dirsync
