#include "catalog/entry_links.h"

#include <cassert>
#include <cstring>

#include "catalog/record_extension.h"
#include "platform/little_endian.h"

namespace dirsync {
namespace {

// Where a record's meaningful bytes end: behind its names and the
// extension of its type and permissions, when it has one.
int32_t UsedEnd(const uint8_t* r) {
  return static_cast<int32_t>(NamesEnd(r) + ExtensionSize(ReadExtras(r)));
}

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

}  // namespace

bool HasLinkTrailer(const uint8_t* r) {
  int32_t length = record::Length(r);
  if (length < kRecordHeaderSize + kLinkTrailerSize) return false;
  if (UsedEnd(r) > length - kLinkTrailerSize) return false;
  return LoadLE64(r + length - 8) == kLinkTag;
}

uint64_t FileOfRecord(const uint8_t* r) {
  if (!HasLinkTrailer(r)) return record::FileRef(r);
  return LoadLE64(r + record::Length(r) - kLinkTrailerSize);
}

void StampLinkTrailer(CatalogRecord& entry, uint64_t fileRef) {
  // The trailer goes behind the names and the extension, at the block's
  // end; a block without room for it grows.
  entry.GrowTo(UsedEnd(entry.data()) + kLinkTrailerSize);
  int32_t length = entry.length();
  StoreLE64(entry.data() + length - kLinkTrailerSize, fileRef);
  StoreLE64(entry.data() + length - 8, kLinkTag);
}

CatalogRecord MakeNameSetChange(const CatalogRecord& change,
                                const std::vector<LinkName>& names) {
  assert(!names.empty() && names.size() <= 0xFFFF);
  // The change's type and permissions stay right behind the first name,
  // where they are read from any change; the name set follows them.
  const EntryExtras extras = ReadExtras(change.data());
  const size_t extension = ExtensionSize(extras);
  size_t size = kRecordHeaderSize + names[0].path.size() + extension + 1 + 2;
  for (size_t i = 1; i < names.size(); ++i) size += 8 + names[i].path.size() + 1;
  CatalogRecord out = CatalogRecord::Allocate(static_cast<int32_t>(size));
  std::memcpy(out.data(), change.data(), kRecordHeaderSize);
  record::SetLength(out.data(), static_cast<int32_t>(size));
  out.set_parentRef(names[0].parentRef);
  uint8_t* p = reinterpret_cast<uint8_t*>(out.mutable_name());
  std::memcpy(p, names[0].path.data(), names[0].path.size());
  if (extension > 0) {
    // Written into the whole block, then the block's length is put back.
    CatalogRecord first = CatalogRecord::Allocate(
        static_cast<int32_t>(kRecordHeaderSize + names[0].path.size() + extension));
    std::memcpy(first.data(), out.data(), kRecordHeaderSize + names[0].path.size());
    record::SetLength(first.data(), static_cast<int32_t>(kRecordHeaderSize +
                                                         names[0].path.size() + extension));
    WriteExtras(first, extras);
    std::memcpy(p + names[0].path.size() + 1,
                first.data() + kNameOffset + names[0].path.size() + 1, extension);
  }
  p += names[0].path.size() + 1 + extension;
  *p++ = kNameSetMark;
  uint16_t count = static_cast<uint16_t>(names.size() - 1);
  p[0] = static_cast<uint8_t>(count);
  p[1] = static_cast<uint8_t>(count >> 8);
  p += 2;
  for (size_t i = 1; i < names.size(); ++i) {
    StoreLE64(p, names[i].parentRef);
    p += 8;
    std::memcpy(p, names[i].path.data(), names[i].path.size());
    p += names[i].path.size() + 1;
  }
  assert(p == out.data() + size);
  return out;
}

bool ReadNameSet(const CatalogRecord& change, std::vector<LinkName>* names) {
  names->clear();
  const uint8_t* r = change.data();
  const uint8_t* end = r + change.length();
  std::string_view first = change.nameView();
  const uint8_t* p = r + kNameOffset + first.size() + 1;
  // Past the change's type and permissions, when it carries them.
  p += ExtensionSize(ReadExtras(r));
  if (end - p < 3 || p[0] != kNameSetMark) return false;
  size_t count = static_cast<size_t>(p[1]) | (static_cast<size_t>(p[2]) << 8);
  p += 3;
  names->push_back({change.parentRef(), std::string(first)});
  for (size_t i = 0; i < count; ++i) {
    if (end - p < 9) return false;
    uint64_t parent = LoadLE64(p);
    p += 8;
    size_t length = ::strnlen(reinterpret_cast<const char*>(p),
                              static_cast<size_t>(end - p));
    if (length == static_cast<size_t>(end - p)) return false;
    names->push_back({parent, std::string(reinterpret_cast<const char*>(p), length)});
    p += length + 1;
  }
  return true;
}

uint64_t LinkKey(uint64_t fileRef, uint64_t parentRef, std::string_view name,
                 uint32_t attempt) {
  // FNV-1a over the name, then mixed with the references.
  uint64_t h = 0xcbf29ce484222325ULL;
  for (char c : name) {
    h ^= static_cast<uint8_t>(c);
    h *= 0x100000001b3ULL;
  }
  h = Mix(h ^ Mix(fileRef) ^ Mix(parentRef + 0x9e3779b97f4a7c15ULL) ^
          (static_cast<uint64_t>(attempt) << 17));
  return h;
}

}  // namespace dirsync
