// Files with several names (hard links). Every name of a file below a
// task's root is an entry of its own. The first name the catalog learns
// is keyed by the file's own reference; every further name gets a key of
// its own, derived from (file reference, parent, name) and checked against
// the keys the catalog holds, so that clients, which apply records by key,
// see one entry per name.
//
// Such an entry carries its file's reference in a trailer: the last 16
// bytes of its record are the reference and the tag "DSLINK64". Bytes
// behind the names carry no meaning to a reader that does not know the
// trailer, so stores and clients of before keep working; the store keeps
// it, so the key survives restarts.
//
// A change of a file whose names the journal monitor looked up carries
// them all: behind the first name's NUL, the byte kNameSetMark, a u16
// count and, per further name, its parent reference (u64) and full path
// (NUL-terminated). Such a change is authoritative: the names of the file
// that it does not list are gone.
#ifndef DIRSYNC_CATALOG_ENTRY_LINKS_H_
#define DIRSYNC_CATALOG_ENTRY_LINKS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog_record.h"

namespace dirsync {

// The trailer's tag: the bytes "DSLINK64".
constexpr uint64_t kLinkTag = 0x34364B4E494C5344ULL;
constexpr int32_t kLinkTrailerSize = 16;
constexpr uint8_t kNameSetMark = 0x01;

// The reference of the file a record names: the trailer's, or the record's
// own fileRef when it has none. r is a record whose length is within its
// bytes.
uint64_t FileOfRecord(const uint8_t* r);
inline uint64_t FileOfEntry(const CatalogRecord& entry) {
  return FileOfRecord(entry.data());
}
// Whether the record carries a trailer (it is a further name of a file).
bool HasLinkTrailer(const uint8_t* r);

// Bytes a record needs behind its names for the trailer.
inline size_t LinkTrailerRoom(uint64_t fileRef, uint64_t key) {
  return fileRef == key ? 0 : kLinkTrailerSize;
}
// Writes the trailer into the last 16 bytes of entry, which must have room
// for it behind its names.
void StampLinkTrailer(CatalogRecord& entry, uint64_t fileRef);

// One name of a file as a change carries it.
struct LinkName {
  uint64_t parentRef = 0;
  std::string path;  // full path ("\\?\X:\...")
};

// A change with every name of its file: the header of change (fileRef,
// state, size, times) and names, the first of which becomes the change's
// own name and parent.
CatalogRecord MakeNameSetChange(const CatalogRecord& change,
                                const std::vector<LinkName>& names);
// The names of a name-set change, its own first; false when the change
// carries no name set (or a malformed one).
bool ReadNameSet(const CatalogRecord& change, std::vector<LinkName>* names);

// The key of a further name: a mix of (fileRef, parentRef, name, attempt).
// Callers try attempt 0, 1, ... until the key is free for the name.
uint64_t LinkKey(uint64_t fileRef, uint64_t parentRef, std::string_view name,
                 uint32_t attempt);

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_ENTRY_LINKS_H_
