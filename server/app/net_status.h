// The network library's status in the log. An operator sends the running
// server SIGUSR1 and reads how long it has run, its live and closing
// connections, listening ports and network threads (KRL_NetDump).
#ifndef DIRSYNC_APP_NET_STATUS_H_
#define DIRSYNC_APP_NET_STATUS_H_

namespace dirsync {

// Writes the status text of the network library to the log, one log line
// (with its timestamp) per line of the text. Works before the library is
// started and after it has stopped. Thread safe; takes no lock of the
// server and never waits on the network.
void LogNetStatus();

}  // namespace dirsync

#endif  // DIRSYNC_APP_NET_STATUS_H_
