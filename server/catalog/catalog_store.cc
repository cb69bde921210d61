#include "catalog/catalog_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "catalog/entry_links.h"
#include "catalog/record_extension.h"
#include "catalog/store_compaction.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace dirsync {
namespace {

// Staged bytes above this size are given back after a commit, so a task
// does not keep a large batch's memory for the rest of the run.
constexpr size_t kKeptStagedCapacity = 1 << 20;
// A large write (the initial build, a big batch) is sealed every this many
// bytes as well, so that damage in it costs at most about this much.
constexpr int64_t kLongestSpan = 64 * 1024;
// Names of entries newly marked "not carried" kept for the log between two
// commits; further ones in the same batch are marked but not logged.
constexpr size_t kLoggedNotCarried = 1024;

uint32_t Crc(const uint8_t* bytes, size_t count) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  // zlib takes at most 4 GiB per call; a span is at most one block.
  crc = ::crc32(crc, bytes, static_cast<uInt>(count));
  return static_cast<uint32_t>(crc);
}

// Gives a live entry the "not carried" item exactly when its name is
// longer than the store's nameRoom; a further name of a file keeps its
// link trailer. A name newly marked waits in store.newlyNotCarried.
// Whether MarkCarriage would change the record: a live entry whose mark
// disagrees with its name's length.
bool MarkOutOfStep(const CatalogStore& store, const CatalogRecord& entry) {
  const uint8_t state = entry.state();
  if (!IsLiveFileState(state) && state != StateDirectory) return false;
  const bool beyond = entry.nameView().size() > store.nameRoom;
  return ReadExtras(entry.data()).notCarried != beyond;
}

void MarkCarriage(CatalogStore& store, CatalogRecord& entry) {
  if (!MarkOutOfStep(store, entry)) return;
  EntryExtras extras = ReadExtras(entry.data());
  const bool beyond = !extras.notCarried;
  extras.notCarried = beyond;
  const bool linked = HasLinkTrailer(entry.data());
  const uint64_t file = FileOfEntry(entry);
  WriteExtras(entry, extras);
  if (linked) StampLinkTrailer(entry, file);
  if (beyond && store.newlyNotCarried.size() < kLoggedNotCarried) {
    // Its beginning and its end: deep paths share long beginnings.
    std::string_view name = entry.nameView();
    std::string shown(name);
    if (name.size() > 200) {
      shown = std::string(name.substr(0, 100)) + "..." +
              std::string(name.substr(name.size() - 100));
    }
    store.newlyNotCarried.push_back(std::move(shown));
  }
}

// One line per entry newly marked "not carried"; called with no lock held.
void LogNotCarried(CatalogStore& store) {
  for (const std::string& name : store.newlyNotCarried) {
    LogPrint("%D store %s: not carried (its path is longer than the system "
             "allows): %s\n",
             store.path.c_str(), name.c_str());
  }
  store.newlyNotCarried.clear();
}

// Returns the file to storeSize after a failed write, so that the file
// holds exactly the bytes of the writes that succeeded. A cut that fails
// is owed: the next write makes it first.
Status CutBack(CatalogStore& store) {
  if (!store.fd.valid()) return Status::OK();
  const int64_t size = store.storeSize.load(std::memory_order_relaxed);
  Status cut = store.env->Truncate(store.fd.get(), size);
  if (!cut.ok() && !store.cutOwed && store.logsFailures) {
    LogPrint("%D store %s: cutting back to %L bytes failed: %s\n",
             store.path.c_str(), size, cut.ToString().c_str());
  }
  store.cutOwed = !cut.ok();
  return cut;
}

