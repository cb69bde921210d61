#include "net_handler_factory.h"

#include <new>

#include <ace/OS_NS_sys_socket.h>

#include "net_handler.h"

namespace linkcore {

void KRL_NetHandler_Factory::addresses(const ACE_INET_Addr& remote,
                                       const ACE_INET_Addr& local) {
  remoteAddress_ = remote;
  localAddress_ = local;
}

uint32_t KRL_NetHandler_Factory::open(ACE_HANDLE socket, KRL_NetLoop* loop,
                                      int listenPort, NetDataCallback onData,
                                      NetEventCallback onEvent,
                                      NetSentCallback onSent) {
  handler_ = new (std::nothrow) KRL_NetHandler(this);
  if (handler_ == nullptr) {
    ACE_OS::closesocket(socket);
    delete this;
    return 0;
  }
  handler_->setCallbacks(onData, onEvent, onSent);
  const uint32_t id = handler_->id();
  if (!handler_->open(socket, loop, listenPort)) {
    destroy(handler_);  // the handler's destructor closes the socket
    return 0;
  }
  // From here on the sweeper ends this object's life.
  return id;
}

void KRL_NetHandler_Factory::destroy(KRL_NetHandler* handler) {
  delete handler;
  delete this;
}

}  // namespace linkcore
