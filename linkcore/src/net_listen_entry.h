// One row of the listen table: the callbacks that connections accepted on a
// port will use, and the port's listener.
#ifndef LINKCORE_NET_LISTEN_ENTRY_H_
#define LINKCORE_NET_LISTEN_ENTRY_H_

#include "linkcore.h"

namespace linkcore {

class KRL_NetListener;

struct ListenEntry {
  NetDataCallback dataCallback = nullptr;
  NetEventCallback eventCallback = nullptr;
  NetSentCallback sentCallback = nullptr;
  KRL_NetListener* acceptor = nullptr;  // owned by the server (see there)
};

}  // namespace linkcore

#endif  // LINKCORE_NET_LISTEN_ENTRY_H_
