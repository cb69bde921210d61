// The owner of one connection: holds its two addresses, creates its
// handler, and destroys handler and itself together when the sweeper says
// the handler is done.
#ifndef LINKCORE_NET_HANDLER_FACTORY_H_
#define LINKCORE_NET_HANDLER_FACTORY_H_

#include <stdint.h>

#include <ace/INET_Addr.h>

#include "linkcore.h"

namespace linkcore {

class KRL_NetHandler;
class KRL_NetLoop;

class KRL_NetHandler_Factory {
 public:
  KRL_NetHandler_Factory() = default;
  KRL_NetHandler_Factory(const KRL_NetHandler_Factory&) = delete;
  KRL_NetHandler_Factory& operator=(const KRL_NetHandler_Factory&) = delete;

  // Copies the peer's and this side's address. Before open.
  void addresses(const ACE_INET_Addr& remote, const ACE_INET_Addr& local);

  // Creates the handler and opens the connection on socket (see
  // KRL_NetHandler::open). For an outgoing connection the callbacks are
  // given here; an accepted one (listenPort >= 0) takes its port's. Returns
  // the connection id after the open event has been delivered, or 0 when
  // the connection could not be opened: then socket, handler and this
  // object are already released. Calling thread.
  uint32_t open(ACE_HANDLE socket, KRL_NetLoop* loop, int listenPort,
                NetDataCallback onData, NetEventCallback onEvent,
                NetSentCallback onSent);

  // Deletes handler (if not null), then this object. Sweeper thread.
  void destroy(KRL_NetHandler* handler);

  const ACE_INET_Addr& remoteAddress() const { return remoteAddress_; }
  const ACE_INET_Addr& localAddress() const { return localAddress_; }

 private:
  ~KRL_NetHandler_Factory() = default;  // only through destroy

  ACE_INET_Addr remoteAddress_;
  ACE_INET_Addr localAddress_;
  KRL_NetHandler* handler_ = nullptr;
};

}  // namespace linkcore

#endif  // LINKCORE_NET_HANDLER_FACTORY_H_
