// The table of client links: connection id -> ClientLink, and the login
// deadline of each connection (LoginDeadlines): one that has not logged in
// when its time runs out is closed with a log line.
//
// clientLinksLock guards the map only (never held while a frame is
// handled or the network library is called). Whoever works on a link
// holds its own reference to it, so a close event delivered meanwhile on
// another thread removes the link from the table at once but frees it
// only when that work ends.
//
// OnConnectionEvent, OnReceive and OnDrained, given to the network
// library, are plain functions: the library's callbacks carry no context,
// so they reach the table that InstallClientLinkTable made current.
#ifndef DIRSYNC_APP_CLIENT_LINK_TABLE_H_
#define DIRSYNC_APP_CLIENT_LINK_TABLE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "app/login_deadlines.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "protocol/client_link.h"
#include "protocol/protocol_context.h"

namespace dirsync {

class ClientLinkTable {
 public:
  // context must outlive the table.
  explicit ClientLinkTable(const ProtocolContext& context);
  ClientLinkTable(const ClientLinkTable&) = delete;
  ClientLinkTable& operator=(const ClientLinkTable&) = delete;

  // Open (opened != 0): creates the id's link, replacing one already there.
  // Close: removes the id's link, if any. Runs on a network library thread.
  void OnConnectionEvent(uint64_t id, int opened) EXCLUDES(clientLinksLock);
  // Hands a received chunk to the id's link; dropped when the id has none.
  // Runs on a network library thread; never overlaps itself for one id.
  void OnReceive(uint64_t id, const char* data, int length)
      EXCLUDES(clientLinksLock);

  // The drain event of id's link (see frame_feed.h); dropped when the id
  // has none. Runs on a network library thread.
  void OnDrained(uint64_t id) EXCLUDES(clientLinksLock);

  // How long connections opened from now on have to log in. Thread safe.
  void SetLoginTimeout(std::chrono::milliseconds timeout) {
    loginDeadlines_.SetTimeout(timeout);
  }
  // Connections whose login deadline is still running. Thread safe.
  size_t PendingLogins() { return loginDeadlines_.Count(); }

  // The link of id, or null. Thread safe.
  std::shared_ptr<ClientLink> Find(uint64_t id) EXCLUDES(clientLinksLock);
  // Number of links in the table, and their ids. Thread safe.
  size_t Count() EXCLUDES(clientLinksLock);
  std::vector<uint64_t> Ids() EXCLUDES(clientLinksLock);

 private:
  // Closes id's link unless it has logged in (the deadline thread).
  void LoginTimedOut(uint64_t id) EXCLUDES(clientLinksLock);

  const ProtocolContext& context_;
  Mutex clientLinksLock;
  std::unordered_map<uint64_t, std::shared_ptr<ClientLink>> clientLinks
      GUARDED_BY(clientLinksLock);
  // Last, so that its thread ends before the map goes.
  LoginDeadlines loginDeadlines_;
};

// Makes table the one the callbacks below reach (null: none; events are
// then dropped), and returns once no callback runs in the table it
// replaced, which may then be destroyed. Never call it from a callback.
void InstallClientLinkTable(ClientLinkTable* table);

// The callbacks given to KRL_NetListen (and OnDrained to
// KRL_NetNotifyDrained).
void OnConnectionEvent(uint64_t id, int opened);
void OnReceive(uint64_t id, const char* data, int length);
void OnDrained(uint64_t id);

}  // namespace dirsync

#endif  // DIRSYNC_APP_CLIENT_LINK_TABLE_H_
