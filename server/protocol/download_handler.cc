#include "protocol/download_handler.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "catalog/catalog_record.h"
#include "catalog/entry_links.h"
#include "catalog/record_extension.h"
#include "catalog/sync_task.h"
#include "platform/file_io.h"
#include "platform/log.h"
#include "protocol/client_link.h"
#include "protocol/log_text.h"
#include "protocol/reply_builder.h"
#include "protocol/reply_compress.h"
#include "protocol/thread_scratch.h"

namespace dirsync {
namespace {

void FinishWithError(ClientLink& link, ByteBuffer& reply,
                     const std::string& errorText) {
  // The text may hold a file name; its control characters are escaped in
  // the log, all but the line end that the size text carries.
  std::string_view text(errorText);
  bool lineEnd = !text.empty() && text.back() == '\n';
  if (lineEnd) text.remove_suffix(1);
  LogPrint("%D error: %s%s\n", EscapeForLog(text).c_str(), lineEnd ? "\n" : "");
  AppendParam(reply, "err", errorText.c_str(), 0);
  SendReply(link, reply);
}

// Formats like snprintf into a text of at most kDownloadErrorSize - 1
// characters (a long name is cut).
template <typename... Args>
std::string ErrorText(const char* format, Args... args) {
  char text[kDownloadErrorSize];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// Uncompressed: the file's bytes are read straight into the reply's
// "data", behind "ver", "len" and "zip".
void DloadPlain(ClientLink& link, const HeavyRequest& request,
                ByteBuffer& reply) {
  const size_t shapeEnd = reply.size();  // path, fid, pos
  AppendInt32Param(reply, "ver", request.version);
  AppendInt32Param(reply, "len", 0);
  const size_t lenEnd = reply.size();
  AppendInt32Param(reply, "zip", 0);
  uint8_t* data = BeginOpenParam(reply, "data", static_cast<size_t>(request.size));
  if (data == nullptr) return;  // no memory for the reply: nothing is sent
  DownloadRead read = ReadForDownload(
      link, request.fileRef, static_cast<uint64_t>(request.pos), request.size,
      static_cast<uint32_t>(request.version), data);
  if (read.bytes == 0) {
    TruncateReply(reply, shapeEnd);
    FinishWithError(link, reply, read.errorText);
    return;
  }
  PatchInt32Param(reply, lenEnd, read.bytes);
  FinishOpenParam(reply, data, read.bytes);
  SendReply(link, reply);
}

// Compressed: read into the scratch's readBuffer, compressed straight into
// the reply's "data".
void DloadZipped(ClientLink& link, const HeavyRequest& request,
                 Scratch& scratch) {
  ByteBuffer& reply = scratch.reply;
  ByteBuffer& readBuffer = scratch.readBuffer;
  if (!readBuffer.Reserve(static_cast<size_t>(request.size))) {
    FinishWithError(link, reply, "out of memory.");
    return;
  }
  DownloadRead read = ReadForDownload(
      link, request.fileRef, static_cast<uint64_t>(request.pos), request.size,
      static_cast<uint32_t>(request.version), readBuffer.data());
  if (read.bytes == 0) {
    FinishWithError(link, reply, read.errorText);
    return;
  }
  AppendInt32Param(reply, "ver", request.version);
  const size_t shapeEnd = reply.size();  // path, fid, pos, ver
  AppendInt32Param(reply, "len", read.bytes);
  AppendInt32Param(reply, "zip", request.zip);
  if (!AppendCompressedData(reply, readBuffer.data(),
                            static_cast<size_t>(read.bytes))) {
    TruncateReply(reply, shapeEnd);
    FinishWithError(link, reply, "compress error.");
    return;
  }
  SendReply(link, reply);
}

// Keeps the entry's file open in the link, opening it when the link holds
// another (or none). fileRef is the entry's key, file the reference of the
// file it names (another for a further name of a file with several), which
// the file opened must be. Returns the error text of the reply, empty when
// the file is open.
std::string OpenEntryFile(ClientLink& link, SyncTask& task, uint64_t fileRef,
                          uint64_t file, const std::string& name) {
  if (fileRef == link.dlFileRef && link.dlFile.valid()) return {};
  link.dlFile.reset();
  link.dlFileRef = fileRef;
  link.dlPath = task.rootPath + name;
  UniqueFd openedFile;
  Status opened = link.context.files->OpenForRead(task, file, name, &openedFile);
  if (opened.code() == Status::Code::kMismatch) {
    return ErrorText("file %s is another entry now", name.c_str());
  }
  if (!opened.ok()) {
    // A path longer than the system allows was logged once, when its entry
    // was marked as not carried; older clients ask for it again and again.
    if (opened.error() != 0 && opened.error() != ENAMETOOLONG) {
      LogPrint("%D open file error=%d,%s\n", opened.error(),
               EscapeForLog(link.dlPath).c_str());
    }
    return ErrorText("open file %s fail!", name.c_str());
  }
  link.dlFile = std::move(openedFile);
  return {};
}

// The content of a symbolic link is its target text, read from the link
// itself (never through it) for every range asked for: it is short, and a
// link is not kept open. Runs on the worker that runs the request.
DownloadRead ReadLinkTarget(ClientLink& link, SyncTask& task, uint64_t fileRef,
                            const std::string& name, uint64_t pos, int32_t size,
                            uint8_t* destination) {
  std::string target;
  Status read = link.context.files->ReadLink(task, fileRef, name, &target);
  if (read.code() == Status::Code::kMismatch) {
    return {0, ErrorText("file %s is another entry now", name.c_str())};
  }
  if (!read.ok()) {
    if (read.error() != 0) {
      LogPrint("%D read link error=%d,%s\n", read.error(),
               EscapeForLog(task.rootPath + name).c_str());
    }
    return {0, ErrorText("open file %s fail!", name.c_str())};
  }
  if (pos >= target.size()) return {0, ErrorText("error=%d", 0)};
  size_t got = std::min(target.size() - static_cast<size_t>(pos),
                        static_cast<size_t>(size));
  std::memcpy(destination, target.data() + pos, got);
  return {static_cast<int32_t>(got), {}};
}

}  // namespace

DownloadRead ReadForDownload(ClientLink& link, uint64_t fileRef, uint64_t pos,
                             int32_t size, uint32_t version,
                             uint8_t* destination) {
  SyncTask& task = *link.task;
  uint32_t entryVersion = 0;
  uint64_t file = 0;
  std::string name;
  bool isLink = false;
  {
    ReaderLock lock(&task.catalogLock);
    const CatalogRecord* entry = FindEntry(task, fileRef);
    if (entry == nullptr || !*entry) return {0, "file is not exists!"};
    entryVersion = entry->version();
    file = FileOfEntry(*entry);
    // The name ends at its NUL or at the record's end, whichever is first.
    name = std::string(entry->nameView());
    isLink = ReadExtras(entry->data()).isLink();
  }
  if (entryVersion != version) {
    return {0, ErrorText("server-ver=%d, client-ver=%d, current does not need "
                         "download.",
                         static_cast<int>(entryVersion),
                         static_cast<int>(version))};
  }
  if (size < 0) return {0, ErrorText("error=%d", EINVAL)};
  // A link is checked against the file it names, not a further name's key.
  if (isLink) return ReadLinkTarget(link, task, file, name, pos, size, destination);
  std::string failure = OpenEntryFile(link, task, fileRef, file, name);
  if (!failure.empty()) return {0, failure};
  size_t got = 0;
  Status read = PReadFull(link.dlFile.get(), destination,
                          static_cast<size_t>(size), static_cast<off_t>(pos),
                          &got);
  // A read that failed after some bytes reports those; the client asks
  // again for the rest.
  if (got > 0) return {static_cast<int32_t>(got), {}};
  // Nothing read: the read's error, or 0 at the end of the file.
  return {0, ErrorText("error=%d", read.error())};
}

bool TakeDload(ClientLink& link, const MessageParams& params) {
  if (link.task == nullptr) {
    LogPrint("%D 用户还没有注册.\n");
    CloseClientLink(link);
    return false;
  }
  const char* path = TextParam(params, kSlotPath);
  if (path == nullptr || !HasParamOfSize(params, kSlotFileId, 8) ||
      !HasParamOfSize(params, kSlotPos, 8) ||
      !HasParamOfSize(params, kSlotVer, 4)) {
    LogPrint("%D Invalid request_download_file param.\n");
    return false;
  }
  HeavyRequest& request = link.request;
  request.kind = HeavyRequest::Kind::kDload;
  request.path = path;
  request.fileRef = static_cast<uint64_t>(Int64Param(params, kSlotFileId));
  request.pos = Int64Param(params, kSlotPos);
  request.version = Int32Param(params, kSlotVer);
  request.zip = Int32Param(params, kSlotZip);
  request.size = Int32Param(params, kSlotSize);
  return true;
}

void RunDload(ClientLink& link, const HeavyRequest& request, Scratch& scratch) {
  ByteBuffer& reply = scratch.reply;
  BeginReply(reply, "-dload");
  AppendParam(reply, "path", request.path.c_str(), 0);
  AppendInt64Param(reply, "fid", static_cast<int64_t>(request.fileRef));
  AppendInt64Param(reply, "pos", request.pos);

  if (request.size > kMaxDownloadSize || request.size < 0) {
    FinishWithError(link, reply,
                    ErrorText("Invalid download request size=%d.\n", request.size));
    return;
  }
  if (request.zip != 0) {
    DloadZipped(link, request, scratch);
  } else {
    DloadPlain(link, request, reply);
  }
}

}  // namespace dirsync
