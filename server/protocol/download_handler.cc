#include "protocol/download_handler.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "protocol/client_link.h"
#include "app/client_link_table.h"
#include "platform/log.h"
#include "platform/drive_map.h"
#include "protocol/log_text.h"
#include "protocol/reply_builder.h"
#include "protocol/reply_compress.h"
#include "catalog/catalog_record.h"
#include "journal/file_handle.h"
#include "catalog/sync_task.h"

namespace dirsync {
namespace {

std::atomic<bool> checkIdentity{true};

// Whether the open file fd is the entry that fileRef names.
bool IsTheEntry(int fd, uint64_t fileRef) {
  if (!checkIdentity.load(std::memory_order_relaxed)) return true;
  struct stat st;
  return ::fstat(fd, &st) == 0 &&
         static_cast<uint32_t>(st.st_ino) == InodeOfReference(fileRef);
}

// Opens the entry's file for reading, resolved strictly below the task's
// root directory. Returns the descriptor, or -1 with errno set.
int OpenBelowRoot(const SyncTask& task, const std::string& relativeName) {
  std::string rootDir;
  if (!Drives().ToLinuxPath(task.rootPath, &rootDir)) {
    errno = ENOENT;
    return -1;
  }
  int root = ::open(rootDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return -1;

  std::string relative = relativeName;
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  struct open_how how = {};
  // Non-blocking, so that a FIFO cannot stall the network thread; it is
  // refused below like every file that is not a regular one.
  how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  // The catalog records a symbolic link as an entry of its own (its size
  // is that of the link), never what it points to: serving the target
  // would hand out content of another size and version than the record
  // the client asks by. No link is followed, at the end of the path or
  // on the way.
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  int fd = static_cast<int>(
      ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how));
  int openError = errno;
  ::close(root);
  if (fd < 0) {
    errno = openError;
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    openError = errno;
    ::close(fd);
    errno = openError;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  return fd;
}

void FinishWithError(ClientLink& link, const char* errorText) {
  // The text may hold a file name; its control characters are escaped in
  // the log, all but the line end that the size text carries.
  std::string_view text(errorText);
  bool lineEnd = !text.empty() && text.back() == '\n';
  if (lineEnd) text.remove_suffix(1);
  LogPrint("%D error: %s%s\n", EscapeForLog(text).c_str(), lineEnd ? "\n" : "");
  AppendParam(link.reply, "err", errorText, 0);
  SendReply(link);
}

// Uncompressed: the file's bytes are read straight into the reply's
// "data", behind "ver", "len" and "zip".
void DloadPlain(ClientLink& link, uint64_t fileRef, int64_t pos, int32_t size,
                int32_t version) {
  ByteBuffer& reply = link.reply;
  const size_t shapeEnd = reply.size();  // path, fid, pos
  AppendInt32Param(reply, "ver", version);
  AppendInt32Param(reply, "len", 0);
  const size_t lenEnd = reply.size();
  AppendInt32Param(reply, "zip", 0);
  uint8_t* data = BeginOpenParam(reply, "data", static_cast<size_t>(size));
  if (data == nullptr) return;  // no memory for the reply: nothing is sent
  char errorText[kDownloadErrorSize] = "";
  const int n = ReadForDownload(link, fileRef, static_cast<uint64_t>(pos), size,
                                static_cast<uint32_t>(version), errorText, data);
  if (n == 0) {
    if (errorText[0] == '\0') {
      std::snprintf(errorText, sizeof errorText, "error=%d", errno);
    }
    TruncateReply(reply, shapeEnd);
    FinishWithError(link, errorText);
    return;
  }
  PatchInt32Param(reply, lenEnd, n);
  FinishOpenParam(reply, data, n);
  SendReply(link);
}

// Compressed: read into readBuffer, compressed into zipBuffer, appended.
void DloadZipped(ClientLink& link, uint64_t fileRef, int64_t pos, int32_t size,
                 int32_t version, int32_t zip) {
  char errorText[kDownloadErrorSize] = "";
  if (!link.readBuffer.Reserve(static_cast<size_t>(size))) {
    FinishWithError(link, "out of memory.");
    return;
  }
  const int n = ReadForDownload(link, fileRef, static_cast<uint64_t>(pos), size,
                                static_cast<uint32_t>(version), errorText,
                                link.readBuffer.data());
  if (n == 0) {
    if (errorText[0] == '\0') {
      std::snprintf(errorText, sizeof errorText, "error=%d", errno);
    }
    FinishWithError(link, errorText);
    return;
  }
  ByteBuffer& reply = link.reply;
  AppendInt32Param(reply, "ver", version);
  size_t zippedLength = 0;
  if (!CompressForReply(link.readBuffer.data(), static_cast<size_t>(n),
                        link.zipBuffer, &zippedLength)) {
    FinishWithError(link, "compress error.");
    return;
  }
  AppendInt32Param(reply, "len", n);
  AppendInt32Param(reply, "zip", zip);
  AppendParam(reply, "data", link.zipBuffer.data(), static_cast<int32_t>(zippedLength));
  SendReply(link);
}

}  // namespace

void SetDownloadChecksIdentity(bool on) { checkIdentity.store(on); }

int ReadFileAt(int fd, uint64_t pos, uint8_t* buffer, int count) {
  errno = 0;
  if (count < 0) {
    errno = EINVAL;
    return 0;
  }
  ssize_t r;
  do {
    r = ::pread(fd, buffer, static_cast<size_t>(count), static_cast<off_t>(pos));
  } while (r < 0 && errno == EINTR);
  return r > 0 ? static_cast<int>(r) : 0;
}

int ReadForDownload(ClientLink& link, uint64_t fileRef, uint64_t pos,
                    int32_t size, uint32_t version, char* errorText,
                    uint8_t* destination) {
  SyncTask& task = *link.task;
  uint32_t entryVersion = 0;
  std::string name;
  {
    std::shared_lock<std::shared_mutex> lock(task.catalogLock);
    const CatalogRecord* entry = FindEntry(task, fileRef);
    if (entry == nullptr || !*entry) {
      std::snprintf(errorText, kDownloadErrorSize, "file is not exists!");
      return 0;
    }
    entryVersion = entry->version();
    // The name ends at its NUL or at the record's end, whichever is first.
    const int32_t room = entry->length() - kNameOffset;
    name.assign(entry->name(),
                room > 0 ? ::strnlen(entry->name(), static_cast<size_t>(room)) : 0);
  }
  if (entryVersion != version) {
    std::snprintf(errorText, kDownloadErrorSize,
                  "server-ver=%d, client-ver=%d, current does not need download.",
                  static_cast<int>(entryVersion), static_cast<int>(version));
    return 0;
  }
  if (fileRef != link.dlFileRef || link.dlHandle < 0) {
    if (link.dlHandle >= 0) ::close(link.dlHandle);
    link.dlHandle = -1;
    link.dlFileRef = fileRef;
    link.dlPath = task.rootPath + name;
    link.dlHandle = OpenBelowRoot(task, name);
    if (link.dlHandle < 0 && errno != 0) {
      LogPrint("%D open file error=%d,%s\n", errno,
               EscapeForLog(link.dlPath).c_str());
    }
    if (link.dlHandle >= 0 && !IsTheEntry(link.dlHandle, fileRef)) {
      ::close(link.dlHandle);
      link.dlHandle = -1;
      std::snprintf(errorText, kDownloadErrorSize,
                    "file %s is another entry now", name.c_str());
      return 0;
    }
  }
  if (link.dlHandle < 0) {
    // snprintf cuts a long name to the buffer.
    std::snprintf(errorText, kDownloadErrorSize, "open file %s fail!",
                  name.c_str());
    return 0;
  }
  return ReadFileAt(link.dlHandle, pos, destination, size);
}

void HandleDload(ClientLink& link, const MessageParams& params) {
  if (link.task == nullptr) {
    LogPrint("%D 用户还没有注册.\n");
    CloseClientLink(link);
    return;
  }
  const char* path = TextParam(params, kSlotPath);
  if (path == nullptr || !HasParamOfSize(params, kSlotFileId, 8) ||
      !HasParamOfSize(params, kSlotPos, 8) ||
      !HasParamOfSize(params, kSlotVer, 4)) {
    LogPrint("%D Invalid request_download_file param.\n");
    return;
  }
  const uint64_t fileRef = static_cast<uint64_t>(Int64Param(params, kSlotFileId));
  const int64_t pos = Int64Param(params, kSlotPos);
  const int32_t version = Int32Param(params, kSlotVer);
  const int32_t zip = Int32Param(params, kSlotZip);
  const int32_t size = Int32Param(params, kSlotSize);

  ByteBuffer& reply = link.reply;
  BeginReply(reply, "-dload");
  AppendParam(reply, "path", path, 0);
  AppendInt64Param(reply, "fid", static_cast<int64_t>(fileRef));
  AppendInt64Param(reply, "pos", pos);

  char errorText[kDownloadErrorSize] = "";
  if (size > kMaxDownloadSize || size < 0) {
    std::snprintf(errorText, sizeof errorText,
                  "Invalid download request size=%d.\n", size);
    FinishWithError(link, errorText);
    return;
  }
  if (zip != 0) {
    DloadZipped(link, fileRef, pos, size, version, zip);
  } else {
    DloadPlain(link, fileRef, pos, size, version);
  }
}

void HandleDloadReply(ClientLink&, const MessageParams&) {}

}  // namespace dirsync
