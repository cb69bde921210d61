// CapturingNet: a LinkNet for tests that drive the client-link callbacks
// directly, without sockets. It keeps a table of client links of its own
// (installed as the one the callbacks reach while it lives), keeps every
// byte sent per connection, delivers the close event inside DisConnect as
// the network library does, and can hold a send until the test releases
// it.
//
// Flow control as the network library does it: input delivered while the
// link holds it waits and is delivered once released (Pump); the queued
// output of a connection is whatever the test sets (SetQueued), and
// setting it at or below an armed drain mark delivers the drain event.
// UseRequestQueue gives the links a request queue whose workers run only
// when the test calls RunWorkers.
#ifndef DIRSYNC_TESTS_PROTOCOL_CAPTURING_NET_H_
#define DIRSYNC_TESTS_PROTOCOL_CAPTURING_NET_H_

#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/client_link_table.h"
#include "frame.h"
#include "protocol/link_net.h"
#include "protocol/protocol_context.h"
#include "protocol/request_queue.h"

namespace dirsync {

// Workers that run only when asked: each wake is kept until RunWorkers.
class ManualWorkers final : public WorkerPool {
 public:
  bool Wake(RequestQueue& queue) override {
    std::lock_guard<std::mutex> guard(lock_);
    wakes_.push_back(&queue);
    return true;
  }
  // Runs every wake, including those made meanwhile; returns how many.
  int RunAll() {
    int ran = 0;
    for (;;) {
      RequestQueue* queue;
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (wakes_.empty()) return ran;
        queue = wakes_.front();
        wakes_.erase(wakes_.begin());
      }
      queue->RunQueued();
      ++ran;
    }
  }

 private:
  std::mutex lock_;
  std::vector<RequestQueue*> wakes_;
};

class CapturingNet final : public LinkNet {
 public:
  CapturingNet() {
    context_.net = this;
    context_.tasks = &noTasks_;
    current_ = this;
    InstallClientLinkTable(&table_);
  }
  ~CapturingNet() override {
    InstallClientLinkTable(nullptr);
    current_ = nullptr;
  }

  static CapturingNet* current() { return current_; }

  // Heavy requests go to a request queue run by RunWorkers (instead of
  // running on the delivering thread). Call before opening connections.
  void UseRequestQueue() {
    queue_ = std::make_unique<RequestQueue>(workers_, 2);
    context_.requests = queue_.get();
  }
  int RunWorkers() { return workers_.RunAll(); }

  // The link of id, or null.
  std::shared_ptr<ClientLink> Find(uint64_t id) { return table_.Find(id); }
  size_t LinkCount() { return table_.Count(); }
  ClientLinkTable& table() { return table_; }

  // Opens id: the open event, as an accepted connection would.
  void Open(uint64_t id) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      live_.insert(id);
      held_.erase(id);
      pending_.erase(id);
      queued_.erase(id);
      drainMarks_.erase(id);
    }
    OnConnectionEvent(id, 1);
  }
  // Closes id from the peer's side (the close event on this thread).
  void PeerClose(uint64_t id) { DisConnect(id); }

  // Bytes from the peer: a data event now, or once the input is released.
  void Deliver(uint64_t id, const std::string& bytes) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (held_.count(id) != 0) {
        pending_[id] += bytes;
        return;
      }
    }
    OnReceive(id, bytes.data(), static_cast<int>(bytes.size()));
  }
  // Delivers input that waited for a release, if it is released now.
  void Pump(uint64_t id) {
    std::string bytes;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (held_.count(id) != 0) return;
      bytes.swap(pending_[id]);
    }
    if (!bytes.empty()) OnReceive(id, bytes.data(), static_cast<int>(bytes.size()));
  }
  bool InputHeld(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    return held_.count(id) != 0;
  }
  size_t PendingInput(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    return pending_[id].size();
  }

  // Sets the output the network reports queued on id; at or below an
  // armed drain mark, the drain event follows on this thread.
  void SetQueued(uint64_t id, int64_t bytes) {
    bool drained = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      queued_[id] = bytes;
      auto mark = drainMarks_.find(id);
      if (mark != drainMarks_.end() && bytes <= mark->second) {
        drainMarks_.erase(mark);
        drained = true;
      }
    }
    if (drained) OnDrained(id);
  }
  bool DrainArmed(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    return drainMarks_.count(id) != 0;
  }

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
  int HoldInput(uint64_t id, bool hold) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (live_.count(id) == 0) return 0;
    if (hold) {
      held_.insert(id);
    } else {
      held_.erase(id);
    }
    return 1;
  }
  int64_t QueuedOutput(uint64_t id) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (live_.count(id) == 0) return -1;
    return queued_[id];
  }
  int NotifyDrained(uint64_t id, int64_t lowMark) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (live_.count(id) == 0) return 0;
    if (queued_[id] <= lowMark) return 2;
    drainMarks_[id] = lowMark;
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

  static inline CapturingNet* current_ = nullptr;

  NoTasks noTasks_;
  ManualWorkers workers_;
  std::unique_ptr<RequestQueue> queue_;
  ProtocolContext context_;
  ClientLinkTable table_{context_};
  std::mutex lock_;
  std::condition_variable changed_;
  std::set<uint64_t> live_;
  std::set<uint64_t> closed_;
  std::set<uint64_t> held_;
  std::map<uint64_t, std::string> pending_;
  std::map<uint64_t, int64_t> queued_;
  std::map<uint64_t, int64_t> drainMarks_;
  std::map<uint64_t, std::string> sent_;
  bool holdSends_ = false;
  bool sendHeld_ = false;
};

// Feeds bytes to id as one received chunk (or keeps them while the link
// holds its input), through the CapturingNet that lives now.
inline void Deliver(uint64_t id, const std::string& bytes) {
  CapturingNet::current()->Deliver(id, bytes);
}

}  // namespace dirsync

#endif  // DIRSYNC_TESTS_PROTOCOL_CAPTURING_NET_H_
