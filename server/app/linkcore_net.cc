#include "app/linkcore_net.h"

#include "app/client_link_table.h"
#include "linkcore.h"

namespace dirsync {

int LinkcoreNet::Send(uint64_t connId, const void* data, int length) {
  return KRL_NetSend(connId, data, length);
}

int LinkcoreNet::DisConnect(uint64_t connId) {
  return KRL_NetDisConnect(connId);
}

int LinkcoreNet::GetAddr(uint64_t connId, int which, char* buf, int size) {
  return KRL_NetGetAddr(connId, which, buf, size);
}

int LinkcoreNet::HoldInput(uint64_t connId, bool hold) {
  return KRL_NetHoldInput(connId, hold ? 1 : 0);
}

int64_t LinkcoreNet::QueuedOutput(uint64_t connId) {
  return KRL_NetQueuedOutput(connId);
}

int LinkcoreNet::NotifyDrained(uint64_t connId, int64_t lowMark) {
  return KRL_NetNotifyDrained(connId, lowMark, OnDrained);
}

}  // namespace dirsync