// Writes bytes at storeSize; on success storeSize covers them. A failure
// is logged when it begins an episode of failures, and the first success
// after one is logged as the recovery.
Status WriteAtEnd(CatalogStore& store, const std::vector<uint8_t>& bytes) {
  const int64_t size = store.storeSize.load(std::memory_order_relaxed);
  // Bytes a failed write left behind must not outlast a shorter write.
  Status written = store.cutOwed ? CutBack(store) : Status::OK();
  if (written.ok()) written = WriteAt(store, size, bytes.data(), bytes.size());
  if (!written.ok()) {
    // A store that never opened was reported once, when it failed to open.
    if (store.fd.valid() && !store.writeFailing && store.logsFailures) {
      LogPrint("%D store %s: writing %d bytes at %L failed: %s; the changes "
               "are kept and written again\n",
               store.path.c_str(), static_cast<int>(bytes.size()), size,
               written.ToString().c_str());
      store.writeFailing = true;
      store.failingSinceTick = GetTickCount64();
    }
    CutBack(store).IgnoreError();  // a failed cut is owed and logged
    return written;
  }
  store.storeSize.store(size + static_cast<int64_t>(bytes.size()),
                        std::memory_order_release);
  if (StoreGrowthListener* listener =
          store.growthListener.load(std::memory_order_acquire)) {
    listener->StoreGrew();
  }
  if (store.writeFailing && store.logsFailures) {
    store.writeFailing = false;
    LogPrint("%D store %s: writing works again after %d s\n", store.path.c_str(),
             static_cast<int>((GetTickCount64() - store.failingSinceTick) / 1000));
  }
  return Status::OK();
}

// Fills a task's catalog from the records of its store file. Runs with the
// task's catalogLock held exclusively (LoadStore).
class CatalogLoader : public StoreVisitor {
 public:
  explicit CatalogLoader(SyncTask& task) : task_(task) {}

  void OnRecord(int64_t offset, const uint8_t* r) override {
    lastRecordEnd_ = offset + record::Length(r);
    int64_t usn = record::Usn(r);
    if (usn > task_.lastUsn) task_.lastUsn = usn;
    uint8_t state = record::State(r);
    if (state == StateHeader) {
      task_.storeId.store(record::Version(r), std::memory_order_relaxed);
    } else if (state != StateFiller) {
      TakeEntry(r);
    }
    task_.store.recordCount = record::Sequence(r);
  }

  void OnDamage(int64_t offset, int64_t end, const char* what) override {
    damage_.push_back({offset, end});
    whats_.emplace_back(what);
  }

  void OnReadError(int64_t offset, const Status& error) override {
    readFailed_ = true;
    LogPrint("%D store %s: reading at offset %L failed: %s\n",
             task_.store.path.c_str(), offset, error.ToString().c_str());
  }

  // Where the last damage begins when no sound record follows it in the
  // file, else -1.
  int64_t DamageAtTail() const {
    if (damage_.empty()) return -1;
    return damage_.back().start >= lastRecordEnd_ ? damage_.back().start : -1;
  }
  std::vector<DamagedSpan>& damage() { return damage_; }
  const std::string& what(size_t i) const { return whats_[i]; }
  bool readFailed() const { return readFailed_; }

 private:
  // The record becomes the entry of its file reference number, in a block
  // as large as the largest record seen for it.
  void TakeEntry(const uint8_t* r) {
    task_.catalogLock.AssertHeld();
    int32_t length = record::Length(r);
    CatalogRecord& entry = task_.entries[record::FileRef(r)];
    if (!entry || entry.length() < length) {
      entry = CatalogRecord::Allocate(length);
    }
    int32_t blockSize = entry.length();
    std::memcpy(entry.data(), r, static_cast<size_t>(length));
    // Nothing of an earlier, longer record stays behind this one's bytes,
    // where it could be read as this record's extension.
    std::memset(entry.data() + length, 0, static_cast<size_t>(blockSize - length));
    record::SetLength(entry.data(), blockSize);
    // A further name of a file: its trailer moves to the end of the
    // block, and the file knows the entry again.
    if (HasLinkTrailer(r)) {
      uint64_t file = FileOfRecord(r);
      if (blockSize != length) StampLinkTrailer(entry, file);
      EnterLink(task_, file, record::FileRef(r));
    }
    if (IsDirectoryState(entry.state())) {
      EnterDirectory(task_, entry.fileRef(), entry.parentRef());
    }
  }

  SyncTask& task_;
  int64_t lastRecordEnd_ = 0;
  std::vector<DamagedSpan> damage_;
  std::vector<std::string> whats_;
  bool readFailed_ = false;
};

