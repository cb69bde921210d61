#include "net_server.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <new>
#include <thread>

#include <ace/ACE.h>
#include <ace/Init_ACE.h>
#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_socket.h>
#include <ace/OS_NS_unistd.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>

#include "net_handler.h"
#include "net_listener.h"
#include "net_loop.h"
#include "tls_handshake.h"

namespace linkcore {

namespace {

// A loop's registration table is an array indexed by descriptor; beyond
// this many descriptors per loop its memory outweighs its use.
constexpr size_t kMaxLoopCapacity = 1u << 18;

// How long KRL_NetConnect waits for the connection.
constexpr int kConnectTimeoutSeconds = 10;

// Pause of the sweeper between passes, in milliseconds.
constexpr int kSweepIntervalMs = 200;

int64_t MonotonicNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepMilliseconds(int ms) { ACE_OS::sleep(ACE_Time_Value(0, ms * 1000)); }

}  // namespace

KRL_NetServer& KRL_NetServer::instance() {
  // Never destroyed; see the header.
  static KRL_NetServer* const server = new KRL_NetServer();
  return *server;
}

KRL_NetServer::KRL_NetServer()
    : frequency_(1000000000), startCounter_(MonotonicNanoseconds()) {}

int KRL_NetServer::init(int threadCount) {
  ACE::init();
  ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
  if (initialised_.load() != 0) return 1;
  initialised_.store(1);
  threadCount_ = static_cast<uint32_t>(std::max(threadCount, 0));

  // Each loop bounds its registration table by the descriptor limit when
  // it is built: raise the limit to the hard limit first.
  ACE::set_handle_limit();
  const size_t capacity = std::min(
      static_cast<size_t>(std::max(ACE::max_handles(), 1)), kMaxLoopCapacity);
  if (threadCount_ > 0) {
    KRL_NetLoop* loop = new (std::nothrow) KRL_NetLoop(capacity);
    if (loop != nullptr && loop->open()) {
      // At most half the processors wait for events at once: see the
      // loop's header.
      const int pollers = static_cast<int>(
          std::max(std::thread::hardware_concurrency() / 2, 1u));
      if (loop->start(static_cast<int>(threadCount_), pollers,
                      &exitedThreads_) > 0) {
        loop_ = loop;
      } else {
        delete loop;  // no thread of it runs
      }
    } else {
      delete loop;
      // Counted as ended, so shutdown goes on.
      for (uint32_t i = 0; i < threadCount_; ++i) exitedThreads_.increment();
    }
  }
  if (ACE_Thread::spawn(&KRL_NetServer::sweeperMain, this,
                        THR_NEW_LWP | THR_DETACHED) == -1) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("ACE_Thread::spawn")));
    exitedThreads_.increment();
  }
  return 1;
}

ACE_THR_FUNC_RETURN KRL_NetServer::sweeperMain(void* self) {
  KRL_NetServer* server = static_cast<KRL_NetServer*>(self);
  while (server->finishState_.load() != 100) {
    server->sweep();
    if (server->loop_ != nullptr) server->loop_->rescueIfStalled();
    SleepMilliseconds(kSweepIntervalMs);
  }
  server->exitedThreads_.increment();
  return 0;
}

void KRL_NetServer::sweep() {
  std::vector<std::shared_ptr<KRL_NetHandler>> done;  // let go after netLock_
  std::vector<std::shared_ptr<KRL_NetHandler>> overdue;
  {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
    for (auto it = closingHandlers_.begin(); it != closingHandlers_.end();) {
      if ((*it)->sweep()) {
        done.push_back(std::move(*it));
        it = closingHandlers_.erase(it);
      } else {
        ++it;
      }
    }
    const int64_t now = MonotonicNanoseconds();
    for (auto it = handshaking_.begin(); it != handshaking_.end();) {
      std::shared_ptr<KRL_NetHandler> handler = it->handler.lock();
      if (handler == nullptr || !handler->handshakePending()) {
        if (handler != nullptr) done.push_back(std::move(handler));
        it = handshaking_.erase(it);
      } else if (now >= it->deadline) {
        overdue.push_back(std::move(handler));
        it = handshaking_.erase(it);
      } else {
        done.push_back(std::move(handler));
        ++it;
      }
    }
  }
  // Closed with no library lock held: the close event comes on this thread.
  for (const std::shared_ptr<KRL_NetHandler>& handler : overdue) {
    handler->handshakeExpired(handshakeTimeoutMs_.load());
  }
}

void KRL_NetServer::watchHandshake(
    const std::shared_ptr<KRL_NetHandler>& handler) {
  const int64_t deadline =
      MonotonicNanoseconds() +
      static_cast<int64_t>(handshakeTimeoutMs_.load()) * 1000000;
  ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
  handshaking_.push_back({deadline, handler});
}

