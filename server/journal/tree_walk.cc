#include "journal/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

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
  if (options_.readAhead && std::thread::hardware_concurrency() > 1) {
    readAhead_ = std::make_unique<DirectoryReadAhead>(resolver_,
                                                      options_.readAttributes);
    if (!readAhead_->Start()) readAhead_.reset();
  }
  visited_.insert(startRef_);
  toVisit_.push_back(startRef_);
  if (options_.keepMet) met_.sorted.push_back(startRef_);
  if (!options_.reportStart) return;
  UniqueFd fd;
  Status opened = resolver_->Open(startRef_, O_PATH | O_DIRECTORY, &fd);
  if (!opened.ok()) {
    // Reading it below fails the same way and says why.
    return;
  }
  struct statx st;
  Status statted = resolver_->env()->StatAt(fd.get(), "", AT_EMPTY_PATH,
                                            STATX_CTIME, &st);
  if (!statted.ok()) {
    if (!Vanished(statted.error())) MissedSome("stat", startRef_, statted);
    return;
  }
  int64_t ctime = Nanoseconds(st.stx_ctime);
  if (InWindow(ctime, lowUsn, highUsn)) {
    JournalRecord record;
    record.fileRef = startRef_;
    record.directory = true;
    record.changeTime = ctime;
    out->records.push_back(std::move(record));
  }
}