// Whether the bytes from offset to the end of the file (size) are what a
// write cut short by a crash leaves behind: well-formed records followed
// by too few bytes for a record, a record running past the end of the
// file, or nothing but zeros. Records that are all whole up to the end are
// no torn write, even when their seal does not match: that is damage.
bool IsTornTail(const CatalogStore& store, int64_t offset, int64_t size) {
  int64_t count = size - offset;
  if (count < kRecordHeaderSize) return true;
  if (count > kBlockSize) return false;
  std::unique_ptr<uint8_t[]> tail(new uint8_t[static_cast<size_t>(count)]);
  size_t got = 0;
  if (!store.env->PRead(store.fd.get(), tail.get(), static_cast<size_t>(count),
                        offset, &got).ok() ||
      got != static_cast<size_t>(count)) {
    return false;
  }
  int64_t p = 0;
  while (count - p >= kRecordHeaderSize) {
    int32_t length = record::Length(tail.get() + p);
    if (length >= kRecordHeaderSize && length <= count - p) {
      p += length;
      continue;
    }
    if (length >= kRecordHeaderSize) return true;  // runs past the end
    break;
  }
  if (p == count) return false;
  for (int64_t i = p; i < count; ++i) {
    if (tail[static_cast<size_t>(i)] != 0) return false;
  }
  return true;
}

// The file offset at which the next record of that mode lands.
int64_t NextPosition(const CatalogStore& store, bool buffered) {
  return store.storeSize.load(std::memory_order_relaxed) +
         static_cast<int64_t>(store.buffer.size()) +
         (buffered ? 0 : static_cast<int64_t>(store.staged.size()));
}

// Appends the seal of the bytes written since the last seal to the
// buffer (buffered) or the staged bytes, when there are any. With
// toBlockEnd, or when it would leave 1 to 66 bytes of its block, it takes
// the rest of the block.
void StageSeal(CatalogStore& store, bool buffered, bool toBlockEnd) {
  const int64_t at = NextPosition(store, buffered);
  if (store.spanStart >= at) return;
  std::vector<uint8_t>& out = buffered ? store.buffer : store.staged;
  const int64_t base = at - static_cast<int64_t>(out.size());
  // The span lies in out: every write ends sealed, and a direct record
  // seals the buffer before it is staged.
  assert(store.spanStart >= base);
  assert(at % kBlockSize != 0);  // a record always leaves room for a seal
  const int64_t free = kBlockSize - at % kBlockSize;
  assert(free >= kRecordHeaderSize);
  int64_t length = kRecordHeaderSize;
  if (toBlockEnd || free - length <= kRecordHeaderSize) length = free;
  const size_t from = static_cast<size_t>(store.spanStart - base);
  const uint32_t crc = Crc(out.data() + from, out.size() - from);
  const size_t put = out.size();
  out.resize(put + static_cast<size_t>(length), 0);
  uint8_t* seal = out.data() + put;
  record::SetLength(seal, static_cast<int32_t>(length));
  record::SetSequence(seal, ++store.recordCount);
  record::SetFileRef(seal, kSealTag);
  record::SetParentRef(seal, static_cast<uint64_t>(store.spanStart));
  record::SetVersion(seal, crc);
  record::SetFileSize(seal, static_cast<uint64_t>(at - store.spanStart));
  store.spanStart = at + length;
}

// Closes the block when a record of length bytes does not fit in the rest
// of it with room for a seal behind it: with the seal of the span when
// the block holds unsealed records, else with a filler. Returns whether
// it did.
bool StageFillerBefore(CatalogStore& store, int64_t length, bool buffered) {
  const int64_t at = NextPosition(store, buffered);
  const int64_t inBlock = at % kBlockSize;
  const int64_t free = kBlockSize - inBlock;
  if (inBlock == 0 || free >= length + kRecordHeaderSize) return false;
  if (store.spanStart < at) {
    StageSeal(store, buffered, true);
    return true;
  }
  // After a seal the rest of the block is 0 or more than 66 bytes.
  assert(free > kRecordHeaderSize);
  std::vector<uint8_t>& out = buffered ? store.buffer : store.staged;
  size_t put = out.size();
  out.resize(put + static_cast<size_t>(free), 0);
  record::SetLength(out.data() + put, static_cast<int32_t>(free));
  record::SetSequence(out.data() + put, ++store.recordCount);
  store.spanStart = at + free;
  return true;
}