int KRL_NetServer::setHandshakeTimeout(int milliseconds) {
  if (milliseconds <= 0) return 0;
  handshakeTimeoutMs_.store(milliseconds);
  return 1;
}

void KRL_NetServer::addClosing(std::shared_ptr<KRL_NetHandler> handler) {
  closingHandlers_.push_back(std::move(handler));
  closingCount_.fetch_add(1);
}

void KRL_NetServer::handlerBuilt() { liveHandlers_.fetch_add(1); }

int KRL_NetServer::setLimits(int maxConnections, int reservedDescriptors) {
  maxConnections_.store(std::max(maxConnections, 0));
  reservedDescriptors_.store(std::max(reservedDescriptors, 0));
  return 1;
}

bool KRL_NetServer::admits(ACE_HANDLE socket) const {
  const int most = maxConnections_.load();
  if (most > 0 && liveHandlers_.load() >= most) return false;
  const int reserve = reservedDescriptors_.load();
  if (reserve > 0) {
    // The limit is read each time: it may be changed while the process
    // runs (prlimit). A new descriptor takes the lowest free number, so
    // one this close to the limit means the reserve is being used up.
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(socket) + static_cast<rlim_t>(reserve) >= limit.rlim_cur) {
      return false;
    }
  }
  return true;
}

void KRL_NetServer::handlerDestroyed(bool closed) {
  deletedHandlers_.increment();
  if (closed) closingCount_.fetch_sub(1);
  liveHandlers_.fetch_sub(1);
}

void KRL_NetServer::fini() {
  // 1. Only the first call after init shuts down.
  {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
    if (finishState_.load() != 0 || initialised_.load() == 0) return;
    finishState_.store(1);
  }
  // 2. No new connections.
  closeListeners();
  // 3. Close every live connection; each close event comes on this thread.
  // A connection being opened meanwhile (KRL_NetConnect, or a socket
  // accepted just before its listener closed) enters the table after this
  // snapshot; it sees the shutdown and closes itself (endOpen).
  {
    const std::vector<std::shared_ptr<KRL_NetHandler>> live =
        connectionTable_.snapshot();
    for (const std::shared_ptr<KRL_NetHandler>& handler : live) {
      handler->disconnect();
    }
  }
  // 4. Wait until every connection object is destroyed: each goes on its
  // loop once the last reference is let go (the sweeper's, once it has
  // shut the socket of a connection that the peer closed).
  for (;;) {
    netLock_.acquire();
    if (liveHandlers_.load() == 0 && opensInProgress_ == 0) break;
    netLock_.release();
    SleepMilliseconds(1);
  }
  // 5. End the loop and the sweeper.
  netLock_.release();
  finishState_.store(100);
  if (loop_ != nullptr) loop_->end();
  // 6. Wait for every library thread to end.
  while (exitedThreads_.value() < static_cast<int32_t>(threadCount_) + 1) {
    SleepMilliseconds(1);
  }
  // Nothing runs on the loop any more: it and the listeners it may have
  // been dispatching can go.
  delete loop_;
  loop_ = nullptr;
  {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
    for (KRL_NetListener* listener : retiredListeners_) delete listener;
    retiredListeners_.clear();
  }
  // 7. Release one KRL_NetWaitFini.
  finishedEvent_.signal();
}

int KRL_NetServer::waitFini() {
  if (initialised_.load() == 0) return 1;
  finishedEvent_.wait();
  return 1;
}

uint32_t KRL_NetServer::takeConnectionId() {
  for (;;) {
    const uint32_t id = static_cast<uint32_t>(nextConnId_.increment());
    if (id != 0) return id;  // 0 is never an id, also after a wrap
  }
}

int KRL_NetServer::listen(int port, NetDataCallback onData,
                          NetEventCallback onEvent, NetSentCallback onSent) {
  return listenAt(nullptr, port, onData, onEvent, onSent);
}

int KRL_NetServer::listenTls(const char* address, int port,
                             const char* certFile, const char* keyFile,
                             const char* clientCaFile, NetDataCallback onData,
                             NetEventCallback onEvent, NetSentCallback onSent) {
  std::string error;
  std::shared_ptr<TlsContext> tls;
  if (certFile == nullptr || keyFile == nullptr) {
    error = "no certificate or key given";
  } else {
    tls = TlsContext::forServer(certFile, keyFile,
                                clientCaFile != nullptr ? clientCaFile : "",
                                &error);
  }
  if (tls == nullptr) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("linkcore: port %d: TLS %C\n"), port,
               error.c_str()));
    errno = EINVAL;
    return 0;
  }
  return listenAt(address, port, onData, onEvent, onSent, std::move(tls));
}

