// LinkNet: the three network calls a client link makes (send, disconnect,
// remote address). In the program they go to linkcore; tests install their
// own implementation to watch replies and closes without a network.
#ifndef DIRSYNC_CORE_CLIENT_LINK_NET_H_
#define DIRSYNC_CORE_CLIENT_LINK_NET_H_

#include <cstdint>

namespace dirsync {

class LinkNet {
 public:
  virtual ~LinkNet() = default;
  // Same contracts as KRL_NetSend, KRL_NetDisConnect and KRL_NetGetAddr: a
  // disconnect delivers the connection's close event on the calling thread
  // before it returns.
  virtual int Send(uint64_t connId, const void* data, int length) = 0;
  virtual int DisConnect(uint64_t connId) = 0;
  virtual int GetAddr(uint64_t connId, int which, char* buf, int size) = 0;
};

// The installed implementation: linkcore unless a test installed another.
// Thread safe.
LinkNet& ClientLinkNet();

// Installs net (nullptr restores linkcore) and returns the one installed
// before (nullptr for linkcore). For tests, while no connection is being
// served; net must outlive its installation.
LinkNet* SetClientLinkNetForTesting(LinkNet* net);

}  // namespace dirsync

#endif  // DIRSYNC_CORE_CLIENT_LINK_NET_H_
