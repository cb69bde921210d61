// CapturingNet: a LinkNet for tests that drive the client-link callbacks
// directly, without sockets. It keeps a table of client links of its own
// (installed as the one the callbacks reach while it lives), keeps every
// byte sent per connection, delivers the close event inside DisConnect as
// the network library does, and can hold a send until the test releases
// it.
#ifndef DIRSYNC_TESTS_PROTOCOL_CAPTURING_NET_H_
#define DIRSYNC_TESTS_PROTOCOL_CAPTURING_NET_H_

#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/client_link_table.h"
#include "frame.h"
#include "protocol/link_net.h"
#include "protocol/protocol_context.h"

namespace dirsync {

class CapturingNet final : public LinkNet {
 public:
  CapturingNet() {
    context_.net = this;
    context_.tasks = &noTasks_;
    InstallClientLinkTable(&table_);
  }
  ~CapturingNet() override { InstallClientLinkTable(nullptr); }

  // The link of id, or null.
  std::shared_ptr<ClientLink> Find(uint64_t id) { return table_.Find(id); }
  size_t LinkCount() { return table_.Count(); }

  // Opens id: the open event, as an accepted connection would.
  void Open(uint64_t id) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      live_.insert(id);
    }
    OnConnectionEvent(id, 1);
  }
  // Closes id from the peer's side (the close event on this thread).
  void PeerClose(uint64_t id) { DisConnect(id); }

  int Send(uint64_t id, const void* data, int length) override {
    std::unique_lock<std::mutex> guard(lock_);
    if (holdSends_) {
      sendHeld_ = true;
      changed_.notify_all();
      changed_.wait(guard, [this] { return !holdSends_; });
    }
    if (live_.count(id) == 0) return 0;
    sent_[id].append(static_cast<const char*>(data), static_cast<size_t>(length));
    return 1;
  }
  int DisConnect(uint64_t id) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (live_.erase(id) == 0) return 0;
      closed_.insert(id);
    }
    OnConnectionEvent(id, 0);
    return 1;
  }
  int GetAddr(uint64_t, int, char* buf, int size) override {
    if (size > 16) std::snprintf(buf, static_cast<size_t>(size), "127.0.0.1:4242");
    return 1;
  }

  // The messages sent on id so far, parsed by the client's own parser.
  std::vector<dsclient::Message> Replies(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    dsclient::FrameReader reader;
    reader.Append(sent_[id]);
    std::vector<dsclient::Message> out;
    dsclient::Message m;
    while (reader.Next(&m) == dsclient::FrameReader::Status::kMessage) out.push_back(m);
    return out;
  }
  std::string SentBytes(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_[id];
  }
  bool Closed(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_.count(id) != 0;
  }

  // Makes the next sends wait until ReleaseSends.
  void HoldSends() {
    std::lock_guard<std::mutex> guard(lock_);
    holdSends_ = true;
    sendHeld_ = false;
  }
  void WaitUntilSendHeld() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return sendHeld_; });
  }
  void ReleaseSends() {
    std::lock_guard<std::mutex> guard(lock_);
    holdSends_ = false;
    changed_.notify_all();
  }

 private:
  // Knows no task: a login finds none.
  class NoTasks final : public TaskDirectory {
   public:
    SyncTask* FindTask(std::string_view) override { return nullptr; }
  };

  NoTasks noTasks_;
  ProtocolContext context_;
  ClientLinkTable table_{context_};
  std::mutex lock_;
  std::condition_variable changed_;
  std::set<uint64_t> live_;
  std::set<uint64_t> closed_;
  std::map<uint64_t, std::string> sent_;
  bool holdSends_ = false;
  bool sendHeld_ = false;
};

// Feeds bytes to id as one received chunk.
inline void Deliver(uint64_t id, const std::string& bytes) {
  OnReceive(id, bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace dirsync

#endif  // DIRSYNC_TESTS_PROTOCOL_CAPTURING_NET_H_
