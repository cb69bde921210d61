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

namespace dirsync {
namespace {

void SendError(ClientLink& link, const char* text) {
  AppendParam(link.reply, "err", text, 0);
  SendReply(link);
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
    const CatalogRecord* entry = FindEntry(task, record::FileRef(r));
    if (entry != nullptr && *entry && entry->version() > record::Version(r)) {
      record::SetState(r, StateStale);
    }
    p += static_cast<size_t>(length);
  }
  return p;
}

namespace {

// The reply's error for a read of the store that yielded no bytes: the
// read's errno, or 0 when the file simply ended.
void SendReadError(ClientLink& link, const Status& read) {
  char text[64];
  std::snprintf(text, sizeof text, "read error=%d.", read.error());
  SendError(link, text);
}

void SendDamageError(ClientLink& link, uint64_t pos) {
  char text[96];
  std::snprintf(text, sizeof text, "damaged record at %" PRIu64 ".", pos);
  SendError(link, text);
}

// Damaged bytes [pos, pos + length) of the store, sent as one filler
// record of that length.
void ListFiller(ClientLink& link, uint64_t pos, size_t length, int32_t zip) {
  if (length < static_cast<size_t>(kRecordHeaderSize)) {
    SendDamageError(link, pos);
    return;
  }
  if (!link.readBuffer.Resize(length)) {
    SendError(link, "out of memory.");
    return;
  }
  uint8_t* filler = link.readBuffer.data();
  std::memset(filler, 0, length);
  record::SetLength(filler, static_cast<int32_t>(length));
  link.clientPos = pos + length;
  AppendInt32Param(link.reply, "len", static_cast<int32_t>(length));
  AppendInt32Param(link.reply, "zip", zip);
  if (zip == 0) {
    AppendParam(link.reply, "data", filler, static_cast<int32_t>(length));
  } else {
    size_t zippedLength = 0;
    if (!CompressForReply(filler, length, link.zipBuffer, &zippedLength)) {
      SendError(link, "compress error.");
      return;
    }
    AppendParam(link.reply, "data", link.zipBuffer.data(),
                static_cast<int32_t>(zippedLength));
  }
  SendReply(link);
}

// Uncompressed: the store bytes are read straight into the reply's "data".
void ListPlain(ClientLink& link, SyncTask& task, uint64_t pos, size_t count) {
  ByteBuffer& reply = link.reply;
  const size_t shapeEnd = reply.size();  // path, pos, max
  AppendInt32Param(reply, "len", 0);
  const size_t lenEnd = reply.size();
  AppendInt32Param(reply, "zip", 0);
  uint8_t* data = BeginOpenParam(reply, "data", count);
  if (data == nullptr) return;  // no memory for the reply: nothing is sent
  size_t got = 0;
  Status read = ReadStoreAt(task.store, pos, data, count, &got);
  if (got == 0) {
    TruncateReply(reply, shapeEnd);
    SendReadError(link, read);
    return;
  }
  const size_t n = MarkStaleRecords(task, data, got);
  if (n == 0) {
    TruncateReply(reply, shapeEnd);
    SendDamageError(link, pos);
    return;
  }
  link.clientPos = pos + n;
  PatchInt32Param(reply, lenEnd, static_cast<int32_t>(n));
  FinishOpenParam(reply, data, static_cast<int32_t>(n));
  SendReply(link);
}

// Compressed: read into readBuffer, compressed into zipBuffer, appended.
void ListZipped(ClientLink& link, SyncTask& task, uint64_t pos, size_t count,
                int32_t zip) {
  if (!link.readBuffer.Resize(kBlockSize)) {
    SendError(link, "out of memory.");
    return;
  }
  size_t got = 0;
  Status read = ReadStoreAt(task.store, pos, link.readBuffer.data(), count, &got);
  if (got == 0) {
    SendReadError(link, read);
    return;
  }
  const size_t n = MarkStaleRecords(task, link.readBuffer.data(), got);
  if (n == 0) {
    SendDamageError(link, pos);
    return;
  }
  link.clientPos = pos + n;
  size_t zippedLength = 0;
  if (!CompressForReply(link.readBuffer.data(), n, link.zipBuffer, &zippedLength)) {
    SendError(link, "compress error.");
    return;
  }
  AppendInt32Param(link.reply, "len", static_cast<int32_t>(n));
  AppendInt32Param(link.reply, "zip", zip);
  AppendParam(link.reply, "data", link.zipBuffer.data(), static_cast<int32_t>(zippedLength));
  SendReply(link);
}

}  // namespace

void HandleList(ClientLink& link, const MessageParams& params) {
  SyncTask* task = link.task;
  if (task == nullptr) {
    LogPrint("%D 用户还没有注册.\n");
    CloseClientLink(link);
    return;
  }
  const char* path = TextParam(params, kSlotPath);
  if (path == nullptr || !HasParamOfSize(params, kSlotPos, 8)) {
    LogPrint("%D Invalid request_reg param.\n");
    return;
  }
  const uint64_t pos = static_cast<uint64_t>(Int64Param(params, kSlotPos));
  const int32_t zip = Int32Param(params, kSlotZip);
  // Everything below storeSize has been written in full; bytes past it
  // may still be on their way to the file.
  const int64_t storeSize = task->store.storeSize.load();

  ByteBuffer& reply = link.reply;
  BeginReply(reply, "-list");
  AppendParam(reply, "path", path, 0);
  AppendInt64Param(reply, "pos", static_cast<int64_t>(pos));
  AppendInt64Param(reply, "max", storeSize);
  if (storeSize < 0 || static_cast<uint64_t>(storeSize) <= pos) {
    SendReply(link);
    return;
  }

  const uint64_t blockRest = static_cast<uint64_t>(kBlockSize) - pos % kBlockSize;
  const uint64_t written = static_cast<uint64_t>(storeSize) - pos;
  size_t count = static_cast<size_t>(blockRest < written ? blockRest : written);
  if (const DamagedSpan* damaged = DamagedSpanFrom(task->store, pos)) {
    const uint64_t start = static_cast<uint64_t>(damaged->start);
    if (pos >= start) {
      const uint64_t end = static_cast<uint64_t>(damaged->end);
      ListFiller(link, pos, static_cast<size_t>(std::min<uint64_t>(end - pos, count)),
                 zip);
      return;
    }
    count = static_cast<size_t>(std::min<uint64_t>(count, start - pos));
  }
  if (zip != 0) {
    ListZipped(link, *task, pos, count, zip);
  } else {
    ListPlain(link, *task, pos, count);
  }
}

}  // namespace dirsync
