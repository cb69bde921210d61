#include "app/console_ctrl.h"

#include "tracking/volume_watch.h"
#include "linkcore.h"
#include "platform/console_events.h"

namespace dirsync {

bool ConsoleCtrlHandler(uint32_t event) {
  switch (event) {
    case kCtrlCEvent:
    case kCtrlBreakEvent:
    case kCtrlCloseEvent:
    case kCtrlLogoffEvent:
    case kCtrlShutdownEvent:
      running.store(false);
      KRL_NetFini();
      return true;
    default:
      return false;
  }
}

}  // namespace dirsync
