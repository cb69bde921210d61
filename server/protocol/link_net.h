// LinkNet: the three network calls a client link makes (send, disconnect,
// remote address). The program passes linkcore's; tests pass their own to
// watch replies and closes without a network.
#ifndef DIRSYNC_PROTOCOL_LINK_NET_H_
#define DIRSYNC_PROTOCOL_LINK_NET_H_

#include <cstdint>

namespace dirsync {

class LinkNet {
 public:
  virtual ~LinkNet() = default;
  // Same contracts as KRL_NetSend, KRL_NetDisConnect and KRL_NetGetAddr: a
  // send copies the bytes before it returns; a disconnect delivers the
  // connection's close event on the calling thread before it returns.
  // Thread safe.
  virtual int Send(uint64_t connId, const void* data, int length) = 0;
  virtual int DisConnect(uint64_t connId) = 0;
  virtual int GetAddr(uint64_t connId, int which, char* buf, int size) = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_LINK_NET_H_
