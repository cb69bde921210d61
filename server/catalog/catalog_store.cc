#include "catalog/catalog_store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/log.h"

namespace dirsync {
namespace {

// Staged bytes above this size are given back after a commit, so a task
// does not keep a large batch's memory for the rest of the run.
constexpr size_t kKeptStagedCapacity = 1 << 20;

// Returns the file to storeSize after a failed write, so that the file
// holds exactly the bytes of the writes that succeeded.
void CutBack(CatalogStore& store) {
  if (!store.fd.valid()) return;
  const int64_t size = store.storeSize.load(std::memory_order_relaxed);
  Status cut = store.env->Truncate(store.fd.get(), size);
  if (!cut.ok()) {
    LogPrint("%D store %s: cutting back to %L bytes failed: %s\n",
             store.path.c_str(), size, cut.ToString().c_str());
  }
}

// Writes bytes at storeSize; on success storeSize covers them.
Status WriteAtEnd(CatalogStore& store, const std::vector<uint8_t>& bytes) {
  const int64_t size = store.storeSize.load(std::memory_order_relaxed);
  Status written = WriteAt(store, size, bytes.data(), bytes.size());
  if (!written.ok()) {
    // A store that never opened was reported once, when it failed to open.
    if (store.fd.valid()) {
      LogPrint("%D store %s: writing %d bytes at %L failed: %s\n",
               store.path.c_str(), static_cast<int>(bytes.size()), size,
               written.ToString().c_str());
    }
    CutBack(store);
    return written;
  }
  store.storeSize.store(size + static_cast<int64_t>(bytes.size()),
                        std::memory_order_release);
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

  void OnDamage(int64_t offset, const char* what) override {
    if (lastDamage_ < 0 || offset > lastDamage_) lastDamage_ = offset;
    LogPrint("%D damaged store %s at offset %L: %s\n",
             task_.store.path.c_str(), offset, what);
  }

  void OnReadError(int64_t offset, const Status& error) override {
    LogPrint("%D store %s: reading at offset %L failed: %s\n",
             task_.store.path.c_str(), offset, error.ToString().c_str());
  }

  // Where the last damage was met when no well-formed record follows it
  // in the file, else -1.
  int64_t DamageAtTail() const {
    return lastDamage_ >= lastRecordEnd_ ? lastDamage_ : -1;
  }

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
    record::SetLength(entry.data(), blockSize);
    if (IsDirectoryState(entry.state())) {
      EnterDirectory(task_, entry.fileRef(), entry.parentRef());
    }
  }

