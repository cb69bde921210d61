// ClientLink: what the server keeps for one open client connection.
//
// A link is created on the connection's open event and leaves the table of
// links on its close event. The table and a running data event share
// ownership, so a link whose close event arrives on another thread while
// one of its frames is being handled lives on until that data event
// returns; `closed` tells the frame loop to stop.
//
// Thread safety: one connection's data events never overlap, so every
// field but `closed` is used by one thread at a time without a lock.
#ifndef DIRSYNC_PROTOCOL_CLIENT_LINK_H_
#define DIRSYNC_PROTOCOL_CLIENT_LINK_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/byte_buffer.h"
#include "platform/unique_fd.h"
#include "protocol/message_params.h"
#include "protocol/protocol_context.h"

namespace dirsync {

struct SyncTask;

// Room reserved for reassembling frames, so that the large frames of the
// protocol are put together without repeated growth.
constexpr size_t kInBufferReserve = 4 * 1024 * 1024;

struct ClientLink {
  // context must outlive the link.
  ClientLink(uint64_t id, const ProtocolContext& context);
  ClientLink(const ClientLink&) = delete;
  ClientLink& operator=(const ClientLink&) = delete;

  // Id given by the network library; used for every send and disconnect.
  const uint64_t connId;
  // The server's tasks, network and files.
  const ProtocolContext& context;
  // The client's read position in its task's store.
  uint64_t clientPos = 0;
  // The task the client logged in to; null until a successful "reg".
  SyncTask* task = nullptr;
  // File kept open for download (not valid when none), its Windows-form
  // path and its file reference number.
  UniqueFd dlFile;
  std::string dlPath;
  uint64_t dlFileRef = 0;
  // Bytes of a frame that has not arrived completely, and what follows it.
  ByteBuffer inBuffer;
  // Scratch space for file contents and listings.
  ByteBuffer readBuffer;
  // The outgoing message being built.
  ByteBuffer reply;
  // Output of compression.
  ByteBuffer zipBuffer;
  // The parsed form of the frame being handled.
  MessageParams params;
  // Set once the connection has been closed (by its close event or by a
  // disconnect from this link); frames after that are not handled. Thread
  // safe.
  std::atomic<bool> closed{false};
  // Set while a data event feeds the link: the network library never runs
  // two of one connection at once, and the unlocked fields above rely on
  // that.
  std::atomic<bool> feeding{false};
};

// Closes the link's connection and marks the link closed, so that its
// frame loop stops. The close event may run inside this call, so the
// caller touches nothing of the link afterwards but what it holds a
// reference to. Thread safe.
void CloseClientLink(ClientLink& link);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_CLIENT_LINK_H_
