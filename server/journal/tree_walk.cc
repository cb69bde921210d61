#include "journal/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file_io.h"
#include "platform/log.h"

namespace dirsync {
namespace {

constexpr size_t kDirentBufferSize = 64 * 1024;
constexpr int64_t kCtimeMargin = 1000000000;  // ctime's coarse clock lags

int64_t Nanoseconds(const struct statx_timestamp& t) {
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

bool InWindow(int64_t ctime, int64_t lowUsn, int64_t highUsn) {
  if (lowUsn == 0) return true;
  return ctime >= lowUsn - kCtimeMargin && ctime <= highUsn;
}

// Errors that mean the entry vanished while the walk ran.
bool Vanished(int err) {
  return err == ENOENT || err == ESTALE || err == ENOTDIR;
}

}  // namespace

TreeWalk::TreeWalk(EntryResolver* resolver, uint64_t startRef,
                   const Options& options)
    : resolver_(resolver), startRef_(startRef), options_(options) {}

TreeWalk::~TreeWalk() = default;

void TreeWalk::Start(int64_t lowUsn, int64_t highUsn, JournalBatch* out) {
  started_ = true;
  visited_.insert(startRef_);
  toVisit_.push_back(startRef_);
  if (options_.keepMet) met_.sorted.push_back(startRef_);
  if (!options_.reportStart) return;
  UniqueFd fd;
  if (!resolver_->Open(startRef_, O_PATH | O_DIRECTORY, &fd).ok()) return;
  struct statx st;
  bool ok = ::statx(fd.get(), "", AT_EMPTY_PATH, STATX_CTIME, &st) == 0;
  if (ok && InWindow(Nanoseconds(st.stx_ctime), lowUsn, highUsn)) {
    JournalRecord record;
    record.fileRef = startRef_;
    record.directory = true;
    out->records.push_back(std::move(record));
  }
}

bool TreeWalk::Next(int64_t lowUsn, int64_t highUsn, JournalBatch* out,
                    size_t maxRecords) {
  out->records.clear();
  if (ended_) return false;
  if (!started_) Start(lowUsn, highUsn, out);
  while (out->records.size() < maxRecords) {
    if (!dirFd_.valid() && !OpenNextDirectory()) {
      Finish();
      break;
    }
    if (bufferPos_ >= bufferLength_ && !FillBuffer()) {
      CloseDirectory();
      continue;
    }
    // struct linux_dirent64: u64 ino, s64 off, u16 reclen, u8 type, name.
    const unsigned char* entry = buffer_.data() + bufferPos_;
    uint16_t reclen;
    std::memcpy(&reclen, entry + 16, sizeof reclen);
    if (reclen < 20 || reclen > bufferLength_ - bufferPos_) {
      bufferPos_ = bufferLength_;  // a broken chunk: read the next one
      continue;
    }
    bufferPos_ += reclen;
    unsigned char type = entry[18];
    const char* name = reinterpret_cast<const char*>(entry + 19);
    if (strnlen(name, reclen - 19) == reclen - 19u) continue;  // no NUL
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    VisitEntry(name, type, lowUsn, highUsn, out);
  }
  if (options_.rememberNames) {
    // Built once the records stop moving: the names point into them.
    sightings_.clear();
    for (const JournalRecord& r : out->records) {
      if (!r.name.empty()) sightings_.push_back({r.fileRef, r.parentRef, r.name});
    }
    if (!sightings_.empty()) resolver_->RememberAll(sightings_);
  }
  return !out->records.empty();
}

bool TreeWalk::OpenNextDirectory() {
  while (!toVisit_.empty()) {
    uint64_t ref = toVisit_.back();
    toVisit_.pop_back();
    UniqueFd fd;
    Status opened = resolver_->Open(ref, O_RDONLY | O_DIRECTORY, &fd);
    if (!opened.ok()) {
      if (!Vanished(opened.error())) {
        complete_ = false;
        LogPrint("%D walk: cannot open directory %L: %s\n",
                 static_cast<int64_t>(ref), std::strerror(opened.error()));
      }
      continue;
    }
    dirFd_ = std::move(fd);
    dirRef_ = ref;
    bufferPos_ = bufferLength_ = 0;
    if (buffer_.empty()) buffer_.resize(kDirentBufferSize);
    return true;
  }
  return false;
}

void TreeWalk::CloseDirectory() { dirFd_.reset(); }

bool TreeWalk::FillBuffer() {
  long n = RetryOnEintr([&] {
    return ::syscall(SYS_getdents64, dirFd_.get(), buffer_.data(),
                     buffer_.size());
  });
  if (n > 0) {
    bufferPos_ = 0;
    bufferLength_ = static_cast<size_t>(n);
    return true;
  }
  if (n < 0) {
    if (!Vanished(errno)) {
      complete_ = false;
      LogPrint("%D walk: cannot read directory %L: %s\n",
               static_cast<int64_t>(dirRef_), std::strerror(errno));
    }
  }
  return false;
}

void TreeWalk::VisitEntry(const char* name, unsigned char type, int64_t lowUsn,
                          int64_t highUsn, JournalBatch* out) {
  uint64_t ref = 0;
  if (!resolver_->ReferenceOf(dirFd_.get(), name, &ref)) {
    // Gone meanwhile, on another mount, or a handle that does not pack:
    // none of these is an entry of this volume.
    return;
  }
  bool directory = type == DT_DIR;
  int64_t ctime = 0;
  if (type == DT_UNKNOWN || lowUsn != 0) {
    struct statx st;
    if (::statx(dirFd_.get(), name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                STATX_TYPE | STATX_CTIME, &st) != 0) {
      return;
    }
    directory = S_ISDIR(st.stx_mode);
    ctime = Nanoseconds(st.stx_ctime);
  }
  if (options_.keepMet) met_.sorted.push_back(ref);
  if (directory && visited_.insert(ref).second) toVisit_.push_back(ref);
  if (!InWindow(ctime, lowUsn, highUsn)) return;
  JournalRecord record;
  record.fileRef = ref;
  record.parentRef = dirRef_;
  record.name = name;
  record.directory = directory;
  out->records.push_back(std::move(record));
}

void TreeWalk::Finish() {
  ended_ = true;
  CloseDirectory();
  toVisit_.clear();
  visited_.clear();
  std::sort(met_.sorted.begin(), met_.sorted.end());
  met_.sorted.erase(std::unique(met_.sorted.begin(), met_.sorted.end()),
                    met_.sorted.end());
  met_.complete = complete_;
}

}  // namespace dirsync