// A buffered write: a seal or filler that fills the buffer to a whole
// block is flushed before the record is added, so every flush writes
// whole blocks. With task, the record is one of its entries, staged under
// its catalogLock (exclusive).
Status WriteBuffered(CatalogStore& store, CatalogRecord& record,
                     SyncTask* task) {
  assert(store.staged.empty());  // buffered and direct writes never mix
  // The mark may change the record's length, which the filler below
  // depends on. Only the writer changes entries, so it may look without
  // the lock.
  if (MarkOutOfStep(store, record)) {
    if (task != nullptr) {
      WriterLock lock(&task->catalogLock);
      MarkCarriage(store, record);
    } else {
      MarkCarriage(store, record);
    }
    LogNotCarried(store);
  }
  if (StageFillerBefore(store, record.length(), true) &&
      store.buffer.size() >= static_cast<size_t>(kBlockSize)) {
    Status flushed = FlushBuffer(store, false);
    if (!flushed.ok()) return flushed;
  }
  if (task != nullptr) {
    WriterLock lock(&task->catalogLock);
    StageRecord(store, record, true);
  } else {
    StageRecord(store, record, true);
  }
  if (store.buffer.size() >= static_cast<size_t>(kBlockSize)) {
    return FlushBuffer(store, false);
  }
  return Status::OK();
}

// A new store (or one with nothing whole left) begins with its header: it
// waits in the buffer until the first flush or direct write, which takes
// it to the file as record 1. Only memory changes, so nothing can fail.
void StartNewStore(SyncTask& task) {
  const uint32_t storeId = static_cast<uint32_t>(std::time(nullptr));
  task.storeId.store(storeId, std::memory_order_relaxed);
  CatalogRecord header = CatalogRecord::Allocate(kRecordHeaderSize);
  header.set_state(StateHeader);
  header.set_version(storeId);
  header.set_fileSize(kSealedFromTheStart);
  WriteRecord(task.store, header, true).IgnoreError();
}

// Why a failure to open a store happened, as an errno for the log lines.
int OpenErrorOf(const Status& failure) {
  if (failure.error() != 0) return failure.error();
  // A name that cannot be a file name: SyncTask::storeError says 0.
  return failure.code() == Status::Code::kInvalidArgument ? 0 : EIO;
}

// ---- the walk ----

const char* MalformedAt(const uint8_t* piece, size_t p, size_t n, char* what,
                        size_t whatSize) {
  if (p + kRecordHeaderSize > n) {
    std::snprintf(what, whatSize, "%d bytes too few for a record",
                  static_cast<int>(n - p));
    return what;
  }
  int32_t length = record::Length(piece + p);
  if (length < kRecordHeaderSize) {
    std::snprintf(what, whatSize, "record length %d below %d", length,
                  kRecordHeaderSize);
    return what;
  }
  if (static_cast<size_t>(length) > n - p) {
    std::snprintf(what, whatSize, "record of length %d runs past %s", length,
                  n == static_cast<size_t>(kBlockSize) ? "its block"
                                                       : "the file's end");
    return what;
  }
  return nullptr;
}

// Whether the seal at q (well formed) matches the bytes it covers, all of
// which lie in the piece: returns the piece offset of its span's start,
// or -1.
int64_t MatchingSpan(const uint8_t* piece, size_t q, int64_t base) {
  const uint8_t* seal = piece + q;
  int64_t start = static_cast<int64_t>(record::ParentRef(seal)) - base;
  if (start < 0 || start > static_cast<int64_t>(q)) return -1;
  if (record::FileSize(seal) != q - static_cast<uint64_t>(start)) return -1;
  if (Crc(piece + start, q - static_cast<size_t>(start)) != record::Version(seal)) {
    return -1;
  }
  return start;
}

