// Stopping the server. A console event (Ctrl+C, Ctrl+Break, closing the
// console, log-off, shutdown) reaches ConsoleCtrlHandler on the signal
// thread; it clears the run flag and stops the server's network side,
// which releases the main thread waiting in WaitForServerStop.
//
// StopServer and WaitForServerStop are the two places where the network
// library's KRL_NetFini and KRL_NetWaitFini are called; until it is linked
// they stand on a latch of their own.
#ifndef DIRSYNC_CORE_CONSOLE_CTRL_H_
#define DIRSYNC_CORE_CONSOLE_CTRL_H_

#include <cstdint>

namespace dirsync {

// For Ctrl+C (0), Ctrl+Break (1), close (2), log-off (5) and shutdown (6):
// sets running to false, calls StopServer and returns true. For any other
// event returns false, so that the next handler runs. Thread safe; runs on
// the signal thread.
bool ConsoleCtrlHandler(uint32_t event);

// Blocks until StopServer has run (at once if it already has). Main thread.
void WaitForServerStop();

// Stops the network side and releases WaitForServerStop. Thread safe; a
// second call does nothing.
void StopServer();

// Makes WaitForServerStop block again. For tests.
void ResetServerStopForTesting();

}  // namespace dirsync

#endif  // DIRSYNC_CORE_CONSOLE_CTRL_H_
