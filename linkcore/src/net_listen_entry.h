// One row of the listen table: the callbacks that connections accepted on a
// port will use, and the port's listener.
#ifndef LINKCORE_NET_LISTEN_ENTRY_H_
#define LINKCORE_NET_LISTEN_ENTRY_H_

#include <memory>

#include "linkcore.h"
#include "tls_context.h"

namespace linkcore {

class KRL_NetListener;

struct ListenEntry {
  NetDataCallback dataCallback = nullptr;
  NetEventCallback eventCallback = nullptr;
  NetSentCallback sentCallback = nullptr;
  KRL_NetListener* acceptor = nullptr;  // owned by the server (see there)
  std::shared_ptr<TlsContext> tls;      // null: plain connections
};

}  // namespace linkcore

#endif  // LINKCORE_NET_LISTEN_ENTRY_H_