  SyncTask& task_;
  int64_t lastRecordEnd_ = 0;
  int64_t lastDamage_ = -1;
};

// Whether the bytes from offset to the end of the file (size) are what a
// write cut short by a crash leaves behind: too few bytes for a record, a
// record running past the end of the file, or nothing but zeros.
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
  int32_t length = record::Length(tail.get());
  if (length >= kRecordHeaderSize && length > count) return true;
  for (int64_t i = 0; i < count; ++i) {
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

// Appends the filler that ends the block when a record of length bytes
// does not fit in the rest of it. Returns whether it did.
bool StageFillerBefore(CatalogStore& store, int64_t length, bool buffered) {
  int64_t inBlock = NextPosition(store, buffered) % kBlockSize;
  int64_t free = kBlockSize - inBlock;
  if (inBlock == 0 || free >= length) return false;
  std::vector<uint8_t>& out = buffered ? store.buffer : store.staged;
  size_t at = out.size();
  out.resize(at + static_cast<size_t>(free), 0);
  record::SetLength(out.data() + at, static_cast<int32_t>(free));
  record::SetSequence(out.data() + at, ++store.recordCount);
  return true;
}

// A buffered write: a filler that fills the buffer to a whole block is
// flushed before the record is added, so every flush writes whole blocks.
// With task, the record is one of its entries, staged under its
// catalogLock (exclusive).
Status WriteBuffered(CatalogStore& store, CatalogRecord& record,
                     SyncTask* task) {
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
  WriteMarker(task.store, 0, StateHeader, storeId, true).IgnoreError();
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

Status LoadStore(SyncTask& task, const StoreOptions& options) {
  CatalogStore& store = task.store;
  store.env = options.env;
  if (!IsValidStoreName(task.name)) {
    LogPrint("%D %s -> no store: the task name cannot be a file name\n",
             task.name.c_str());
    return Status::InvalidArgument("task name " + task.name);
  }
  // A directory that cannot be made shows up as the open's failure below.
  options.env->CreateDirectories(options.directory).IgnoreError();
  store.path = StoreFilePath(options.directory, task.name);
  UniqueFd fd;
  Status opened =
      options.env->OpenFile(store.path, O_RDWR | O_CREAT | O_DSYNC, 0644, &fd);
  struct stat st {};
  if (opened.ok()) opened = options.env->Stat(fd.get(), &st);
  if (opened.ok() && !S_ISREG(st.st_mode)) {
    opened = Status::InvalidArgument("not a regular file");
  }
  if (!opened.ok()) {
    LogPrint("%D %s -> cannot open store %s: %s\n", task.name.c_str(),
             store.path.c_str(),
             opened.error() != 0 ? std::strerror(opened.error())
                                 : opened.context().c_str());
    return opened;
  }
  store.fd = std::move(fd);
  store.storeSize.store(st.st_size, std::memory_order_release);

  WriterLock lock(&task.catalogLock);
  if (st.st_size == 0) StartNewStore(task);
  CatalogLoader loader(task);
  WalkStore(store.fd.get(), loader, store.env);
  // A write cut short by a crash leaves a torn record at the end. Nothing
  // of it was ever counted in storeSize before the crash, so no client has
  // seen it; it is cut off, or the records appended behind it could never
  // be read back.
  const int64_t tail = loader.DamageAtTail();
  if (tail >= 0 && IsTornTail(store, tail, st.st_size)) {
    Status cut = store.env->Truncate(store.fd.get(), tail);
    if (cut.ok()) {
      LogPrint("%D store %s: cut off a torn record of %L bytes at offset %L\n",
               store.path.c_str(), st.st_size - tail, tail);
      store.storeSize.store(tail, std::memory_order_release);
      if (tail == 0) StartNewStore(task);
    } else {
      LogPrint("%D store %s: cutting off a torn record at %L failed: %s\n",
               store.path.c_str(), tail, cut.ToString().c_str());
    }
  }
  const int files = static_cast<int>(task.entries.size());
  const int64_t lastUsn = task.lastUsn;
  lock.Unlock();

  LogPrint("%D %s -> LastUsn=%L, files=%d\n", task.name.c_str(), lastUsn,
           files);
  return Status::OK();
}

void WalkStore(int fd, StoreVisitor& visitor, Env* env) {
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kBlockSize]);
  char what[96];
  for (int64_t base = 0;; base += kBlockSize) {
    size_t n = 0;
    Status read = env->PRead(fd, piece.get(), kBlockSize, base, &n);
    if (!read.ok()) {
      visitor.OnReadError(base + static_cast<int64_t>(n), read);
      return;
    }
    if (n == 0) return;

    size_t p = 0;
    while (p < n) {
      const uint8_t* r = piece.get() + p;
      int64_t offset = base + static_cast<int64_t>(p);
      if (p + kRecordHeaderSize > n) {
        std::snprintf(what, sizeof what, "%d bytes too few for a record",
                      static_cast<int>(n - p));
        visitor.OnDamage(offset, what);
        break;
      }
      int32_t length = record::Length(r);
      if (length < kRecordHeaderSize) {
        std::snprintf(what, sizeof what, "record length %d below %d", length,
                      kRecordHeaderSize);
        visitor.OnDamage(offset, what);
        break;
      }
      if (static_cast<size_t>(length) > n - p) {
        std::snprintf(what, sizeof what, "record of length %d runs past %s",
                      length,
                      n == static_cast<size_t>(kBlockSize) ? "its block"
                                                           : "the file's end");
        visitor.OnDamage(offset, what);
        break;
      }
      if (std::memchr(r + kNameOffset, 0,
                      static_cast<size_t>(length - kNameOffset)) == nullptr) {
        // The length is sound, so the walk goes on behind this record.
        visitor.OnDamage(offset, "record name without its NUL, skipped");
      } else {
        visitor.OnRecord(offset, r);
      }
      p += static_cast<size_t>(length);
    }
    if (n < static_cast<size_t>(kBlockSize)) return;
  }
}

void StageRecord(CatalogStore& store, CatalogRecord& record, bool buffered) {
  assert(record.length() >= kRecordHeaderSize && record.length() <= kBlockSize);
  StageFillerBefore(store, record.length(), buffered);
  std::vector<uint8_t>& out = buffered ? store.buffer : store.staged;
  int64_t length = record.length();
  int64_t free = kBlockSize - NextPosition(store, buffered) % kBlockSize;
  // The filler above leaves room for the record in its block.
  assert(free >= length);
  record.set_sequence(++store.recordCount);
  size_t at = out.size();
  out.insert(out.end(), record.data(), record.data() + length);
  if (free != kBlockSize && free != length && free <= length + kRecordHeaderSize) {
    // The record would leave 66 bytes or fewer: it is written extended to
    // the block's end, while the entry keeps its own length.
    out.resize(at + static_cast<size_t>(free), 0);
    record::SetLength(out.data() + at, static_cast<int32_t>(free));
  }
  // After every record the rest of its block is 0 or room for a filler.
  assert((NextPosition(store, buffered) % kBlockSize == 0) ||
         (kBlockSize - NextPosition(store, buffered) % kBlockSize >
          kRecordHeaderSize));
}

Status CommitStaged(CatalogStore& store) {
  if (store.staged.empty()) return Status::OK();
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
