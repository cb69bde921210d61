#include "protocol/login_handler.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "catalog/sync_task.h"
#include "platform/file_io.h"
#include "platform/log.h"
#include "protocol/client_link.h"
#include "protocol/credentials.h"
#include "protocol/log_text.h"
#include "protocol/reply_builder.h"

namespace dirsync {
namespace {

// The credential line is read into a buffer of this size: at most 1023
// bytes of text and a NUL.
constexpr size_t kCredentialLineSize = 1024;

// The whole value of a text parameter (without its last NUL), escaped for
// a log line.
std::string ParamForLog(const MessageParams& params, ParamSlot slot) {
  const ParamEntry* e = params.slots[slot];
  std::string_view value(reinterpret_cast<const char*>(e->value),
                         static_cast<size_t>(e->length));
  if (!value.empty() && value.back() == '\0') value.remove_suffix(1);
  return EscapeForLog(value);
}

// A stored token with no text before its line end never matches: an empty
// file or an empty first line rejects every token.
bool IsEmptyToken(const std::string& line) {
  const char* text = line.c_str();
  return text[0] == '\0' || (text[0] == '\n' && text[1] == '\0');
}

// Reads the first line of the credential of uid for taskName (both
// checked for use in a file name). False when there is none to read, or
// when the only one is an old-layout file that another configured task
// could claim; that refusal is logged.
bool ReadUserCredential(ClientLink& link, const char* taskName,
                        const char* uid, std::string* line) {
  const CredentialLocation where = LocateCredential(
      link.context.userDirectory, *link.context.tasks, taskName, uid);
  if (where.kind == CredentialLocation::Kind::kAmbiguous) {
    LogPrint("%D Credential %s-%s refused: it could also belong to task %s; "
             "move it to user/%s/%s\n",
             EscapeForLog(taskName).c_str(), EscapeForLog(uid).c_str(),
             EscapeForLog(where.otherTask).c_str(),
             EscapeForLog(taskName).c_str(), EscapeForLog(uid).c_str());
    return false;
  }
  return ReadCredentialLine(where.path, line);
}

}  // namespace

bool IsSafeNameValue(const char* value, size_t length) {
  // The text must end exactly at the value's last byte.
  if (length < 2 || value[length - 1] != '\0') return false;
  std::string_view text(value, length - 1);
  if (text == "." || text == "..") return false;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
  }
  return true;
}

bool ReadCredentialLine(const std::string& path, std::string* line) {
  // Non-blocking, so that a FIFO put there cannot stall a network thread;
  // only a regular file is read.
  UniqueFd fd;
  if (!OpenFile(path, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0, &fd).ok()) {
    return false;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // 1023 bytes of text need at most 2046 bytes of file (each CR LF reads
  // as one LF) and one byte more to see whether a CR is followed by LF.
  char raw[2 * (kCredentialLineSize - 1) + 1];
  size_t got = 0;
  if (!ReadFull(fd.get(), raw, sizeof raw, &got).ok()) return false;

  line->clear();
  for (size_t i = 0; i < got && line->size() < kCredentialLineSize - 1; ++i) {
    char c = raw[i];
    if (c == '\r' && i + 1 < got && raw[i + 1] == '\n') continue;
    line->push_back(c);
    if (c == '\n') break;
  }
  return true;
}

void HandleReg(ClientLink& link, const MessageParams& params,
               ByteBuffer& reply) {
  const char* uid = TextParam(params, kSlotUid);
  const char* token = TextParam(params, kSlotToken);
  const char* taskName = TextParam(params, kSlotPath);
  if (uid == nullptr || token == nullptr || taskName == nullptr) {
    LogPrint("%D Invalid request_reg param.\n");
    return;
  }

  SyncTask* task = link.context.tasks->FindTask(taskName);
  if (task == nullptr) {
    LogPrint("%D Register error: [%s] is not exists!\n",
             ParamForLog(params, kSlotPath).c_str());
    CloseClientLink(link);
    return;
  }
  // A task whose store is not open is not served: an empty catalog would
  // tell clients to delete their copies. Refused like an unknown task, so
  // that following clients keep trying until the store opens.
  if (!task->storeOpen.load(std::memory_order_acquire)) {
    const int error = task->storeError.load(std::memory_order_relaxed);
    LogPrint("%D Register error: [%s] is not served now: its store cannot be "
             "opened (%s)\n",
             ParamForLog(params, kSlotPath).c_str(),
             error != 0 ? std::strerror(error) : "an invalid name");
    CloseClientLink(link);
    return;
  }

  const ParamEntry* uidEntry = params.slots[kSlotUid];
  const ParamEntry* taskEntry = params.slots[kSlotPath];
  std::string line;
  bool readable =
      IsSafeNameValue(uid, static_cast<size_t>(uidEntry->length)) &&
      IsSafeNameValue(taskName, static_cast<size_t>(taskEntry->length)) &&
      ReadUserCredential(link, taskName, uid, &line);
  if (!readable) {
    LogPrint("%D Invalid UserID=%s\n", ParamForLog(params, kSlotUid).c_str());
    CloseClientLink(link);
    return;
  }

  BeginReply(reply, "-reg");
  // The stored token is the line up to its first NUL, as the client's is.
  if (!IsEmptyToken(line) && TokensMatch(token, line.c_str())) {
    int64_t storeSize = 0;
    {
      // The size and id of one store, not of one on each side of a
      // compaction.
      ReaderLock fileLock(&task->store.fileLock);
      storeSize = task->store.storeSize.load();
      link.storeId = task->storeId.load();
    }
    AppendParam(reply, "data", "ok", 0);
    AppendInt64Param(reply, "max", storeSize);
    AppendInt32Param(reply, "ver", static_cast<int32_t>(link.storeId));
    link.task = task;
    link.loggedIn.store(true, std::memory_order_release);
    SendReply(link, reply);
    char remote[1024] = "";
    link.context.net->GetAddr(link.connId, 1, remote, sizeof remote);
    LogPrint("%D UID=%s Remote=%sLogin OK.\n",
             ParamForLog(params, kSlotUid).c_str(), remote);
    return;
  }
  AppendParam(reply, "data", "fail", 0);
  SendReply(link, reply);
  LogPrint("%D Invalid Password.UserID=%s\n",
           ParamForLog(params, kSlotUid).c_str());
  CloseClientLink(link);
}

void HandlePing(ClientLink& link, const MessageParams& params,
                ByteBuffer& reply) {
  if (link.task == nullptr) return;
  if (StoreReplaced(link)) return;
  const uint64_t pos = static_cast<uint64_t>(Int64Param(params, kSlotPos));
  const int32_t val = Int32Param(params, kSlotVal);
  if (link.clientPos < pos) link.clientPos = pos;

  const int64_t storeSize = link.task->store.storeSize.load();
  BeginReply(reply, "pong");
  AppendInt64Param(reply, "max", storeSize);
  AppendInt32Param(reply, "val", val);
  SendReply(link, reply);
  LogPrint("%D pong(svr=%L, client=%L, ping=%d)...\n", storeSize,
           static_cast<int64_t>(link.clientPos), val);
}

}  // namespace dirsync