// After a malformed record at p: the start of the first span behind p that
// a matching seal vouches for, its records chaining up to the seal, or n
// when there is none in the piece.
size_t ResumeAfterDamage(const uint8_t* piece, size_t p, size_t n,
                         int64_t base) {
  uint8_t tag[8];
  StoreLE64(tag, kSealTag);
  size_t from = p + 1;
  while (from + kRecordHeaderSize <= n) {
    const void* hit = ::memmem(piece + from + record::kFileRef,
                               n - from - record::kFileRef, tag, sizeof tag);
    if (hit == nullptr) break;
    size_t q = static_cast<size_t>(static_cast<const uint8_t*>(hit) - piece) -
               record::kFileRef;
    from = q + 1;
    char unused[96];
    if (MalformedAt(piece, q, n, unused, sizeof unused) != nullptr ||
        !record::IsSeal(piece + q)) {
      continue;
    }
    int64_t start = MatchingSpan(piece, q, base);
    if (start <= static_cast<int64_t>(p)) continue;
    // The records of the span must lead from its start to the seal.
    size_t r = static_cast<size_t>(start);
    while (r < q && MalformedAt(piece, r, q, unused, sizeof unused) == nullptr) {
      r += static_cast<size_t>(record::Length(piece + r));
    }
    if (r == q) return static_cast<size_t>(start);
  }
  return n;
}

}  // namespace

bool IsValidStoreName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) ==
         std::string_view::npos;
}

std::string StoreFilePath(std::string_view directory, std::string_view name) {
  assert(IsValidStoreName(name));
  std::string path(directory);
  path += name;
  path += ".db";
  return path;
}

