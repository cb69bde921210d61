// Stopping the server. A console event (Ctrl+C, Ctrl+Break, closing the
// console, log-off, shutdown) reaches ConsoleCtrlHandler on the signal
// thread; it asks the server to stop and shuts the network library down
// (KRL_NetFini), which releases the main thread waiting in KRL_NetWaitFini.
#ifndef DIRSYNC_APP_CONSOLE_CTRL_H_
#define DIRSYNC_APP_CONSOLE_CTRL_H_

#include <cstdint>

namespace dirsync {

class Server;

// For Ctrl+C (0), Ctrl+Break (1), close (2), log-off (5) and shutdown (6):
// asks server to stop (Server::RequestStop), calls KRL_NetFini and returns
// true. For any other event returns false, so that the next handler runs.
// Thread safe; runs on the signal thread (never on a network callback
// thread).
bool ConsoleCtrlHandler(Server& server, uint32_t event);

}  // namespace dirsync

#endif  // DIRSYNC_APP_CONSOLE_CTRL_H_
