// dirsync: the directory synchronisation server. Takes no arguments; reads
// dirsync.ini beside the program, builds the tasks, runs until a console
// event (Ctrl+C, SIGTERM, ...) stops it, and returns 0; it returns 1 when
// its port cannot be listened on, so that a service manager notices and
// starts it again. SIGUSR1 logs the network status.
#include <signal.h>

#include <chrono>
#include <string>

#include "app/config.h"
#include "app/console_ctrl.h"
#include "app/credential_audit.h"
#include "app/net_status.h"
#include "app/server.h"
#include "platform/allocator.h"
#include "platform/console_events.h"
#include "platform/log.h"
#include "platform/log_batch.h"
#include "platform/program_dir.h"
#include "platform/signal_thread.h"

using namespace dirsync;

int main() {
  // Log lines are written in batches; whatever waits goes out when this
  // ends, after the server and its threads.
  LogBatching logBatching;
  ReturnLargeBlocksToSystem();
  Server::Options options;
  options.programDirectory = GetProgramDir();
  Server server(options);

  // Console events arrive as signals, taken on a thread of their own.
  // They are blocked here, so that every later thread inherits the mask
  // and none takes them in signal context; the threads started above (the
  // log writer, the worker pool, the growth waiter) were born with every
  // signal blocked, so none of them meets one with its default action. The
  // signal thread is stopped before the server goes (it is declared after
  // it), so no action reaches a server that is gone.
  SignalThread signals;
  RouteConsoleEvents(&signals, [&server](uint32_t event) {
    return ConsoleCtrlHandler(server, event);
  });
  // SIGUSR1 asks for the network status in the log.
  signals.Route(SIGUSR1, [](int) { LogNetStatus(); });
  signals.BlockRoutedSignals();
  // A reader of the log that goes away must not end the server: its
  // writes then fail with EPIPE instead.
  ::signal(SIGPIPE, SIG_IGN);

  LogPrint("%D Quillon Directory Sync Server V1.0.0\n");
  signals.Start();

  const std::string configPath = options.programDirectory + "dirsync.ini";
  if (LoadTasks(configPath, &server) == 0) {
    LogPrint("%D 没有配置同步任务！\n");  // "No sync task configured!"
    return 0;
  }
  LogAmbiguousCredentials(server);
  server.clientLinks().SetLoginTimeout(
      std::chrono::seconds(LoginTimeoutSeconds(configPath)));
  const bool served = server.Run(ListenPort(configPath),
                                 MaxConnections(configPath),
                                 ListenAddress(configPath),
                                 ReadTlsSettings(configPath,
                                                 options.programDirectory));
  LogPrint("%D Exit!\n");
  return served ? 0 : 1;
}