namespace {

// Opens the store file; on failure says why in *failure without logging.
Status OpenStoreFile(SyncTask& task, const StoreOptions& options, UniqueFd* fd,
                     struct stat* st) {
  CatalogStore& store = task.store;
  store.env = options.env;
  if (!IsValidStoreName(task.name)) {
    return Status::InvalidArgument("the task name cannot be a file name");
  }
  // A directory that cannot be made shows up as the open's failure below.
  options.env->CreateDirectories(options.directory).IgnoreError();
  store.path = StoreFilePath(options.directory, task.name);
  Status opened =
      options.env->OpenFile(store.path, O_RDWR | O_CREAT | O_DSYNC, 0644, fd);
  if (opened.ok()) opened = options.env->Stat(fd->get(), st);
  if (opened.ok() && !S_ISREG(st->st_mode)) {
    opened = Status::IOError("not a regular file",
                             S_ISDIR(st->st_mode) ? EISDIR : EINVAL);
  }
  // A compaction cut short before its rename left its new file behind; the
  // store is the old file, whole.
  if (opened.ok()) options.env->Unlink(CompactionPathFor(store.path)).IgnoreError();
  return opened;
}

void LogOpenFailure(const SyncTask& task, const Status& failure) {
  if (!IsValidStoreName(task.name)) {
    LogPrint("%D %s -> no store: the task name cannot be a file name\n",
             task.name.c_str());
    return;
  }
  LogPrint("%D %s -> cannot open store %s: %s; the task is not served until "
           "it opens\n",
           task.name.c_str(), task.store.path.c_str(),
           failure.error() != 0 ? std::strerror(failure.error())
                                : failure.context().c_str());
}

// Reads the opened store back into the task's catalog. See LoadStore. A
// read that fails leaves the task as it was, closed; returns why.
Status ReadBack(SyncTask& task, UniqueFd fd, const struct stat& st) {
  CatalogStore& store = task.store;
  store.fd = std::move(fd);
  store.storeSize.store(st.st_size, std::memory_order_release);

  WriterLock lock(&task.catalogLock);
  if (st.st_size == 0) StartNewStore(task);
  CatalogLoader loader(task);
  WalkStore(store.fd.get(), loader, store.env);
  if (loader.readFailed()) {
    // Logged by the loader. Half a catalog would read as deletions.
    task.entries.clear();
    task.dirIndex.clear();
    task.dirParent.clear();
    task.lastUsn = 0;
    task.storeId.store(0, std::memory_order_relaxed);
    store.fd.reset();
    store.buffer.clear();
    store.recordCount = 0;
    store.storeSize.store(0, std::memory_order_release);
    return Status::IOError("reading the store", EIO);
  }
  // A write cut short by a crash leaves a torn record at the end. Nothing
  // of it was ever counted in storeSize before the crash, so no client has
  // seen it; it is cut off, or the records appended behind it could never
  // be read back.
  std::vector<DamagedSpan>& damage = loader.damage();
  const int64_t tail = loader.DamageAtTail();
  if (tail >= 0 && IsTornTail(store, tail, st.st_size)) {
    Status cut = store.env->Truncate(store.fd.get(), tail);
    if (cut.ok()) {
      LogPrint("%D store %s: cut off a torn write of %L bytes at offset %L\n",
               store.path.c_str(), st.st_size - tail, tail);
      store.storeSize.store(tail, std::memory_order_release);
      damage.pop_back();
      if (tail == 0) StartNewStore(task);
    } else {
      LogPrint("%D store %s: cutting off a torn write at %L failed: %s\n",
               store.path.c_str(), tail, cut.ToString().c_str());
    }
  }
  for (size_t i = 0; i < damage.size(); ++i) {
    LogPrint("%D damaged store %s at offset %L: %s; %L bytes up to %L left "
             "out, the catalog is rebuilt against the tree\n",
             store.path.c_str(), damage[i].start, loader.what(i).c_str(),
             damage[i].end - damage[i].start, damage[i].end);
  }
  if (!damage.empty()) task.needsRebuild.store(true, std::memory_order_relaxed);
  // A skipped record inside a write whose seal then fails gives two spans
  // that overlap: "list" wants them apart and in order.
  std::sort(damage.begin(), damage.end(),
            [](const DamagedSpan& a, const DamagedSpan& b) { return a.start < b.start; });
  store.damaged.clear();
  for (const DamagedSpan& span : damage) {
    if (!store.damaged.empty() && span.start <= store.damaged.back().end) {
      store.damaged.back().end = std::max(store.damaged.back().end, span.end);
    } else {
      store.damaged.push_back(span);
    }
  }
  store.spanStart = store.storeSize.load(std::memory_order_relaxed);
  // Entries whose last record says they left the tree are known to clients
  // by that record; memory holds the live ones only.
  std::vector<uint64_t> gone;
  for (const auto& [ref, entry] : task.entries) {
    if (!IsLiveFileState(entry.state()) && entry.state() != StateDirectory) {
      gone.push_back(ref);
    }
  }
  for (uint64_t ref : gone) ForgetEntry(task, ref);
  const int files = static_cast<int>(task.entries.size());
  const int64_t lastUsn = task.lastUsn;
  lock.Unlock();

  LogPrint("%D %s -> LastUsn=%L, files=%d\n", task.name.c_str(), lastUsn,
           files);
  task.storeError.store(0, std::memory_order_relaxed);
  task.storeOpen.store(true, std::memory_order_release);
  return Status::OK();
}

}  // namespace

Status LoadStore(SyncTask& task, const StoreOptions& options) {
  UniqueFd fd;
  struct stat st {};
  Status opened = OpenStoreFile(task, options, &fd, &st);
  if (opened.ok()) opened = ReadBack(task, std::move(fd), st);
  if (!opened.ok()) {
    task.storeError.store(OpenErrorOf(opened), std::memory_order_relaxed);
    LogOpenFailure(task, opened);
  }
  return opened;
}

bool OpenTaskStore(SyncTask& task, const StoreOptions& options) {
  if (task.storeOpen.load(std::memory_order_acquire)) return true;
  UniqueFd fd;
  struct stat st {};
  Status opened = OpenStoreFile(task, options, &fd, &st);
  if (opened.ok()) opened = ReadBack(task, std::move(fd), st);
  if (!opened.ok()) {
    const int error = OpenErrorOf(opened);
    if (task.storeError.exchange(error, std::memory_order_relaxed) != error) {
      LogOpenFailure(task, opened);
    }
    return false;
  }
  LogPrint("%D %s -> store %s opens now\n", task.name.c_str(),
           task.store.path.c_str());
  return true;
}

