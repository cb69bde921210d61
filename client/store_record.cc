#include "store_record.h"

#include <sys/stat.h>

#include <cstring>

namespace dsclient {
namespace {

uint64_t ReadLE(const char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(p[i]);
  return v;
}

// A NUL-terminated text within [p, end); the text runs to end when the
// NUL is missing (damaged record).
std::string_view TextIn(const char* p, const char* end) {
  if (p >= end) return {};
  const void* nul = std::memchr(p, '\0', static_cast<size_t>(end - p));
  const char* stop = nul != nullptr ? static_cast<const char*>(nul) : end;
  return {p, static_cast<size_t>(stop - p)};
}

}  // namespace

bool StoreRecord::isLink() const {
  return hasAttributes && S_ISLNK(static_cast<mode_t>(mode));
}

bool StoreRecord::isSpecial() const {
  mode_t m = static_cast<mode_t>(mode);
  return hasAttributes && !S_ISLNK(m) && !S_ISREG(m) && !S_ISDIR(m);
}

void ParseRecordExtension(const char* p, const char* end, StoreRecord* rec) {
  if (p >= end || end - p < 4 || std::memcmp(p, "DSX", 3) != 0) return;
  const char* bodyEnd = p + 4 + static_cast<uint8_t>(p[3]);
  if (bodyEnd > end) return;
  StoreRecord found;
  for (const char* at = p + 4; at + 2 <= bodyEnd;) {
    uint8_t tag = static_cast<uint8_t>(at[0]);
    size_t size = static_cast<uint8_t>(at[1]);
    at += 2;
    if (size > static_cast<size_t>(bodyEnd - at)) return;  // damaged: nothing
    if (tag == 1 && size >= 8) {  // other tags: not known here, passed over
      found.hasAttributes = true;
      found.fileAttributes = static_cast<uint32_t>(ReadLE(at, 4));
      found.mode = static_cast<uint32_t>(ReadLE(at + 4, 4));
    } else if (tag == 2) {
      found.notCarried = true;
    }
    at += size;
  }
  rec->hasAttributes = found.hasAttributes;
  rec->fileAttributes = found.fileAttributes;
  rec->mode = found.mode;
  rec->notCarried = found.notCarried;
}

size_t ParseStoreRecords(std::string_view data, int64_t offset,
                         std::vector<StoreRecord>* out, int64_t* damageAt) {
  size_t at = 0;
  while (at < data.size()) {
    const char* r = data.data() + at;
    size_t left = data.size() - at;
    if (left < static_cast<size_t>(kStoreRecordHeaderSize)) break;
    int32_t length = static_cast<int32_t>(ReadLE(r, 4));
    if (length < kStoreRecordHeaderSize || static_cast<size_t>(length) > left) break;
    StoreRecord rec;
    rec.offset = offset + static_cast<int64_t>(at);
    rec.length = length;
    rec.sequence = static_cast<int64_t>(ReadLE(r + 4, 8));
    rec.fileRef = ReadLE(r + 12, 8);
    rec.parentRef = ReadLE(r + 20, 8);
    rec.version = static_cast<uint32_t>(ReadLE(r + 36, 4));
    rec.fileSize = ReadLE(r + 40, 8);
    rec.creationTime = ReadLE(r + 48, 8);
    rec.lastWriteTime = ReadLE(r + 56, 8);
    rec.state = static_cast<uint8_t>(r[64]);
    const char* end = r + length;
    std::string_view name = TextIn(r + 65, end);
    rec.name.assign(name);
    const char* behind = r + 65 + name.size() + 1;
    if (rec.kind() == RecordState::kRenamed && behind < end) {
      std::string_view old = TextIn(behind, end);
      rec.oldName.assign(old);
      behind += old.size() + 1;
    }
    ParseRecordExtension(behind, end, &rec);
    out->push_back(std::move(rec));
    at += static_cast<size_t>(length);
  }
  if (damageAt != nullptr) *damageAt = offset + static_cast<int64_t>(at);
  return at;
}

const char* RecordStateName(uint8_t state) {
  switch (static_cast<RecordState>(state)) {
    case RecordState::kFiller: return "filler";
    case RecordState::kAdded: return "added";
    case RecordState::kUpdated: return "updated";
    case RecordState::kRenamed: return "renamed";
    case RecordState::kHeader: return "header";
    case RecordState::kStale: return "stale";
    case RecordState::kDirectory: return "directory";
    case RecordState::kDirLeft: return "dir-left";
    case RecordState::kDeleted: return "deleted";
  }
  return "unknown";
}

}  // namespace dsclient
