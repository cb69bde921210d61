// ClientLink: what the server keeps for one open client connection.
//
// A link is created on the connection's open event and leaves the table of
// links on its close event. Whoever works on a link holds a reference of
// its own (a data event, a worker, a drain event), so a link whose close
// event arrives on another thread lives on until that work returns;
// `closed` tells it to stop.
//
// Ownership. A link's frames are handled by one thread at a time, its
// owner, which alone touches the fields marked "owner" below, without a
// lock:
//  - a data event of the connection becomes the owner when no one else is
//    (`owned` was false);
//  - a frame whose work is heavy ("list", "dload") hands the link to the
//    request queue, and the worker that runs it becomes the owner;
//  - an owner that finds too much of the link's output still unsent parks
//    the link; the connection's drain event then becomes the owner;
//  - the owner that runs out of whole frames keeps the rest in inBuffer and
//    lets go (`owned` false).
// While a link is owned by anything but a data event, the connection's
// input is held (the network reads nothing from it), so no data event can
// arrive meanwhile; only the owner changes that hold.
#ifndef DIRSYNC_PROTOCOL_CLIENT_LINK_H_
#define DIRSYNC_PROTOCOL_CLIENT_LINK_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/byte_buffer.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "platform/unique_fd.h"
#include "protocol/protocol_context.h"

namespace dirsync {

struct SyncTask;

// A "list" or "dload" taken from its frame, waiting for a worker; or a
// "wait" waiting for its store to grow, then for a worker to answer it.
struct HeavyRequest {
  enum class Kind { kNone, kList, kDload, kWait };
  Kind kind = Kind::kNone;
  std::string path;  // the "path" text, echoed in the reply
  uint64_t fileRef = 0;
  int64_t pos = 0;
  int32_t version = 0;
  int32_t size = 0;
  int32_t zip = 0;
  int32_t val = 0;  // "wait": echoed in the reply
};

struct ClientLink {
  // context must outlive the link.
  ClientLink(uint64_t id, const ProtocolContext& context);
  ClientLink(const ClientLink&) = delete;
  ClientLink& operator=(const ClientLink&) = delete;

  // Id given by the network library; used for every network call.
  const uint64_t connId;
  // The server's tasks, network, files and workers.
  const ProtocolContext& context;

  // ---- owner ----
  // The client's read position in its task's store.
  uint64_t clientPos = 0;
  // The task the client logged in to; null until a successful "reg".
  SyncTask* task = nullptr;
  // The id of the task's store when the client logged in: positions it
  // sends are positions in that store. Once a compaction replaces the
  // store, the link is closed at its next "list" or "ping", and the client
  // logs in again to learn the new id.
  uint32_t storeId = 0;
  // File kept open for download (not valid when none), its Windows-form
  // path and its file reference number.
  UniqueFd dlFile;
  std::string dlPath;
  uint64_t dlFileRef = 0;
  // Bytes of a frame that has not arrived completely, and what follows it.
  ByteBuffer inBuffer;
  // The heavy request handed to the request queue.
  HeavyRequest request;
  // At least the bytes of output still queued in the network: what the
  // network last reported plus what was sent since.
  uint64_t outputEstimate = 0;
  // Whether the owner holds the connection's input.
  bool inputHeld = false;

  // ---- any thread ----
  // Set once the connection has been closed (by its close event or by a
  // disconnect from this link); frames after that are not handled.
  std::atomic<bool> closed{false};
  // Set by a successful login; read by the login deadline.
  std::atomic<bool> loggedIn{false};
  // Set while some thread owns the link (see above).
  std::atomic<bool> owned{false};

  // drainLock guards the hand-over between an owner that parks the link
  // and the drain event that takes it on.
  Mutex drainLock;
  // The link waits for its drain event, which then owns it.
  bool parked GUARDED_BY(drainLock) = false;
  // The drain event came while the owner was still parking the link.
  bool drainArrived GUARDED_BY(drainLock) = false;
};

// Closes the link's connection and marks the link closed, so that its
// frame loop stops. The close event may run inside this call, so the
// caller touches nothing of the link afterwards but what it holds a
// reference to. Thread safe.
void CloseClientLink(ClientLink& link);

// Whether the store the client logged in to was replaced by a compaction
// (its positions mean nothing in the new one): then logs it and closes
// the link (see CloseClientLink), and the client logs in again. Runs on
// the link's owner.
bool StoreReplaced(ClientLink& link);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_CLIENT_LINK_H_
