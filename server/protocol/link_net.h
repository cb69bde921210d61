// LinkNet: the network calls a client link makes (send, disconnect, remote
// address, and the flow control of its input and output). The program
// passes linkcore's; tests pass their own to watch replies and closes
// without a network.
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
  // Same contracts as KRL_NetHoldInput and KRL_NetQueuedOutput. Thread
  // safe.
  virtual int HoldInput(uint64_t connId, bool hold) = 0;
  virtual int64_t QueuedOutput(uint64_t connId) = 0;
  // As KRL_NetNotifyDrained: 1 when the connection's drain event is armed
  // for the moment no more than lowMark bytes remain queued (it then
  // reaches the link through LinkDrained), 2 when that is so already, 0
  // when the connection is gone. Thread safe.
  virtual int NotifyDrained(uint64_t connId, int64_t lowMark) = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_LINK_NET_H_
