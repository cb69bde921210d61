// The catalog record: one layout that serves as a catalog entry in memory,
// a record of the store file and the data of a "list" reply.
//
// Little-endian, no gaps; a 66-byte header followed by names:
//   0 length i32 | 4 sequence i64 | 12 fileRef u64 | 20 parentRef u64 |
//  28 usn i64 | 36 version u32 | 40 fileSize u64 | 48 creationTime u64 |
//  56 lastWriteTime u64 | 64 state u8 | 65 name (NUL-terminated) ...
// A rename record (state 3) carries the previous name right behind the
// first. Bytes behind the names, up to length, carry no meaning.
//
// The accessors in namespace record read and write the fields of a record
// lying anywhere in a byte buffer (a store block, a reply); CatalogRecord
// owns one heap block of exactly length bytes.
#ifndef DIRSYNC_CATALOG_CATALOG_RECORD_H_
#define DIRSYNC_CATALOG_CATALOG_RECORD_H_

#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "catalog/record_blocks.h"
#include "platform/little_endian.h"

namespace dirsync {

constexpr int32_t kRecordHeaderSize = 66;
constexpr int32_t kNameOffset = 65;
// A change record with a path: the header and 1024 bytes for the path, to
// begin with (longer paths make it grow).
constexpr int32_t kChangeRecordSize = kRecordHeaderSize + 1024;
// Windows paths of change records begin with this 4-character prefix.
constexpr const char* kFinalPathPrefix = "\\\\?\\";
constexpr int kFinalPathPrefixLength = 4;

// The fileRef field of a seal: a state-0 record that carries the checksum
// of the records before it (see docs/store-format.md). The bytes read
// "DSSEAL32".
constexpr uint64_t kSealTag = 0x32334C4145535344ULL;

enum EntryState : uint8_t {
  StateFiller = 0,      // filler or journal-position marker; never an entry
  StateAdded = 1,       // file added
  StateUpdated = 2,     // file changed, same relative path (case aside)
  StateRenamed = 3,     // file renamed or moved within the root
  StateHeader = 4,      // first record of every store; version = storeId
  StateStale = 5,       // only in "list" replies: overtaken by the catalog
  StateDirectory = 6,   // directory
  StateDirDeleted = 7,  // directory that has left the root
  StateDeleted = 255,   // file deleted or moved out of the root
};

// A live file is an entry in state 1, 2 or 3.
inline bool IsLiveFileState(uint8_t s) {
  return s == StateAdded || s == StateUpdated || s == StateRenamed;
}
inline bool IsDirectoryState(uint8_t s) {
  return s == StateDirectory || s == StateDirDeleted;
}

namespace record {

enum Offset : int {
  kLength = 0,
  kSequence = 4,
  kFileRef = 12,
  kParentRef = 20,
  kUsn = 28,
  kVersion = 36,
  kFileSize = 40,
  kCreationTime = 48,
  kLastWriteTime = 56,
  kState = 64,
  kName = 65,
};

inline int32_t Length(const uint8_t* r) {
  return static_cast<int32_t>(LoadLE32(r + kLength));
}
inline int64_t Sequence(const uint8_t* r) {
  return static_cast<int64_t>(LoadLE64(r + kSequence));
}
inline uint64_t FileRef(const uint8_t* r) { return LoadLE64(r + kFileRef); }
inline uint64_t ParentRef(const uint8_t* r) { return LoadLE64(r + kParentRef); }
inline int64_t Usn(const uint8_t* r) {
  return static_cast<int64_t>(LoadLE64(r + kUsn));
}
inline uint32_t Version(const uint8_t* r) { return LoadLE32(r + kVersion); }
inline uint64_t FileSize(const uint8_t* r) { return LoadLE64(r + kFileSize); }
inline uint64_t CreationTime(const uint8_t* r) {
  return LoadLE64(r + kCreationTime);
}
inline uint64_t LastWriteTime(const uint8_t* r) {
  return LoadLE64(r + kLastWriteTime);
}
inline uint8_t State(const uint8_t* r) { return r[kState]; }
inline const char* Name(const uint8_t* r) {
  return reinterpret_cast<const char*>(r + kName);
}

inline void SetLength(uint8_t* r, int32_t v) {
  StoreLE32(r + kLength, static_cast<uint32_t>(v));
}
inline void SetSequence(uint8_t* r, int64_t v) {
  StoreLE64(r + kSequence, static_cast<uint64_t>(v));
}
inline void SetFileRef(uint8_t* r, uint64_t v) { StoreLE64(r + kFileRef, v); }
inline void SetParentRef(uint8_t* r, uint64_t v) {
  StoreLE64(r + kParentRef, v);
}
inline void SetUsn(uint8_t* r, int64_t v) {
  StoreLE64(r + kUsn, static_cast<uint64_t>(v));
}
inline void SetVersion(uint8_t* r, uint32_t v) { StoreLE32(r + kVersion, v); }
inline void SetFileSize(uint8_t* r, uint64_t v) { StoreLE64(r + kFileSize, v); }
inline void SetCreationTime(uint8_t* r, uint64_t v) {
  StoreLE64(r + kCreationTime, v);
}
inline void SetLastWriteTime(uint8_t* r, uint64_t v) {
  StoreLE64(r + kLastWriteTime, v);
}
inline void SetState(uint8_t* r, uint8_t v) { r[kState] = v; }
inline char* MutableName(uint8_t* r) {
  return reinterpret_cast<char*>(r + kName);
}

// The name of a record whose length field is within its bytes, without
// reading past length: a damaged record may lack its NUL.
inline std::string_view NameView(const uint8_t* r) {
  int32_t room = Length(r) - kName;
  if (room <= 0) return {};
  const char* n = Name(r);
  return {n, ::strnlen(n, static_cast<size_t>(room))};
}

// The second string of a rename record (the previous name), or empty when
// the record holds none within its length.
inline std::string_view OldNameView(const uint8_t* r) {
  std::string_view first = NameView(r);
  int32_t room = Length(r) - kName - static_cast<int32_t>(first.size()) - 1;
  if (room <= 0) return {};
  const char* n = Name(r) + first.size() + 1;
  return {n, ::strnlen(n, static_cast<size_t>(room))};
}

// Whether a record is a seal: state 0 with the seal's tag. Its parentRef
// is the offset of the first byte it covers, fileSize the number of bytes
// covered (up to the seal itself) and version their CRC-32 (zlib's).
inline bool IsSeal(const uint8_t* r) {
  return State(r) == 0 && FileRef(r) == kSealTag;
}

// A readable name of a state byte, for tools and messages.
inline const char* StateName(uint8_t state, int32_t length) {
  switch (state) {
    case StateFiller: return length == kRecordHeaderSize ? "marker" : "filler";
    case StateAdded: return "added";
    case StateUpdated: return "updated";
    case StateRenamed: return "renamed";
    case StateHeader: return "header";
    case StateStale: return "stale";
    case StateDirectory: return "directory";
    case StateDirDeleted: return "dir-deleted";
    case StateDeleted: return "deleted";
    default: return "unknown";
  }
}

}  // namespace record

// One block of exactly length() bytes (from record_blocks.h), zero-filled
// at allocation, whose length field always equals the block size. Movable,
// not copyable. Not thread safe: a task's entries are guarded by the task's
// catalogLock.
class CatalogRecord {
 public:
  CatalogRecord() = default;

