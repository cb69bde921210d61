// The table of client links: connection id -> ClientLink.
//
// clientLinksLock guards the map only (never held while a frame is
// handled or the network library is called). A data event holds its own
// reference to the link, so a close event delivered meanwhile on another
// thread removes the link from the table at once but frees it only when
// the data event ends.
//
// OnConnectionEvent and OnReceive, given to KRL_NetListen, are plain
// functions: the library's callbacks carry no context, so they reach the
// table that InstallClientLinkTable made current.
#ifndef DIRSYNC_APP_CLIENT_LINK_TABLE_H_
#define DIRSYNC_APP_CLIENT_LINK_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "protocol/client_link.h"
#include "protocol/protocol_context.h"

namespace dirsync {

class ClientLinkTable {
 public:
  // context must outlive the table.
  explicit ClientLinkTable(const ProtocolContext& context) : context_(context) {}
  ClientLinkTable(const ClientLinkTable&) = delete;
  ClientLinkTable& operator=(const ClientLinkTable&) = delete;

  // Open (opened != 0): creates the id's link, replacing one already there.
  // Close: removes the id's link, if any. Runs on a network library thread.
  void OnConnectionEvent(uint64_t id, int opened) EXCLUDES(clientLinksLock);
  // Hands a received chunk to the id's link; dropped when the id has none.
  // Runs on a network library thread; never overlaps itself for one id.
  void OnReceive(uint64_t id, const char* data, int length)
      EXCLUDES(clientLinksLock);

  // The link of id, or null. Thread safe.
  std::shared_ptr<ClientLink> Find(uint64_t id) EXCLUDES(clientLinksLock);
  // Number of links in the table. Thread safe.
  size_t Count() EXCLUDES(clientLinksLock);

 private:
  const ProtocolContext& context_;
  Mutex clientLinksLock;
  std::unordered_map<uint64_t, std::shared_ptr<ClientLink>> clientLinks
      GUARDED_BY(clientLinksLock);
};

// Makes table the one the callbacks below reach (null: none; events are
// then dropped), and returns once no callback runs in the table it
// replaced, which may then be destroyed. Never call it from a callback.
void InstallClientLinkTable(ClientLinkTable* table);

// The callbacks given to KRL_NetListen.
void OnConnectionEvent(uint64_t id, int opened);
void OnReceive(uint64_t id, const char* data, int length);

}  // namespace dirsync

#endif  // DIRSYNC_APP_CLIENT_LINK_TABLE_H_
