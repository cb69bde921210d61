// LinkcoreNet: the client links' network calls, made to linkcore.
#ifndef DIRSYNC_APP_LINKCORE_NET_H_
#define DIRSYNC_APP_LINKCORE_NET_H_

#include "protocol/link_net.h"

namespace dirsync {

class LinkcoreNet final : public LinkNet {
 public:
  int Send(uint64_t connId, const void* data, int length) override;
  int DisConnect(uint64_t connId) override;
  int GetAddr(uint64_t connId, int which, char* buf, int size) override;
  int HoldInput(uint64_t connId, bool hold) override;
  int64_t QueuedOutput(uint64_t connId) override;
  // The drain event reaches the installed client link table (OnDrained).
  int NotifyDrained(uint64_t connId, int64_t lowMark) override;
};

}  // namespace dirsync

#endif  // DIRSYNC_APP_LINKCORE_NET_H_