  // A zero-filled block of size bytes (at least kRecordHeaderSize) with its
  // length field set to size.
  static CatalogRecord Allocate(int32_t size) {
    assert(size >= kRecordHeaderSize);
    CatalogRecord r;
    r.bytes_.reset(AllocateRecordBlock(static_cast<size_t>(size)));
    record::SetLength(r.bytes_.get(), size);
    return r;
  }

  // Makes the block at least size bytes long, keeping its bytes; the new
  // ones are zero.
  void GrowTo(int32_t size) {
    if (length() >= size) return;
    CatalogRecord bigger = Allocate(size);
    std::memcpy(bigger.data(), data(), static_cast<size_t>(length()));
    record::SetLength(bigger.data(), size);
    *this = std::move(bigger);
  }

  explicit operator bool() const { return bytes_ != nullptr; }
  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }

  int32_t length() const { return record::Length(data()); }
  int64_t sequence() const { return record::Sequence(data()); }
  uint64_t fileRef() const { return record::FileRef(data()); }
  uint64_t parentRef() const { return record::ParentRef(data()); }
  int64_t usn() const { return record::Usn(data()); }
  uint32_t version() const { return record::Version(data()); }
  uint64_t fileSize() const { return record::FileSize(data()); }
  uint64_t creationTime() const { return record::CreationTime(data()); }
  uint64_t lastWriteTime() const { return record::LastWriteTime(data()); }
  uint8_t state() const { return record::State(data()); }
  const char* name() const { return record::Name(data()); }
  std::string_view nameView() const { return record::NameView(data()); }
  std::string_view oldNameView() const { return record::OldNameView(data()); }

  void set_sequence(int64_t v) { record::SetSequence(data(), v); }
  void set_fileRef(uint64_t v) { record::SetFileRef(data(), v); }
  void set_parentRef(uint64_t v) { record::SetParentRef(data(), v); }
  void set_usn(int64_t v) { record::SetUsn(data(), v); }
  void set_version(uint32_t v) { record::SetVersion(data(), v); }
  void set_fileSize(uint64_t v) { record::SetFileSize(data(), v); }
  void set_creationTime(uint64_t v) { record::SetCreationTime(data(), v); }
  void set_lastWriteTime(uint64_t v) { record::SetLastWriteTime(data(), v); }
  void set_state(uint8_t v) { record::SetState(data(), v); }
  char* mutable_name() { return record::MutableName(data()); }

 private:
  struct BlockDeleter {
    void operator()(uint8_t* block) const { FreeRecordBlock(block); }
  };
  std::unique_ptr<uint8_t[], BlockDeleter> bytes_;
};

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_CATALOG_RECORD_H_
