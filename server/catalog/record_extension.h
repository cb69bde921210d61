// Optional attributes of an entry, carried in the bytes of its record
// behind the names (behind the previous name of a rename), where readers
// that do not know them find nothing of meaning and pass over them.
//
// Layout, little-endian, right behind the last name's NUL:
//   "DSX" | u8 bodyLength | body of bodyLength bytes
// The body is a sequence of items: u8 tag | u8 size | size bytes. Readers
// skip items whose tag they do not know; bytes behind the body carry no
// meaning. Tags:
//   1 attributes: u32 fileAttributes (the Windows attribute bits: 0x01
//     read-only, 0x10 directory, 0x20 archive, 0x40 device (FIFO, socket,
//     device node), 0x400 reparse point (a symbolic link)) | u32 mode (the
//     st_mode of the entry: type and permission bits)
//   2 not carried (no bytes): the entry's path is longer than the system
//     resolves (4,095 bytes from "/"), so the server cannot open it by its
//     path and clients cannot create it; clients report it and leave it
//     out. The store sets it when it writes the record (catalog_store.h).
//
// A record without the extension (every record of older stores) says
// nothing about its entry's type or permissions.
#ifndef DIRSYNC_CATALOG_RECORD_EXTENSION_H_
#define DIRSYNC_CATALOG_RECORD_EXTENSION_H_

#include <cstddef>
#include <cstdint>

#include "catalog/catalog_record.h"

namespace dirsync {

constexpr uint32_t kAttributeReadOnly = 0x01;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kAttributeDevice = 0x40;
constexpr uint32_t kAttributeReparsePoint = 0x400;

// What the extension of one record says. present is false for a record
// without one.
struct EntryExtras {
  bool present = false;
  uint32_t fileAttributes = 0;
  uint32_t mode = 0;
  // Item 2. Follows from the entry's name alone, so comparing what a
  // change says with what an entry holds leaves it out.
  bool notCarried = false;

  bool operator==(const EntryExtras& other) const {
    return present == other.present && fileAttributes == other.fileAttributes &&
           mode == other.mode;
  }
  bool isLink() const;
};

// The extras of an entry of type and permissions st_mode.
EntryExtras ExtrasForMode(uint32_t stMode);

// Bytes the extension of extras takes (0 when not present).
size_t ExtensionSize(const EntryExtras& extras);

// Offset of the first byte behind the names of the record at r (behind
// the previous name for state 3), at most its length.
size_t NamesEnd(const uint8_t* r);

// Reads the extension of the record at r, looking no further than its
// length. A record without one, or with a damaged one, gives extras that
// are not present.
EntryExtras ReadExtras(const uint8_t* r);

// Writes extras behind the names of entry (growing its block when it is
// too small) and zeroes what follows up to the block's end; extras that
// are not present leave nothing behind the names.
void WriteExtras(CatalogRecord& entry, const EntryExtras& extras);


}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_RECORD_EXTENSION_H_
