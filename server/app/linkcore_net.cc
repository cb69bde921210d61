#include "protocol/link_net.h"

#include <atomic>

#include "linkcore.h"

namespace dirsync {
namespace {

class LinkcoreNet final : public LinkNet {
 public:
  int Send(uint64_t connId, const void* data, int length) override {
    return KRL_NetSend(connId, data, length);
  }
  int DisConnect(uint64_t connId) override { return KRL_NetDisConnect(connId); }
  int GetAddr(uint64_t connId, int which, char* buf, int size) override {
    return KRL_NetGetAddr(connId, which, buf, size);
  }
};

LinkcoreNet g_linkcoreNet;
std::atomic<LinkNet*> g_installedNet{nullptr};

}  // namespace

LinkNet& ClientLinkNet() {
  LinkNet* net = g_installedNet.load(std::memory_order_acquire);
  return net != nullptr ? *net : g_linkcoreNet;
}

LinkNet* SetClientLinkNetForTesting(LinkNet* net) {
  return g_installedNet.exchange(net, std::memory_order_acq_rel);
}

}  // namespace dirsync
