// dirsync: the directory synchronisation server. Takes no arguments; reads
// dirsync.ini beside the program, builds the tasks, runs until a console
// event (Ctrl+C, SIGTERM, ...) stops it, and returns 0 in every case.
// SIGUSR1 logs the network status.
#include <signal.h>

#include <string>
#include <thread>

#include "app/client_link_table.h"
#include "app/config.h"
#include "app/console_ctrl.h"
#include "app/flush_thread.h"
#include "platform/log.h"
#include "app/net_status.h"
#include "tracking/volume_watch.h"
#include "linkcore.h"
#include "platform/console_events.h"
#include "platform/signal_thread.h"
#include "tracking/volume_monitor.h"

using namespace dirsync;


int main() {
  // Console events arrive as signals, taken on a thread of their own.
  // They are blocked here, before any thread exists, so that every later
  // thread inherits the mask and none takes them in signal context.
  SignalThread signals;
  RouteConsoleEvents(&signals, ConsoleCtrlHandler);
  // SIGUSR1 asks for the network status in the log.
  signals.Route(SIGUSR1, [](int) { LogNetStatus(); });
  signals.BlockRoutedSignals();
  // A reader of the log that goes away must not end the server: its
  // writes then fail with EPIPE instead.
  ::signal(SIGPIPE, SIG_IGN);

  LogPrint("%D Quillon Directory Sync Server V1.0.0\n");
  signals.Start();

  const std::string configPath = GetProgramDir() + "dirsync.ini";
  if (LoadTasks(configPath) == 0) {
    LogPrint("%D 没有配置同步任务！\n");  // "No sync task configured!"
    return 0;
  }

  // One journal thread per volume, in slot order.
  StartVolumeMonitors();

  std::thread flush(FlushThread, ApplyPendingFn(ApplyJournalBatch));

  // Clients are served by five network threads.
  KRL_NetInit(5);
  const int32_t port = ListenPort(configPath);
  KRL_NetListen(port, OnReceive, OnConnectionEvent, nullptr);
  // A console event that came before the library was started found nothing
  // to shut down; the shutdown it asked for happens now.
  if (!running.load()) KRL_NetFini();

  KRL_NetWaitFini();
  // running is false now: the flush thread ends after its current sweep, so
  // that no batch is cut off in the middle of being applied.
  flush.join();
  // What the journal threads read and the flush thread did not apply yet
  // reaches the catalogs before the program ends.
  StopVolumeMonitors();
  LogPrint("%D Exit!\n");
  return 0;
}