void WalkStore(int fd, StoreVisitor& visitor, Env* env) {
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kBlockSize]);
  char what[96];
  // Whether the store is written with seals: its header says so, or a
  // matching seal was met. Records wait for their seal before they are
  // handed over; in a store with seals, those a malformed record cuts off
  // from their seal are lost with it, in one without they are taken as
  // they are.
  bool sealed = false;
  std::vector<size_t> waiting;  // records of the open span, by piece offset
  for (int64_t base = 0;; base += kBlockSize) {
    size_t n = 0;
    Status read = env->PRead(fd, piece.get(), kBlockSize, base, &n);
    if (!read.ok()) {
      visitor.OnReadError(base + static_cast<int64_t>(n), read);
      return;
    }
    if (n == 0) return;
    const uint8_t* bytes = piece.get();
    auto handOver = [&] {
      for (size_t at : waiting) {
        visitor.OnRecord(base + static_cast<int64_t>(at), bytes + at);
      }
      waiting.clear();
    };

    size_t p = 0;
    while (p < n) {
      if (MalformedAt(bytes, p, n, what, sizeof what) != nullptr) {
        size_t lost = p;
        if (sealed && !waiting.empty()) {
          lost = waiting.front();
        } else {
          handOver();
        }
        waiting.clear();
        size_t resume = ResumeAfterDamage(bytes, p, n, base);
        visitor.OnDamage(base + static_cast<int64_t>(lost),
                         base + static_cast<int64_t>(resume), what);
        p = resume;
        continue;
      }
      const uint8_t* r = bytes + p;
      const int32_t length = record::Length(r);
      if (record::IsSeal(r)) {
        int64_t start = MatchingSpan(bytes, p, base);
        if (start >= 0) {
          sealed = true;
          handOver();
          visitor.OnRecord(base + static_cast<int64_t>(p), r);
        } else {
          // What the seal covers is damaged. Records before the span it
          // names (when that can be told) are not its concern.
          int64_t claimed = static_cast<int64_t>(record::ParentRef(r)) - base;
          size_t from = p;
          std::vector<size_t> before;
          for (size_t at : waiting) {
            if (claimed >= 0 && static_cast<int64_t>(at) < claimed) {
              before.push_back(at);
            } else if (from == p) {
              from = at;
            }
          }
          waiting = std::move(before);
          handOver();
          visitor.OnDamage(base + static_cast<int64_t>(from),
                           base + static_cast<int64_t>(p) + length,
                           "the seal does not match the records it covers");
        }
        p += static_cast<size_t>(length);
        continue;
      }
      if (std::memchr(r + kNameOffset, 0,
                      static_cast<size_t>(length - kNameOffset)) == nullptr) {
        // The length is sound, so the walk goes on behind this record.
        visitor.OnDamage(base + static_cast<int64_t>(p),
                         base + static_cast<int64_t>(p) + length,
                         "record name without its NUL, skipped");
      } else if (record::State(r) == StateHeader) {
        // The header names the store to its clients: it is taken at once,
        // so that damage in the write that follows it cannot make the
        // store look like another one.
        if (record::FileSize(r) == kSealedFromTheStart) sealed = true;
        handOver();
        visitor.OnRecord(base + static_cast<int64_t>(p), r);
      } else {
        waiting.push_back(p);
      }
      p += static_cast<size_t>(length);
    }
    // Records no seal covers (written before seals were, or by a writer
    // without them) are taken as they are.
    handOver();
    if (n < static_cast<size_t>(kBlockSize)) return;
  }
}

const DamagedSpan* DamagedSpanFrom(const CatalogStore& store, uint64_t pos) {
  auto it = std::upper_bound(
      store.damaged.begin(), store.damaged.end(), pos,
      [](uint64_t at, const DamagedSpan& span) {
        return at < static_cast<uint64_t>(span.end);
      });
  return it == store.damaged.end() ? nullptr : &*it;
}