int KRL_NetServer::listenAt(const char* host, int port,
                            NetDataCallback onData, NetEventCallback onEvent,
                            NetSentCallback onSent,
                            std::shared_ptr<TlsContext> tls) {
  ACE_INET_Addr address(static_cast<u_short>(port),
                        static_cast<ACE_UINT32>(INADDR_ANY));
  if (host != nullptr && host[0] != '\0' &&
      address.set(static_cast<u_short>(port), host, 1, AF_INET) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("KRL_NetListenAt: cannot resolve %C\n"),
               host));
    return 0;
  }
  KRL_NetListener* listener;
  {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
    if (!runningLocked()) return 0;
    if (listeners_.count(port) != 0) return 0;
    listener = new (std::nothrow) KRL_NetListener(port, address, loop_);
    if (listener == nullptr) return 0;
    ListenEntry entry;
    entry.dataCallback = onData;
    entry.eventCallback = onEvent;
    entry.sentCallback = onSent;
    entry.acceptor = listener;
    entry.tls = std::move(tls);
    listeners_[port] = entry;
    listenCount_.store(static_cast<int>(listeners_.size()));
  }
  if (!listener->open()) {
    // The entry stays, so the port keeps counting and a later listen on it
    // fails until it is unlistened. errno tells the caller why.
    const int error = errno;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"),
               ACE_TEXT("ACE_Asynch_Acceptor::open")));
    errno = error;
    return 0;
  }
  return 1;
}

int KRL_NetServer::unListen(int port) {
  KRL_NetListener* listener;
  {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
    auto it = listeners_.find(port);
    if (it == listeners_.end()) return 0;
    listener = it->second.acceptor;
    listeners_.erase(it);
    listenCount_.store(static_cast<int>(listeners_.size()));
  }
  listener->close();
  ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
  retiredListeners_.push_back(listener);
  return 1;
}

void KRL_NetServer::closeListeners() {
  std::map<int, ListenEntry> entries;
  {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
    entries.swap(listeners_);
    listenCount_.store(0);
  }
  for (auto& [port, entry] : entries) entry.acceptor->close();
  ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
  for (auto& [port, entry] : entries) {
    retiredListeners_.push_back(entry.acceptor);
  }
}

void KRL_NetServer::copyListenCallbacks(int port, NetDataCallback* onData,
                                        NetEventCallback* onEvent,
                                        NetSentCallback* onSent) {
  ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
  auto it = listeners_.find(port);
  if (it == listeners_.end()) {
    *onData = nullptr;
    *onEvent = nullptr;
    *onSent = nullptr;
    return;
  }
  *onData = it->second.dataCallback;
  *onEvent = it->second.eventCallback;
  *onSent = it->second.sentCallback;
}

void KRL_NetServer::beginOpen() {
  ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
  ++opensInProgress_;
}

bool KRL_NetServer::endOpen(uint32_t id) {
  bool closed = false;
  if (id != 0 && finishState_.load() != 0) {
    if (std::shared_ptr<KRL_NetHandler> handler = connectionTable_.find(id)) {
      handler->disconnect();
    }
    closed = true;
  }
  ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
  --opensInProgress_;
  return closed;
}

std::unique_ptr<TlsSession> KRL_NetServer::sessionForPort(int listenPort,
                                                          bool* failed) {
  std::shared_ptr<TlsContext> context;
  {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
    auto it = listeners_.find(listenPort);
    if (it != listeners_.end()) context = it->second.tls;
  }
  *failed = false;
  if (context == nullptr) return nullptr;
  std::unique_ptr<TlsSession> session =
      TlsSession::create(std::move(context), "", nullptr);
  *failed = session == nullptr;
  return session;
}

void KRL_NetServer::accepted(ACE_HANDLE socket, const ACE_INET_Addr& remote,
                             int listenPort) {
  ACE_INET_Addr local;
  ACE_SOCK_Stream(socket).get_local_addr(local);
  bool failed;
  std::unique_ptr<TlsSession> session = sessionForPort(listenPort, &failed);
  if (failed) {
    // No memory for the session: the connection is refused as a whole
    // rather than served in clear text.
    ACE_OS::closesocket(socket);
    endOpen(0);
    return;
  }
  endOpen(KRL_NetHandler::create(socket, remote, local, loop_,
                                 listenPort, nullptr, nullptr, nullptr,
                                 std::move(session)));
}

