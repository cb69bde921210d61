// The process-wide network service behind the exported KRL_Net functions.
//
// One instance per process, built when the library is loaded and never
// destroyed: library threads may still be running when the process exits,
// and must never find their objects torn down (nor call back into a host
// that is exiting), so an unload runs no shutdown.
//
// Lifecycle: Loaded (initialised 0) -> Running (first init) -> Finishing
// (finishState 1, fini step 1) -> Finished (finishState 100, fini step 5).
// The library cannot be started twice in one process.
//
// Locks: netLock serialises start, shutdown, the listen table, the start of
// every close and the sweep; the connection table has its own reader-writer
// lock and is never locked together with netLock; a handler's write lock may
// be taken under netLock (the sweep), never the other way round. No handler
// reference is let go while any of them is held.
//
// Connections: every handler built is counted live until its destructor
// runs (on a loop thread, once the last reference has gone); shutdown
// waits for that count to reach 0.
#ifndef LINKCORE_NET_SERVER_H_
#define LINKCORE_NET_SERVER_H_

#include <stdint.h>

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include <ace/Auto_Event.h>
#include <ace/INET_Addr.h>
#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Thread.h>

#include "linkcore.h"
#include "net_connection_table.h"
#include "net_guarded_counter.h"
#include "net_listen_entry.h"
#include "tls_context.h"
#include "tls_session.h"

namespace linkcore {

class KRL_NetHandler;
class KRL_NetListener;
class KRL_NetLoop;

class KRL_NetServer {
 public:
  // The single instance; built on first use (the library builds it at
  // load). Thread safe.
  static KRL_NetServer& instance();

  // Exported functions; see linkcore.h for their contracts.
  int init(int threadCount);
  void fini();
  int waitFini();
  int listen(int port, NetDataCallback onData, NetEventCallback onEvent,
             NetSentCallback onSent);
  int listenAt(const char* address, int port, NetDataCallback onData,
               NetEventCallback onEvent, NetSentCallback onSent,
               std::shared_ptr<TlsContext> tls = nullptr);
  int listenTls(const char* address, int port, const char* certFile,
                const char* keyFile, const char* clientCaFile,
                NetDataCallback onData, NetEventCallback onEvent,
                NetSentCallback onSent);
  uint64_t connectTls(const char* host, int port, const char* serverName,
                      const char* caFile, const char* certFile,
                      const char* keyFile, NetDataCallback onData,
                      NetEventCallback onEvent, NetSentCallback onSent);
  int setHandshakeTimeout(int milliseconds);
  int unListen(int port);
  uint64_t connect(const char* host, int port, NetDataCallback onData,
                   NetEventCallback onEvent, NetSentCallback onSent);
  char* dump(char* buffer, int size);

  // Admission of accepted connections; see KRL_NetSetLimits.
  int setLimits(int maxConnections, int reservedDescriptors);
  // Whether a connection accepted on descriptor socket may be kept: fewer
  // than the maximum are open and socket lies below the descriptor limit
  // minus the reserve. Thread safe.
  bool admits(ACE_HANDLE socket) const;
  // The bounds, for log lines. Thread safe.
  int maxConnections() const { return maxConnections_.load(); }
  int reservedDescriptors() const { return reservedDescriptors_.load(); }
  int liveConnections() const { return liveHandlers_.load(); }

  // Counts a connection being opened outside the connection table, so
  // that shutdown waits for it. The listener calls it right after each
  // accept, still under its own lock. Thread safe.
  void beginOpen();
  // A socket accepted on the listener of listenPort (after beginOpen):
  // builds its handler and opens it on the loop. A loop thread, in the
  // listener's upcall.
  void accepted(ACE_HANDLE socket, const ACE_INET_Addr& remote,
                int listenPort);

  // Copies the callbacks of port's listen entry; all null when the port is
  // not listed. Thread safe (netLock).
  void copyListenCallbacks(int port, NetDataCallback* onData,
                           NetEventCallback* onEvent,
                           NetSentCallback* onSent);

