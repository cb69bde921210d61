// Records of a task's store as a client receives them in "list" data.
//
// Each record is little-endian: int32 length (whole record, at least 66),
// int64 sequence, uint64 file reference, uint64 parent reference, int64
// journal position, uint32 version, uint64 size, uint64 creation time,
// uint64 last write time (both 100 ns units since 1601-01-01 UTC), one
// state byte, then the NUL-terminated path relative to the task root
// ('\' separated); a rename record carries the previous path behind it.
// Behind the names a record may carry the entry's type and permissions in
// a tagged extension ("DSX", u8 body length, items of u8 tag, u8 size and
// data; tag 1: u32 Windows attribute bits, u32 st_mode; tag 2, no data:
// the entry is not carried, its path being longer than the system allows);
// records without it say nothing about either.
//
// Plain data and pure functions; thread safe on distinct objects.
#ifndef DIRSYNC_CLIENT_STORE_RECORD_H_
#define DIRSYNC_CLIENT_STORE_RECORD_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dsclient {

constexpr int32_t kStoreRecordHeaderSize = 66;
constexpr int64_t kStoreBlockSize = 4 * 1024 * 1024;

// The state byte of a record.
enum class RecordState : uint8_t {
  kFiller = 0,      // filler or journal-position marker
  kAdded = 1,       // file added
  kUpdated = 2,     // file changed (a change of letter case only included)
  kRenamed = 3,     // file renamed or moved; oldName holds the former path
  kHeader = 4,      // first record of a store; version holds the store id
  kStale = 5,       // a later version of this entry follows in the store
  kDirectory = 6,   // directory (a new name means it moved)
  kDirLeft = 7,     // directory that left the root, with all below it
  kDeleted = 255,   // file deleted or moved out (or a deleted directory)
};

struct StoreRecord {
  int64_t offset = 0;  // store position of the record
  int32_t length = 0;
  int64_t sequence = 0;
  uint64_t fileRef = 0;
  uint64_t parentRef = 0;
  uint32_t version = 0;
  uint64_t fileSize = 0;
  uint64_t creationTime = 0;
  uint64_t lastWriteTime = 0;
  uint8_t state = 0;
  std::string name;
  std::string oldName;  // only for renamed records
  // From the extension behind the names, when the record has one.
  bool hasAttributes = false;
  uint32_t fileAttributes = 0;  // Windows bits: 0x400 reparse point (link)
  uint32_t mode = 0;            // st_mode: type and permission bits
  // The server does not carry the entry: its path is longer than the
  // system allows. Nothing of it can be mirrored.
  bool notCarried = false;

  RecordState kind() const { return static_cast<RecordState>(state); }
  // A symbolic link: its content is its target text.
  bool isLink() const;
  // A FIFO, socket or device: nothing a mirror can hold.
  bool isSpecial() const;
};

// Reads the extension that begins at p (end: the record's end) into rec;
// absent or damaged leaves rec's attributes unset.
void ParseRecordExtension(const char* p, const char* end, StoreRecord* rec);

// Cuts list data (store bytes starting at store position `offset`) into
// records. Returns the number of bytes consumed by whole, sound records;
// a shorter count than data.size() means the rest is damaged or cut off
// (a length below 66 or running past the data), and *damageAt tells where.
size_t ParseStoreRecords(std::string_view data, int64_t offset,
                         std::vector<StoreRecord>* out,
                         int64_t* damageAt = nullptr);

// A readable name of a state, for listings and messages.
const char* RecordStateName(uint8_t state);

}  // namespace dsclient

#endif  // DIRSYNC_CLIENT_STORE_RECORD_H_
