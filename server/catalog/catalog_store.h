// The catalog store: one append-only file per task, data/NAME.db beside the
// program, holding a copy of every catalog record that changed, in 4 MiB
// blocks. At start-up the file is read back and the last record of each
// file reference number becomes that entry's current record; clients read
// the same file by byte position to learn what changed. The file format is
// described in docs/store-format.md.
//
// Writing is split in two halves so that a task's catalogLock is held for
// memory work only: StageRecord numbers a record and copies its bytes into
// the store's staged bytes (memory only), CommitStaged writes them with one
// positioned write and one fdatasync (no lock). storeSize grows only once
// the bytes are on disk; a failed write cuts the file back to it. Every
// write ends with a seal, a record that carries the CRC-32 of the records
// written since the previous seal, so that damage anywhere in the file is
// found when it is loaded; a failure is logged once until a write succeeds
// again, which is logged too.
//
// Threads: every write function runs on the task's writer, one thread at a
// time. storeSize is atomic and may be read from any thread; ReadStoreAt
// below storeSize is safe at any time.
#ifndef DIRSYNC_CATALOG_CATALOG_STORE_H_
#define DIRSYNC_CATALOG_CATALOG_STORE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "catalog/catalog_record.h"
#include "catalog/sync_task.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dirsync {

constexpr int64_t kBlockSize = 4194304;
// The fileSize field of the header of a store written with seals from its
// start.
constexpr uint64_t kSealedFromTheStart = 1;

// Whether name can be the base name of a store file inside data/: not
// empty, no '/', '\' or NUL, and neither "." nor "..". Thread safe.
bool IsValidStoreName(std::string_view name);

// The store file of a task name: directory + name + ".db".
std::string StoreFilePath(std::string_view directory, std::string_view name);

// Opens (creating it and options.directory if needed) and reads back the
// task's store:
// fills entries, dirIndex, lastUsn, storeId and the store's counters, and
// logs "NAME -> LastUsn=..., files=...". A new store gets its header record
// in the buffer. On success the task is published as open (storeOpen).
// When the store cannot be opened (an invalid name, a directory in its
// place, a data directory that cannot be made or written) the task stays
// closed with an empty catalog, storeError says why and one line is logged;
// OpenTaskStore tries again later. Damage in the file (see WalkStore)
// leaves the damaged records out of the catalog, keeps their spans in
// store.damaged, logs one line per span and sets needsRebuild; a torn
// last write (a crash in its middle: an incomplete record or zeros up to
// the end of the file) is cut off instead. Returns why the store could
// not be opened (already logged). Runs on the task's writer (the main
// thread at start-up).
Status LoadStore(SyncTask& task, const StoreOptions& options);

// Tries again to open the store of a task whose store is not open: logs
// only when it opens (or when the reason it cannot changes). Returns
// whether the store is open now. Runs on the task's writer.
bool OpenTaskStore(SyncTask& task, const StoreOptions& options);

// Receives what WalkStore reads. Called on the walking thread.
class StoreVisitor {
 public:
  virtual ~StoreVisitor() = default;
  // One sound record of length Length(record) at offset: well formed and,
  // when a seal follows it in its block, covered by a seal that matches.
  // Seals themselves are handed over too.
  virtual void OnRecord(int64_t offset, const uint8_t* record) = 0;
  // The bytes [offset, end) are damaged and were skipped; what says why.
  virtual void OnDamage(int64_t offset, int64_t end, const char* what) = 0;
  // A read of the file failed.
  virtual void OnReadError(int64_t offset, const Status& error) = 0;
};

// Reads the store file fd from offset 0 in 4 MiB pieces with one buffer
// and hands every record to visitor in file order. A malformed record (a
// length below 66 or running past its block or the file) ends the walk of
// the records after it: the walk goes on at the first span behind it that
// a matching seal vouches for, or at the next block. A record whose name
// lacks its NUL is skipped alone. A seal that does not match its records
// makes them damaged. In a store that holds seals, records waiting for the
// seal that a malformed record cut off count as damaged too. Never reads
// outside its buffer, whatever the bytes. Thread safe (positioned reads
// only).
void WalkStore(int fd, StoreVisitor& visitor, Env* env = Env::Default());

// The first damaged span of the store that ends after pos, or null.
// Thread safe once the store is published as open.
const DamagedSpan* DamagedSpanFrom(const CatalogStore& store, uint64_t pos);

// Memory half of a write: gives record the next sequence number (stamped
// into record itself) and appends the bytes its write puts in the file to
// store.buffer (buffered) or store.staged (direct): the record itself, and
// before it, when it does not fit in its block with room for a seal behind
// it, the seal (or filler) that closes the block; behind it a seal when
// 64 KiB or more wait for one. A direct record first seals what the
// buffer holds. A live entry first gets the "not carried" item when its
// name is longer than store.nameRoom, or loses it when no longer (its
// length may change then); nothing else of the record changes.
// When record is a catalog entry, the caller holds the task's catalogLock
// exclusively.
void StageRecord(CatalogStore& store, CatalogRecord& record, bool buffered);

// Disk half of direct writes: seals the staged records and writes them at
// their position with one positioned write and one fdatasync, after the
// buffer if the buffer holds bytes (so a new store's header always reaches
// the file first). On success storeSize grows by the bytes written; on
// failure the file is cut back to storeSize, the staged bytes are dropped
// (their sequence numbers stay used), the failure is logged (once until a
// write succeeds again) and returned. OK when nothing was staged. Hold no
// lock.
Status CommitStaged(CatalogStore& store);

// Appends one record that no other thread can see (a marker, a copy): a
// buffered write collects in the buffer (flushed whenever it reaches 4
// MiB), a direct one is on disk before the call returns. Fails when the
// bytes were not written. For catalog entries use WriteEntry.
Status WriteRecord(CatalogStore& store, CatalogRecord& record, bool buffered);

// Appends a 66-byte record with the given usn, state and version field
// (a journal-position marker, or the header of a new store).
Status WriteMarker(CatalogStore& store, int64_t usn, uint8_t state,
                   uint32_t versionField, bool buffered);

// Appends a catalog entry of task: numbers and copies it under
// task.catalogLock (exclusive, briefly; the caller must not hold the lock)
// and writes the copy with the lock released, so clients reading the
// catalog never wait for the disk.
Status WriteEntry(SyncTask& task, CatalogRecord& entry, bool buffered)
    EXCLUDES(task.catalogLock);

// Seals the buffer and writes it to the file. On failure the file is cut
// back and the buffer keeps its bytes for the next flush. With
// releaseMemory the buffer's capacity is given back. OK when the buffer
// was empty.
Status FlushBuffer(CatalogStore& store, bool releaseMemory);

// Positioned write of count bytes at offset followed by fdatasync: OK when
// all bytes are written and flushed (EIO for a write that makes no
// progress; a failure when the store is not open). Thread safe.
Status WriteAt(CatalogStore& store, int64_t offset, const uint8_t* bytes,
               size_t count);

// fdatasync of the store file; OK for a store that is not open.
Status SyncStore(CatalogStore& store);

// Reads count bytes of the store at pos (fewer at the end of the file) into
// buffer; *got is the number read, also after a failure. Callers read
// below storeSize only, holding fileLock so that a compaction cannot put
// another file in place meanwhile. Thread safe.
Status ReadStoreAt(const CatalogStore& store, uint64_t pos, uint8_t* buffer,
                   size_t count, size_t* got) REQUIRES_SHARED(store.fileLock);

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_CATALOG_STORE_H_
