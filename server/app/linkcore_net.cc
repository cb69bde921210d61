#include "app/linkcore_net.h"

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

}  // namespace dirsync