bool TreeWalk::Next(int64_t lowUsn, int64_t highUsn, JournalBatch* out,
                    size_t maxRecords) {
  out->records.clear();
  if (ended_) return false;
  if (!started_) Start(lowUsn, highUsn, out);
  while (out->records.size() < maxRecords) {
    if (!dirFd_.valid() && !OpenNextDirectory(lowUsn)) {
      Finish();
      break;
    }
    if (replayAt_ < replay_.size()) {
      DirectoryReadAhead::Entry& entry = replay_[replayAt_++];
      const unsigned mask = StatMaskFor(entry.type, StatEvery(lowUsn),
                                        options_.readAttributes);
      if (entry.resolved.named.ok() && entry.resolved.statMask != mask) {
        // Read ahead for another window: asked again as the walk asks.
        ResolveEntry(resolver_, dirFd_.get(), entry.name.c_str(), mask,
                     &entry.resolved);
      }
      RecordEntry(entry.name.c_str(), entry.type, entry.resolved, lowUsn,
                  highUsn, out);
      continue;
    }
    if (readAheadEnded_) {
      if (!readAheadFailure_.ok() && !Vanished(readAheadFailure_.error())) {
        MissedSome("read directory", dirRef_, readAheadFailure_);
      }
      CloseDirectory();
      continue;
    }
    if (bufferPos_ >= bufferLength_ && !FillBuffer()) {
      CloseDirectory();
      continue;
    }
    const char* name;
    unsigned char type;
    if (NextDirectoryEntry(buffer_.data(), bufferLength_, &bufferPos_, &name,
                           &type)) {
      VisitEntry(name, type, lowUsn, highUsn, out);
    }
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

void TreeWalk::MissedSome(const char* what, uint64_t ref, const Status& why) {
  complete_ = false;
  // One line per walk: a walk without descriptors would log every
  // directory otherwise.
  if (reportedMisses_++ == 0) {
    LogPrint("%D walk: cannot %s %L: %s; the walk is incomplete\n", what,
             static_cast<int64_t>(ref), std::strerror(why.error()));
  }
}

bool TreeWalk::OpenNextDirectory(int64_t lowUsn) {
  while (!toVisit_.empty()) {
    uint64_t ref = toVisit_.back();
    toVisit_.pop_back();
    UniqueFd fd;
    Status opened;
    DirectoryReadAhead::Directory ahead;
    if (readAhead_ != nullptr && readAhead_->Take(ref, &ahead)) {
      // The walk reads the next directory itself while the read-ahead
      // takes the one after it.
      RequestReadAhead(2, lowUsn);
      opened = std::move(ahead.opened);
      fd = std::move(ahead.fd);
    } else {
      RequestReadAhead(1, lowUsn);
      opened = resolver_->Open(ref, O_RDONLY | O_DIRECTORY, &fd);
    }
    if (!opened.ok()) {
      if (!Vanished(opened.error())) MissedSome("open directory", ref, opened);
      continue;
    }
    dirFd_ = std::move(fd);
    dirRef_ = ref;
    replay_ = std::move(ahead.entries);
    replayAt_ = 0;
    readAheadEnded_ = ahead.ended;
    readAheadFailure_ = std::move(ahead.read);
    bufferPos_ = bufferLength_ = 0;
    if (buffer_.empty()) buffer_.resize(kDirentBufferSize);
    return true;
  }
  return false;
}

void TreeWalk::RequestReadAhead(size_t depth, int64_t lowUsn) {
  if (readAhead_ == nullptr || toVisit_.size() < depth) return;
  readAhead_->Request(toVisit_[toVisit_.size() - depth], StatEvery(lowUsn));
}

void TreeWalk::CloseDirectory() {
  dirFd_.reset();
  replay_.clear();
  replayAt_ = 0;
  readAheadEnded_ = false;
  readAheadFailure_ = Status::OK();
}

bool TreeWalk::FillBuffer() {
  size_t n = 0;
  Status read = resolver_->env()->ReadDirectory(dirFd_.get(), buffer_.data(),
                                                buffer_.size(), &n);
  if (!read.ok()) {
    if (!Vanished(read.error())) MissedSome("read directory", dirRef_, read);
    return false;
  }
  if (n == 0) return false;
  bufferPos_ = 0;
  bufferLength_ = n;
  return true;
}

void TreeWalk::VisitEntry(const char* name, unsigned char type, int64_t lowUsn,
                          int64_t highUsn, JournalBatch* out) {
  ResolvedEntry resolved;
  ResolveEntry(resolver_, dirFd_.get(), name,
               StatMaskFor(type, StatEvery(lowUsn), options_.readAttributes),
               &resolved);
  RecordEntry(name, type, resolved, lowUsn, highUsn, out);
}

void TreeWalk::RecordEntry(const char* name, unsigned char type,
                           const ResolvedEntry& resolved, int64_t lowUsn,
                           int64_t highUsn, JournalBatch* out) {
  const uint64_t ref = resolved.ref;
  const Status& named = resolved.named;
  if (!named.ok()) {
    // Gone meanwhile, on another mount, or a handle that does not pack:
    // none of these is an entry of this volume. Any other failure leaves
    // an entry unseen.
    if (!named.IsNotFound() && named.code() != Status::Code::kMismatch) {
      MissedSome("name an entry of", dirRef_, named);
    }
    return;
  }
  bool directory = type == DT_DIR;
  int64_t ctime = 0;
  uint32_t links = 0;
  const struct statx& st = resolved.st;
  // Walks that keep what they met catch up by change time: they read it
  // for every entry, so that the caller can judge each record itself. A
  // walk that reads attributes reads them in the same call.
  const bool statted = resolved.statMask != 0;
  if (statted) {
    const Status& stat = resolved.stat;
    if (!stat.ok()) {
      if (!Vanished(stat.error())) MissedSome("stat an entry of", dirRef_, stat);
      return;
    }
    directory = S_ISDIR(st.stx_mode);
    ctime = Nanoseconds(st.stx_ctime);
    links = st.stx_nlink;
  }
  if (options_.keepMet) met_.sorted.push_back(ref);
  if (directory && visited_.insert(ref).second) toVisit_.push_back(ref);
  if (!InWindow(ctime, lowUsn, highUsn)) return;
  JournalRecord record;
  record.fileRef = ref;
  record.parentRef = dirRef_;
  record.name = name;
  record.directory = directory;
  record.changeTime = ctime;
  if (statted && options_.readAttributes) {
    const EntryAttributes attributes = AttributesOf(st);
    record.hasAttributes = true;
    record.fileSize = attributes.fileSize;
    record.creationTime = attributes.creationTime;
    record.lastWriteTime = attributes.lastWriteTime;
    record.mode = attributes.mode;
  }
  record.links = links;
  out->records.push_back(std::move(record));
}

void TreeWalk::Finish() {
  ended_ = true;
  CloseDirectory();
  readAhead_.reset();
  toVisit_.clear();
  visited_.clear();
  std::sort(met_.sorted.begin(), met_.sorted.end());
  met_.sorted.erase(std::unique(met_.sorted.begin(), met_.sorted.end()),
                    met_.sorted.end());
  met_.complete = complete_;
}

}  // namespace dirsync
