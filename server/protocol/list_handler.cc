#include "protocol/list_handler.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "catalog/catalog_record.h"
#include "catalog/catalog_store.h"
#include "catalog/sync_task.h"
#include "platform/log.h"
#include "protocol/client_link.h"
#include "protocol/reply_builder.h"
#include "protocol/reply_compress.h"
#include "protocol/thread_scratch.h"

namespace dirsync {
namespace {

void SendError(ClientLink& link, ByteBuffer& reply, const char* text) {
  AppendParam(reply, "err", text, 0);
  SendReply(link, reply);
}

}  // namespace

size_t MarkStaleRecords(SyncTask& task, uint8_t* bytes, size_t n) {
  ReaderLock lock(&task.catalogLock);
  size_t p = 0;
  while (p < n) {
    if (n - p < static_cast<size_t>(kRecordHeaderSize)) return p;
    uint8_t* r = bytes + p;
    const int32_t length = record::Length(r);
    if (length < kRecordHeaderSize || static_cast<size_t>(length) > n - p) {
      return p;
    }
    // Fillers, markers and seals are no entries.
    if (record::State(r) == StateFiller) {
      p += static_cast<size_t>(length);
      continue;
    }
    const uint8_t state = record::State(r);
    const CatalogRecord* entry = FindEntry(task, record::FileRef(r));
    if (entry != nullptr && *entry) {
      // A later record of the entry follows: a newer version, or, for a
      // reference used again after its entry left, a later sequence.
      if (entry->version() > record::Version(r) ||
          entry->sequence() > record::Sequence(r)) {
        record::SetState(r, StateStale);
      }
    } else if (entry == nullptr && state != StateHeader &&
               state != StateDeleted && state != StateDirDeleted) {
      // The entry left the tree and was forgotten: its departure is told
      // by a later record, which stays as it is.
      record::SetState(r, StateStale);
    }
    p += static_cast<size_t>(length);
  }
  return p;
}

namespace {

// What ReadListed found.
struct ListedBytes {
  size_t got = 0;     // bytes read
  size_t whole = 0;   // of which whole records, overtaken ones marked
  Status read;        // the read's failure, if any
  bool replaced = false;  // the store is not the one the client knows
};

// Reads count bytes of the store at pos into out and marks the records the
// catalog has overtaken, with the store's file held (no compaction puts
// another file in place meanwhile).
ListedBytes ReadListed(ClientLink& link, SyncTask& task, uint64_t pos,
                       size_t count, uint8_t* out) {
  ListedBytes listed;
  ReaderLock fileLock(&task.store.fileLock);
  if (task.storeId.load(std::memory_order_relaxed) != link.storeId) {
    listed.replaced = true;
    return listed;
  }
  listed.read = ReadStoreAt(task.store, pos, out, count, &listed.got);
  if (listed.got > 0) listed.whole = MarkStaleRecords(task, out, listed.got);
  return listed;
}

// The reply's error for a read of the store that yielded no bytes: the
// read's errno, or 0 when the file simply ended.
void SendReadError(ClientLink& link, ByteBuffer& reply, const Status& read) {
  char text[64];
  std::snprintf(text, sizeof text, "read error=%d.", read.error());
  SendError(link, reply, text);
}

void SendDamageError(ClientLink& link, ByteBuffer& reply, uint64_t pos) {
  char text[96];
  std::snprintf(text, sizeof text, "damaged record at %" PRIu64 ".", pos);
  SendError(link, reply, text);
}

// Damaged bytes [pos, pos + length) of the store, sent as one filler
// record of that length.
void ListFiller(ClientLink& link, uint64_t pos, size_t length, int32_t zip,
                Scratch& scratch) {
  ByteBuffer& reply = scratch.reply;
  if (length < static_cast<size_t>(kRecordHeaderSize)) {
    SendDamageError(link, reply, pos);
    return;
  }
  ByteBuffer& readBuffer = scratch.readBuffer;
  if (!readBuffer.Resize(length)) {
    SendError(link, reply, "out of memory.");
    return;
  }
  uint8_t* filler = readBuffer.data();
  std::memset(filler, 0, length);
  record::SetLength(filler, static_cast<int32_t>(length));
  link.clientPos = pos + length;
  AppendInt32Param(reply, "len", static_cast<int32_t>(length));
  AppendInt32Param(reply, "zip", zip);
  if (zip == 0) {
    AppendParam(reply, "data", filler, static_cast<int32_t>(length));
  } else if (!AppendCompressedData(reply, filler, length)) {
    SendError(link, reply, "compress error.");
    return;
  }
  SendReply(link, reply);
}

// Uncompressed: the store bytes are read straight into the reply's "data".
void ListPlain(ClientLink& link, SyncTask& task, uint64_t pos, size_t count,
               ByteBuffer& reply) {
  const size_t shapeEnd = reply.size();  // path, pos, max
  AppendInt32Param(reply, "len", 0);
  const size_t lenEnd = reply.size();
  AppendInt32Param(reply, "zip", 0);
  uint8_t* data = BeginOpenParam(reply, "data", count);
  if (data == nullptr) return;  // no memory for the reply: nothing is sent
  ListedBytes listed = ReadListed(link, task, pos, count, data);
  if (listed.replaced) {
    StoreReplaced(link);
    return;
  }
  if (listed.got == 0) {
    TruncateReply(reply, shapeEnd);
    SendReadError(link, reply, listed.read);
    return;
  }
  const size_t n = listed.whole;
  if (n == 0) {
    TruncateReply(reply, shapeEnd);
    SendDamageError(link, reply, pos);
    return;
  }
  link.clientPos = pos + n;
  PatchInt32Param(reply, lenEnd, static_cast<int32_t>(n));
  FinishOpenParam(reply, data, static_cast<int32_t>(n));
  SendReply(link, reply);
}

// Compressed: read into the scratch's readBuffer, compressed straight into
// the reply's "data".
void ListZipped(ClientLink& link, SyncTask& task, uint64_t pos, size_t count,
                int32_t zip, Scratch& scratch) {
  ByteBuffer& reply = scratch.reply;
  ByteBuffer& readBuffer = scratch.readBuffer;
  if (!readBuffer.Resize(kBlockSize)) {
    SendError(link, reply, "out of memory.");
    return;
  }
  ListedBytes listed = ReadListed(link, task, pos, count, readBuffer.data());
  if (listed.replaced) {
    StoreReplaced(link);
    return;
  }
  if (listed.got == 0) {
    SendReadError(link, reply, listed.read);
    return;
  }
  const size_t n = listed.whole;
  if (n == 0) {
    SendDamageError(link, reply, pos);
    return;
  }
  link.clientPos = pos + n;
  const size_t shapeEnd = reply.size();  // path, pos, max
  AppendInt32Param(reply, "len", static_cast<int32_t>(n));
  AppendInt32Param(reply, "zip", zip);
  if (!AppendCompressedData(reply, readBuffer.data(), n)) {
    TruncateReply(reply, shapeEnd);
    SendError(link, reply, "compress error.");
    return;
  }
  SendReply(link, reply);
}

}  // namespace

bool TakeList(ClientLink& link, const MessageParams& params) {
  if (link.task == nullptr) {
    LogPrint("%D 用户还没有注册.\n");
    CloseClientLink(link);
    return false;
  }
  const char* path = TextParam(params, kSlotPath);
  if (path == nullptr || !HasParamOfSize(params, kSlotPos, 8)) {
    LogPrint("%D Invalid request_reg param.\n");
    return false;
  }
  HeavyRequest& request = link.request;
  request.kind = HeavyRequest::Kind::kList;
  request.path = path;
  request.pos = Int64Param(params, kSlotPos);
  request.zip = Int32Param(params, kSlotZip);
  return true;
}

void RunList(ClientLink& link, const HeavyRequest& request, Scratch& scratch) {
  SyncTask& task = *link.task;
  const uint64_t pos = static_cast<uint64_t>(request.pos);
  // Everything below storeSize has been written in full; bytes past it
  // may still be on their way to the file. Size and id are read together;
  // a compaction after this is caught by the read (ReadListed).
  int64_t storeSize = 0;
  bool replaced = false;
  {
    ReaderLock fileLock(&task.store.fileLock);
    replaced = task.storeId.load(std::memory_order_relaxed) != link.storeId;
    storeSize = task.store.storeSize.load();
  }
  // Positions in a store that a compaction replaced mean nothing now.
  if (replaced && StoreReplaced(link)) return;

  ByteBuffer& reply = scratch.reply;
  BeginReply(reply, "-list");
  AppendParam(reply, "path", request.path.c_str(), 0);
  AppendInt64Param(reply, "pos", request.pos);
  AppendInt64Param(reply, "max", storeSize);
  if (storeSize < 0 || static_cast<uint64_t>(storeSize) <= pos) {
    SendReply(link, reply);
    return;
  }

  const uint64_t blockRest = static_cast<uint64_t>(kBlockSize) - pos % kBlockSize;
  const uint64_t written = static_cast<uint64_t>(storeSize) - pos;
  size_t count = static_cast<size_t>(blockRest < written ? blockRest : written);
  if (const DamagedSpan* damaged = DamagedSpanFrom(task.store, pos)) {
    const uint64_t start = static_cast<uint64_t>(damaged->start);
    if (pos >= start) {
      const uint64_t end = static_cast<uint64_t>(damaged->end);
      ListFiller(link, pos, static_cast<size_t>(std::min<uint64_t>(end - pos, count)),
                 request.zip, scratch);
      return;
    }
    count = static_cast<size_t>(std::min<uint64_t>(count, start - pos));
  }
  if (request.zip != 0) {
    ListZipped(link, task, pos, count, request.zip, scratch);
  } else {
    ListPlain(link, task, pos, count, reply);
  }
}

}  // namespace dirsync
