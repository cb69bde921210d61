#include "app/client_link_table.h"

#include <atomic>
#include <thread>
#include <utility>

#include "platform/log.h"
#include "protocol/frame_feed.h"

namespace dirsync {
namespace {

// The table the library's callbacks reach: they carry no context of their
// own.
std::atomic<ClientLinkTable*> g_installedTable{nullptr};
// Callbacks running now. Counted before the table is looked up, so that
// InstallClientLinkTable can wait until no callback uses the table it
// replaced.
std::atomic<int> g_callbacksRunning{0};

// Counts one callback for its lifetime.
class RunningCallback {
 public:
  RunningCallback() { g_callbacksRunning.fetch_add(1); }
  ~RunningCallback() { g_callbacksRunning.fetch_sub(1); }
  RunningCallback(const RunningCallback&) = delete;
  RunningCallback& operator=(const RunningCallback&) = delete;
};

}  // namespace

ClientLinkTable::ClientLinkTable(const ProtocolContext& context)
    : context_(context),
      loginDeadlines_([this](uint64_t id) { LoginTimedOut(id); }) {}

void ClientLinkTable::OnConnectionEvent(uint64_t id, int opened) {
  std::shared_ptr<ClientLink> old;
  if (opened != 0) {
    // Built outside the lock.
    auto link = std::make_shared<ClientLink>(id, context_);
    {
      MutexLock guard(&clientLinksLock);
      std::shared_ptr<ClientLink>& slot = clientLinks[id];
      old = std::move(slot);
      slot = std::move(link);
    }
    loginDeadlines_.Add(id);
  } else {
    {
      MutexLock guard(&clientLinksLock);
      auto it = clientLinks.find(id);
      if (it == clientLinks.end()) return;
      old = std::move(it->second);
      clientLinks.erase(it);
    }
    loginDeadlines_.Remove(id);
  }
  // A replaced or removed link is freed here, outside the lock, unless a
  // data event, a worker or a drain event still holds it.
  if (old) old->closed.store(true, std::memory_order_release);
}

void ClientLinkTable::OnReceive(uint64_t id, const char* data, int length) {
  std::shared_ptr<ClientLink> link = Find(id);
  if (!link || length <= 0) return;
  FeedBytes(link, reinterpret_cast<const uint8_t*>(data),
            static_cast<size_t>(length));
}

void ClientLinkTable::OnDrained(uint64_t id) {
  if (std::shared_ptr<ClientLink> link = Find(id)) LinkDrained(link);
}

void ClientLinkTable::LoginTimedOut(uint64_t id) {
  std::shared_ptr<ClientLink> link = Find(id);
  if (!link || link->loggedIn.load(std::memory_order_acquire)) return;
  char remote[64] = "";
  context_.net->GetAddr(id, 1, remote, sizeof remote);
  LogPrint("%D Remote=%s did not log in within %L ms; connection closed.\n",
           remote, static_cast<int64_t>(loginDeadlines_.timeout().count()));
  CloseClientLink(*link);
}

std::shared_ptr<ClientLink> ClientLinkTable::Find(uint64_t id) {
  MutexLock guard(&clientLinksLock);
  auto it = clientLinks.find(id);
  return it == clientLinks.end() ? nullptr : it->second;
}

size_t ClientLinkTable::Count() {
  MutexLock guard(&clientLinksLock);
  return clientLinks.size();
}

std::vector<uint64_t> ClientLinkTable::Ids() {
  std::vector<uint64_t> ids;
  MutexLock guard(&clientLinksLock);
  for (const auto& [id, link] : clientLinks) ids.push_back(id);
  return ids;
}

void InstallClientLinkTable(ClientLinkTable* table) {
  g_installedTable.store(table);
  // A callback that found the table replaced may still run in it.
  while (g_callbacksRunning.load() != 0) std::this_thread::yield();
}

void OnConnectionEvent(uint64_t id, int opened) {
  RunningCallback running;
  if (ClientLinkTable* table = g_installedTable.load()) {
    table->OnConnectionEvent(id, opened);
  }
}

void OnReceive(uint64_t id, const char* data, int length) {
  RunningCallback running;
  if (ClientLinkTable* table = g_installedTable.load()) {
    table->OnReceive(id, data, length);
  }
}

void OnDrained(uint64_t id) {
  RunningCallback running;
  if (ClientLinkTable* table = g_installedTable.load()) table->OnDrained(id);
}

}  // namespace dirsync
