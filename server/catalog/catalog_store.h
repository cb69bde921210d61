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
// the bytes are on disk; a failed write cuts the file back to it.
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

// Whether name can be the base name of a store file inside data/: not
// empty, no '/', '\' or NUL, and neither "." nor "..". Thread safe.
bool IsValidStoreName(std::string_view name);

// The store file of a task name: directory + name + ".db".
std::string StoreFilePath(std::string_view directory, std::string_view name);

// Opens (creating it and options.directory if needed) and reads back the
// task's store:
// fills entries, dirIndex, lastUsn, storeId and the store's counters, and
// logs "NAME -> LastUsn=..., files=...". A new store gets its header record
// in the buffer. When the store cannot be opened (an invalid name, a
// directory or file that cannot be created) the task keeps a closed store
// and an empty catalog, and one line says why. Damage in the file (a
// record shorter than 66 bytes, or running past its block, or without the
// NUL of its name) ends the walk of that block with one line naming the
// store and the offset; the next block is read from its own first byte.
// Returns why the store could not be opened (already logged). Called once
// per task by OpenTask on the main thread.
Status LoadStore(SyncTask& task, const StoreOptions& options);

// Receives what WalkStore reads. Called on the walking thread.
class StoreVisitor {
 public:
  virtual ~StoreVisitor() = default;
  // One well-formed record of length Length(record) at offset.
  virtual void OnRecord(int64_t offset, const uint8_t* record) = 0;
  // The walk of a block stops at offset; what says why.
  virtual void OnDamage(int64_t offset, const char* what) = 0;
  // A read of the file failed.
  virtual void OnReadError(int64_t offset, const Status& error) = 0;
};

// Reads the store file fd from offset 0 in 4 MiB pieces with one buffer
// and hands every record to visitor in file order. Never reads outside its
// buffer, whatever the bytes. Thread safe (positioned reads only).
void WalkStore(int fd, StoreVisitor& visitor, Env* env = Env::Default());

// Memory half of a write: gives record the next sequence number (stamped
// into record itself) and appends the bytes its write puts in the file, a
// filler before it or the record extended to its block's end where the
// block rules need them, to store.buffer (buffered) or store.staged
// (direct). The record's own length never changes. When record is a
// catalog entry, the caller holds the task's catalogLock exclusively.
void StageRecord(CatalogStore& store, CatalogRecord& record, bool buffered);

// Disk half of direct writes: writes store.staged at its position with one
// positioned write and one fdatasync, after the buffer if the buffer holds
// bytes (so a new store's header always reaches the file first). On
// success storeSize grows by the bytes written; on failure the file is cut
// back to storeSize, the staged bytes are dropped, a line is logged and the
// failure returned. OK when nothing was staged. Hold no lock.
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

// Writes the buffer to the file. On failure the file is cut back and the
// buffer keeps its bytes for the next flush. With releaseMemory the
// buffer's capacity is given back. OK when the buffer was empty.
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
// below storeSize only. Thread safe.
Status ReadStoreAt(const CatalogStore& store, uint64_t pos, uint8_t* buffer,
                   size_t count, size_t* got);

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_CATALOG_STORE_H_