uint64_t KRL_NetServer::connectTls(const char* host, int port,
                                   const char* serverName, const char* caFile,
                                   const char* certFile, const char* keyFile,
                                   NetDataCallback onData,
                                   NetEventCallback onEvent,
                                   NetSentCallback onSent) {
  if (host == nullptr) return 0;
  std::string error;
  std::shared_ptr<TlsContext> context = TlsContext::forClient(
      caFile != nullptr ? caFile : "", certFile != nullptr ? certFile : "",
      keyFile != nullptr ? keyFile : "", &error);
  if (context == nullptr) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("linkcore: TLS to %C:%d: %C\n"), host, port,
               error.c_str()));
    return 0;
  }
  {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
    if (!runningLocked()) return 0;
    ++opensInProgress_;  // shutdown waits for this call to finish
  }
  uint32_t id = 0;
  ACE_INET_Addr remote;
  if (remote.set(static_cast<u_short>(port), host, 1, AF_INET) == 0) {
    ACE_SOCK_Stream stream;
    ACE_SOCK_Connector connector;
    ACE_Time_Value timeout(kConnectTimeoutSeconds);
    const int64_t started = MonotonicNanoseconds();
    std::unique_ptr<TlsSession> session;
    if (connector.connect(stream, remote, &timeout) == -1) {
      stream.close();
    } else if ((session = TlsSession::create(
                    context,
                    serverName != nullptr && serverName[0] != '\0' ? serverName
                                                                   : host,
                    nullptr)) == nullptr) {
      stream.close();
    } else {
      // The handshake has what is left of the connect's time.
      const int elapsedMs =
          static_cast<int>((MonotonicNanoseconds() - started) / 1000000);
      const int leftMs = std::max(kConnectTimeoutSeconds * 1000 - elapsedMs, 1);
      if (!RunClientHandshake(stream.get_handle(), session.get(), leftMs,
                              &error)) {
        ACE_ERROR((LM_WARNING,
                   ACE_TEXT("linkcore: TLS handshake with %C:%d failed: %C\n"),
                   host, port, error.c_str()));
        stream.close();
      } else {
        ACE_INET_Addr local;
        stream.get_local_addr(local);
        id = KRL_NetHandler::create(stream.get_handle(), remote, local,
                                    loop_, -1, onData, onEvent, onSent,
                                    std::move(session));
      }
    }
  }
  return endOpen(id) ? 0 : id;
}

uint64_t KRL_NetServer::connect(const char* host, int port,
                                NetDataCallback onData,
                                NetEventCallback onEvent,
                                NetSentCallback onSent) {
  {
    ACE_Guard<ACE_Recursive_Thread_Mutex> guard(netLock_);
    if (!runningLocked()) return 0;
    ++opensInProgress_;  // shutdown waits for this call to finish
  }
  uint32_t id = 0;
  ACE_INET_Addr remote;
  if (host != nullptr &&
      remote.set(static_cast<u_short>(port), host, 1, AF_INET) == 0) {
    ACE_SOCK_Stream stream;
    ACE_SOCK_Connector connector;
    ACE_Time_Value timeout(kConnectTimeoutSeconds);
    if (connector.connect(stream, remote, &timeout) == -1) {
      stream.close();
    } else {
      ACE_INET_Addr local;
      stream.get_local_addr(local);
      id = KRL_NetHandler::create(stream.get_handle(), remote, local,
                                  loop_, -1, onData, onEvent, onSent);
    }
  }
  // Shutdown may have taken its snapshot of live connections while this
  // one was connecting: then endOpen closes it and no id is returned.
  return endOpen(id) ? 0 : id;
}

char* KRL_NetServer::dump(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return buffer;
  const double elapsed =
      static_cast<double>(MonotonicNanoseconds() - startCounter_) /
      static_cast<double>(frequency_);
  const int seconds = static_cast<int>(elapsed);
  int threads = 0;
  if (initialised_.load() != 0) {
    threads = finishState_.load() == 0
                  ? static_cast<int>(threadCount_) + 1
                  : static_cast<int>(threadCount_) - exitedThreads_.value() + 1;
  }
  char text[512];
  snprintf(text, sizeof text,
           "Net Status:\n    Run Times: %d days %02d:%02d:%02d\n"
           "    Active Handles: %d\n    Deleting Handles: %d\n"
           "    Deleted Handles: %d\n    Listen Ports: %d\n"
           "\tNet Threads: %d\n",
           seconds / 86400, (seconds % 86400) / 3600, (seconds % 3600) / 60,
           seconds % 60, connectionTable_.size(), closingCount_.load(),
           deletedHandlers_.value(), listenCount_.load(), threads);
  const size_t copied = std::min(strlen(text), static_cast<size_t>(size) - 1);
  memcpy(buffer, text, copied);
  buffer[copied] = '\0';
  return buffer;
}

}  // namespace linkcore