  // Puts an accepted connection whose TLS handshake is under way on the
  // sweeper's watch: it is closed when the handshake has not finished by
  // the deadline (KRL_NetSetHandshakeTimeout). Thread safe.
  void watchHandshake(const std::shared_ptr<KRL_NetHandler>& handler);

  // The next connection id: 1, 2, ... never 0. Thread safe.
  uint32_t takeConnectionId();

  // Appends a handler whose close has begun; the closing list holds it
  // until the sweeper has shut its socket. Caller holds netLock.
  void addClosing(std::shared_ptr<KRL_NetHandler> handler);
  // Counts a handler built, and one destroyed (closed: its close had
  // begun). Thread safe.
  void handlerBuilt();
  void handlerDestroyed(bool closed);

  ACE_Recursive_Thread_Mutex& netLock() { return netLock_; }
  ConnectionTable& connectionTable() { return connectionTable_; }

 private:
  KRL_NetServer();

  // Closes every listener and empties the listen table (fini step 2).
  void closeListeners();
  // Ends what beginOpen counted. A connection opened while a shutdown has
  // begun is closed again here, as the shutdown's snapshot may have missed
  // it; true when that happened.
  bool endOpen(uint32_t id);
  // One pass over the closing handlers, letting go of those whose socket
  // is shut; then closes connections whose handshake is overdue.
  void sweep();
  // The TLS session for a connection accepted on listenPort, null for a
  // plain port; *failed when the port wants TLS and no session could be
  // built. Thread safe (netLock).
  std::unique_ptr<TlsSession> sessionForPort(int listenPort, bool* failed);
  static ACE_THR_FUNC_RETURN sweeperMain(void* self);
  // Whether listen and connect may work now. Caller holds netLock.
  bool runningLocked() const {
    return initialised_.load() == 1 && finishState_.load() == 0;
  }

  // Monotonic clock in nanoseconds: frequency_ ticks per second; the run
  // time of the status text counts from startCounter_ (library load).
  int64_t frequency_;
  int64_t startCounter_;
  std::atomic<uint32_t> initialised_{0};
  std::atomic<uint32_t> finishState_{0};  // 0 running, 1 finishing, 100 done
  GuardedCounter exitedThreads_;
  GuardedCounter deletedHandlers_;
  std::atomic<uint32_t> threadCount_{0};
  ACE_Auto_Event finishedEvent_;  // auto-reset: releases one waiter
  std::map<int, ListenEntry> listeners_;  // netLock_
  std::atomic<int> listenCount_{0};       // listeners_.size(), lock-free

  ACE_Recursive_Thread_Mutex netLock_;
  ConnectionTable connectionTable_;
  GuardedCounter nextConnId_{1};
  // Closing handlers whose socket the sweeper still has to shut, in close
  // order. netLock_.
  std::list<std::shared_ptr<KRL_NetHandler>> closingHandlers_;
  std::atomic<int> closingCount_{0};  // closed and not yet destroyed
  std::atomic<int> liveHandlers_{0};  // built and not yet destroyed
  // Admission bounds (KRL_NetSetLimits); 0: none.
  std::atomic<int> maxConnections_{0};
  std::atomic<int> reservedDescriptors_{0};

  // Accepted connections in their TLS handshake, with the deadline
  // (monotonic nanoseconds) of each. netLock_.
  struct Handshaking {
    int64_t deadline;
    std::weak_ptr<KRL_NetHandler> handler;
  };
  std::list<Handshaking> handshaking_;
  std::atomic<int> handshakeTimeoutMs_{10000};

  // The loop every connection and listener joins: fixed after init until
  // shutdown; null without I/O threads.
  KRL_NetLoop* loop_ = nullptr;
  // Listeners taken out of the table. The loop may still be inside one's
  // upcall, so they are deleted only once the loop has ended. netLock_.
  std::vector<KRL_NetListener*> retiredListeners_;
  // Connections being opened (KRL_NetConnect calls, accepted sockets) that
  // may not be in the connection table yet. netLock_.
  int opensInProgress_ = 0;
};

}  // namespace linkcore

#endif  // LINKCORE_NET_SERVER_H_