void StageRecord(CatalogStore& store, CatalogRecord& record, bool buffered) {
  MarkCarriage(store, record);
  assert(record.length() >= kRecordHeaderSize &&
         record.length() <= kBlockSize - kRecordHeaderSize);
  // A direct record lands behind the buffer, which is sealed first so that
  // its bytes stay where they are.
  if (!buffered) StageSeal(store, true, false);
  StageFillerBefore(store, record.length(), buffered);
  std::vector<uint8_t>& out = buffered ? store.buffer : store.staged;
  record.set_sequence(++store.recordCount);
  out.insert(out.end(), record.data(), record.data() + record.length());
  // After every record the rest of its block leaves room for a seal.
  assert(kBlockSize - NextPosition(store, buffered) % kBlockSize >=
         kRecordHeaderSize);
  if (NextPosition(store, buffered) - store.spanStart >= kLongestSpan) {
    StageSeal(store, buffered, false);
  }
}

Status CommitStaged(CatalogStore& store) {
  LogNotCarried(store);
  if (store.staged.empty()) return Status::OK();
  StageSeal(store, false, false);
  Status written = Status::OK();
  if (!store.buffer.empty()) written = FlushBuffer(store, true);
  if (written.ok()) {
    // A new store's header, which waits in the buffer, reaches the file
    // before anything staged behind it.
    assert(store.buffer.empty());
    written = WriteAtEnd(store, store.staged);
  }
  store.staged.clear();
  if (store.staged.capacity() > kKeptStagedCapacity) {
    std::vector<uint8_t>().swap(store.staged);
  }
  if (!written.ok()) {
    // The staged bytes are gone; the buffer, if it could not be written,
    // keeps its bytes and its seal.
    store.spanStart = store.storeSize.load(std::memory_order_relaxed) +
                      static_cast<int64_t>(store.buffer.size());
  }
  return written;
}

Status WriteRecord(CatalogStore& store, CatalogRecord& record, bool buffered) {
  if (buffered) return WriteBuffered(store, record, nullptr);
  StageRecord(store, record, false);
  return CommitStaged(store);
}

Status WriteMarker(CatalogStore& store, int64_t usn, uint8_t state,
                   uint32_t versionField, bool buffered) {
  CatalogRecord marker = CatalogRecord::Allocate(kRecordHeaderSize);
  marker.set_usn(usn);
  marker.set_state(state);
  marker.set_version(versionField);
  return WriteRecord(store, marker, buffered);
}

Status WriteEntry(SyncTask& task, CatalogRecord& entry, bool buffered) {
  if (buffered) return WriteBuffered(task.store, entry, &task);
  {
    WriterLock lock(&task.catalogLock);
    StageRecord(task.store, entry, false);
  }
  return CommitStaged(task.store);
}

Status FlushBuffer(CatalogStore& store, bool releaseMemory) {
  if (store.buffer.empty()) return Status::OK();
  StageSeal(store, true, false);
  Status written = WriteAtEnd(store, store.buffer);
  if (!written.ok()) return written;
  store.buffer.clear();
  if (releaseMemory) std::vector<uint8_t>().swap(store.buffer);
  return Status::OK();
}

Status WriteAt(CatalogStore& store, int64_t offset, const uint8_t* bytes,
               size_t count) {
  if (!store.fd.valid()) return Status::IOError("store not open");
  Status written = store.env->PWrite(store.fd.get(), bytes, count, offset);
  if (written.ok()) written = store.env->SyncData(store.fd.get());
  return written;
}

Status SyncStore(CatalogStore& store) {
  if (!store.fd.valid()) return Status::OK();
  return store.env->SyncData(store.fd.get());
}

Status ReadStoreAt(const CatalogStore& store, uint64_t pos, uint8_t* buffer,
                   size_t count, size_t* got) {
  *got = 0;
  if (!store.fd.valid()) return Status::IOError("store not open", EBADF);
  return store.env->PRead(store.fd.get(), buffer, count,
                          static_cast<off_t>(pos), got);
}

}  // namespace dirsync
