// The exported network functions: thin C entry points onto the server
// object and the connection table.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>

#include <ace/INET_Addr.h>

#include "linkcore.h"
#include "net_handler.h"
#include "net_server.h"

using linkcore::KRL_NetHandler;
using linkcore::KRL_NetServer;

namespace {

// Built at load, so the status text's run time counts from there.
const bool kServerBuilt = (KRL_NetServer::instance(), true);

// Ids travel as 64-bit values; only the low 32 bits name the connection.
// The caller holds the handler until it lets go of the result, however the
// connection closes meanwhile.
std::shared_ptr<KRL_NetHandler> FindLive(uint64_t id) {
  return KRL_NetServer::instance().connectionTable().find(
      static_cast<uint32_t>(id));
}

}  // namespace

extern "C" {

KRL_API int KRL_NetInit(int threadCount) {
  return KRL_NetServer::instance().init(threadCount);
}

KRL_API void KRL_NetFini(void) { KRL_NetServer::instance().fini(); }

KRL_API int KRL_NetWaitFini(void) {
  return KRL_NetServer::instance().waitFini();
}

KRL_API int KRL_NetSetLimits(int maxConnections, int reservedDescriptors) {
  return KRL_NetServer::instance().setLimits(maxConnections,
                                             reservedDescriptors);
}

KRL_API int KRL_NetListen(int port, NetDataCallback onData,
                          NetEventCallback onEvent, NetSentCallback onSent) {
  return KRL_NetServer::instance().listen(port, onData, onEvent, onSent);
}

KRL_API int KRL_NetListenAt(const char* address, int port,
                            NetDataCallback onData, NetEventCallback onEvent,
                            NetSentCallback onSent) {
  return KRL_NetServer::instance().listenAt(address, port, onData, onEvent,
                                            onSent);
}

KRL_API int KRL_NetListenTls(const char* address, int port,
                             const char* certFile, const char* keyFile,
                             const char* clientCaFile, NetDataCallback onData,
                             NetEventCallback onEvent,
                             NetSentCallback onSent) {
  return KRL_NetServer::instance().listenTls(address, port, certFile, keyFile,
                                             clientCaFile, onData, onEvent,
                                             onSent);
}

KRL_API uint64_t KRL_NetConnectTls(const char* host, int port,
                                   const char* serverName, const char* caFile,
                                   const char* certFile, const char* keyFile,
                                   NetDataCallback onData,
                                   NetEventCallback onEvent,
                                   NetSentCallback onSent) {
  return KRL_NetServer::instance().connectTls(host, port, serverName, caFile,
                                              certFile, keyFile, onData,
                                              onEvent, onSent);
}

KRL_API int KRL_NetSetHandshakeTimeout(int milliseconds) {
  return KRL_NetServer::instance().setHandshakeTimeout(milliseconds);
}

KRL_API int KRL_NetUnListen(int port) {
  return KRL_NetServer::instance().unListen(port);
}

KRL_API uint64_t KRL_NetConnect(const char* host, int port,
                                NetDataCallback onData,
                                NetEventCallback onEvent,
                                NetSentCallback onSent) {
  return KRL_NetServer::instance().connect(host, port, onData, onEvent,
                                           onSent);
}

KRL_API int KRL_NetSend(uint64_t id, const void* data, int length) {
  // A reply from the connection's own data callback skips the table.
  if (KRL_NetHandler* receiving =
          KRL_NetHandler::receivingOnThisThread(static_cast<uint32_t>(id))) {
    receiving->send(static_cast<const char*>(data), length);
    return 1;
  }
  const std::shared_ptr<KRL_NetHandler> handler = FindLive(id);
  if (handler == nullptr) return 0;
  handler->send(static_cast<const char*>(data), length);
  return 1;
}

KRL_API int KRL_NetDisConnect(uint64_t id) {
  const std::shared_ptr<KRL_NetHandler> handler = FindLive(id);
  if (handler == nullptr) return 0;
  handler->disconnect();
  return 1;
}

KRL_API int KRL_NetHoldInput(uint64_t id, int hold) {
  const std::shared_ptr<KRL_NetHandler> handler = FindLive(id);
  if (handler == nullptr) return 0;
  handler->holdInput(hold != 0);
  return 1;
}

KRL_API int64_t KRL_NetQueuedOutput(uint64_t id) {
  const std::shared_ptr<KRL_NetHandler> handler = FindLive(id);
  if (handler == nullptr) return -1;
  return static_cast<int64_t>(handler->queuedOutput());
}

KRL_API int KRL_NetNotifyDrained(uint64_t id, int64_t lowMark,
                                 NetDrainCallback onDrained) {
  const std::shared_ptr<KRL_NetHandler> handler = FindLive(id);
  if (handler == nullptr) return 0;
  return handler->notifyDrained(
      lowMark < 0 ? 0 : static_cast<size_t>(lowMark), onDrained);
}

KRL_API int KRL_NetIsValidHandler(uint64_t id) {
  return FindLive(id) != nullptr ? 1 : 0;
}

KRL_API int KRL_NetGetAddr(uint64_t id, int which, char* buf, int size) {
  const std::shared_ptr<KRL_NetHandler> handler = FindLive(id);
  if (handler == nullptr) return 0;
  if (buf == nullptr || size <= 0) return 1;  // nowhere to write
  buf[0] = '\0';
  const ACE_INET_Addr& address =
      which != 0 ? handler->remoteAddress() : handler->localAddress();
  const uint32_t ip = address.get_ip_address();
  char dotted[16];
  snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", (ip >> 24) & 0xff,
           (ip >> 16) & 0xff, (ip >> 8) & 0xff, ip & 0xff);
  // Room for the colon, five digits and the NUL.
  if (static_cast<size_t>(size) < strlen(dotted) + 7) return 1;
  snprintf(buf, static_cast<size_t>(size), "%s:%d", dotted,
           static_cast<int>(address.get_port_number()));
  return 1;
}

KRL_API char* KRL_NetDump(char* buf, int size) {
  return KRL_NetServer::instance().dump(buf, size);
}

}  // extern "C"
