#include "core/console_ctrl.h"

#include <condition_variable>
#include <mutex>

#include "core/volume_watch.h"
#include "platform/console_events.h"

namespace dirsync {
namespace {

// Released once by StopServer; waited on by the main thread.
// stopLock guards stopped and has no other purpose.
std::mutex stopLock;
std::condition_variable stopChanged;
bool stopped = false;

}  // namespace

bool ConsoleCtrlHandler(uint32_t event) {
  switch (event) {
    case kCtrlCEvent:
    case kCtrlBreakEvent:
    case kCtrlCloseEvent:
    case kCtrlLogoffEvent:
    case kCtrlShutdownEvent:
      running.store(false);
      StopServer();
      return true;
    default:
      return false;
  }
}

void WaitForServerStop() {
  std::unique_lock<std::mutex> lock(stopLock);
  stopChanged.wait(lock, [] { return stopped; });
}

void StopServer() {
  {
    std::lock_guard<std::mutex> lock(stopLock);
    stopped = true;
  }
  stopChanged.notify_all();
}

void ResetServerStopForTesting() {
  std::lock_guard<std::mutex> lock(stopLock);
  stopped = false;
}

}  // namespace dirsync
