#include "catalog/record_extension.h"

#include <sys/stat.h>

#include <cstring>

#include "platform/little_endian.h"

namespace dirsync {
namespace {

constexpr uint8_t kMagic[3] = {'D', 'S', 'X'};
constexpr size_t kPrefixSize = 4;  // magic and body length
constexpr uint8_t kTagAttributes = 1;
constexpr uint8_t kAttributesSize = 8;
constexpr uint8_t kTagNotCarried = 2;

}  // namespace

bool EntryExtras::isLink() const {
  return present && S_ISLNK(static_cast<mode_t>(mode));
}

EntryExtras ExtrasForMode(uint32_t stMode) {
  EntryExtras extras;
  extras.present = true;
  extras.mode = stMode;
  mode_t m = static_cast<mode_t>(stMode);
  if (S_ISDIR(m)) {
    extras.fileAttributes = kAttributeDirectory;
  } else if (S_ISLNK(m)) {
    extras.fileAttributes = kAttributeReparsePoint;
  } else if (S_ISREG(m)) {
    extras.fileAttributes = kAttributeArchive;
  } else {
    extras.fileAttributes = kAttributeDevice;
  }
  if ((m & S_IWUSR) == 0 && !S_ISLNK(m)) extras.fileAttributes |= kAttributeReadOnly;
  return extras;
}

// Bytes of the items of extras (without the prefix).
size_t BodySize(const EntryExtras& extras) {
  return (extras.present ? 2 + kAttributesSize : 0) + (extras.notCarried ? 2 : 0);
}

size_t ExtensionSize(const EntryExtras& extras) {
  size_t body = BodySize(extras);
  return body == 0 ? 0 : kPrefixSize + body;
}

size_t NamesEnd(const uint8_t* r) {
  size_t length = static_cast<size_t>(record::Length(r));
  if (length <= static_cast<size_t>(kNameOffset)) return length;
  size_t end = kNameOffset + record::NameView(r).size() + 1;
  if (record::State(r) == StateRenamed && end < length) {
    end += record::OldNameView(r).size() + 1;
  }
  return end < length ? end : length;
}

EntryExtras ReadExtras(const uint8_t* r) {
  EntryExtras extras;
  size_t length = static_cast<size_t>(record::Length(r));
  size_t at = NamesEnd(r);
  if (at + kPrefixSize > length || std::memcmp(r + at, kMagic, 3) != 0) {
    return extras;
  }
  size_t bodyEnd = at + kPrefixSize + r[at + 3];
  if (bodyEnd > length) return extras;  // damaged: says nothing
  at += kPrefixSize;
  while (at + 2 <= bodyEnd) {
    uint8_t tag = r[at];
    size_t size = r[at + 1];
    at += 2;
    if (at + size > bodyEnd) return EntryExtras();
    if (tag == kTagAttributes && size >= kAttributesSize) {
      extras.present = true;
      extras.fileAttributes = LoadLE32(r + at);
      extras.mode = LoadLE32(r + at + 4);
    } else if (tag == kTagNotCarried) {
      extras.notCarried = true;
    }
    at += size;
  }
  return extras;
}

void WriteExtras(CatalogRecord& entry, const EntryExtras& extras) {
  size_t at = NamesEnd(entry.data());
  size_t needed = at + ExtensionSize(extras);
  if (static_cast<size_t>(entry.length()) < needed) {
    CatalogRecord bigger = CatalogRecord::Allocate(static_cast<int32_t>(needed));
    std::memcpy(bigger.data(), entry.data(), at);
    record::SetLength(bigger.data(), static_cast<int32_t>(needed));
    entry = std::move(bigger);
  }
  uint8_t* r = entry.data();
  std::memset(r + at, 0, static_cast<size_t>(entry.length()) - at);
  const size_t body = BodySize(extras);
  if (body == 0) return;
  std::memcpy(r + at, kMagic, 3);
  r[at + 3] = static_cast<uint8_t>(body);
  at += kPrefixSize;
  if (extras.present) {
    r[at] = kTagAttributes;
    r[at + 1] = kAttributesSize;
    StoreLE32(r + at + 2, extras.fileAttributes);
    StoreLE32(r + at + 6, extras.mode);
    at += 2 + kAttributesSize;
  }
  if (extras.notCarried) {
    r[at] = kTagNotCarried;
    r[at + 1] = 0;
  }
}


}  // namespace dirsync
