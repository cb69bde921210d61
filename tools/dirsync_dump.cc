// dirsync-dump: prints the records of a store file, one line each, and a
// summary. Seals are checked against the records they cover; damage (a
// malformed record, a seal that does not match) is reported with the bytes
// it spans, and the walk goes on where the server's loader goes on.
//
//   dirsync-dump STORE.db
//
// Exit status: 0 for a sound store, 1 when damage was found, 2 when the
// file cannot be read.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>

#include "catalog/catalog_record.h"
#include "catalog/catalog_store.h"
#include "catalog/entry_links.h"
#include "catalog/record_extension.h"

namespace {

using namespace dirsync;

class DumpVisitor : public StoreVisitor {
 public:
  void OnRecord(int64_t offset, const uint8_t* r) override {
    ++records;
    uint8_t state = record::State(r);
    int32_t length = record::Length(r);
    int64_t usn = record::Usn(r);
    if (usn > lastUsn) lastUsn = usn;
    if (state == StateHeader) storeId = record::Version(r);
    if (state != StateHeader && state != StateFiller) {
      fileRefs.insert(record::FileRef(r));
    }
    if (record::IsSeal(r)) {
      ++seals;
      std::printf("offset=%" PRId64 " seq=%" PRId64
                  " state=seal length=%d covers=%" PRIu64 "+%" PRIu64
                  " crc=%08" PRIx32 " ok\n",
                  offset, record::Sequence(r), length, record::ParentRef(r),
                  record::FileSize(r), record::Version(r));
      return;
    }
    std::string_view name = record::NameView(r);
    std::printf("offset=%" PRId64 " seq=%" PRId64
                " state=%s length=%d ref=%" PRIu64 " parent=%" PRIu64
                " usn=%" PRId64 " version=%" PRIu32 " size=%" PRIu64
                " name=\"%.*s\"",
                offset, record::Sequence(r), record::StateName(state, length), length,
                record::FileRef(r), record::ParentRef(r), usn,
                record::Version(r), record::FileSize(r),
                static_cast<int>(name.size()), name.data());
    if (state == StateRenamed) {
      std::string_view old = record::OldNameView(r);
      std::printf(" old=\"%.*s\"", static_cast<int>(old.size()), old.data());
    }
    EntryExtras extras = ReadExtras(r);
    if (extras.present) {
      std::printf(" attributes=0x%" PRIx32 " mode=0%" PRIo32, extras.fileAttributes,
                  extras.mode);
    }
    // A further name of a file with several: the file it names.
    if (HasLinkTrailer(r)) std::printf(" file=%" PRIu64, FileOfRecord(r));
    std::printf("\n");
  }

  void OnDamage(int64_t offset, int64_t end, const char* what) override {
    ++damage;
    std::printf("damage offset=%" PRId64 " end=%" PRId64 ": %s\n", offset, end,
                what);
  }

  void OnReadError(int64_t offset, const Status& error) override {
    readFailed = true;
    std::printf("read error offset=%" PRId64 ": %s\n", offset,
                std::strerror(error.error()));
  }

  int64_t records = 0;
  int64_t seals = 0;
  int64_t lastUsn = 0;
  uint32_t storeId = 0;
  int damage = 0;
  bool readFailed = false;
  std::unordered_set<uint64_t> fileRefs;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s STORE.db\n", argv[0]);
    return 2;
  }
  int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "%s: cannot open %s: %s\n", argv[0], argv[1],
                 std::strerror(errno));
    return 2;
  }
  DumpVisitor dump;
  WalkStore(fd, dump);
  off_t size = ::lseek(fd, 0, SEEK_END);
  ::close(fd);
  std::printf("records=%" PRId64 " entries=%zu lastUsn=%" PRId64
              " storeId=%" PRIu32 " bytes=%lld seals=%" PRId64 " damage=%d\n",
              dump.records, dump.fileRefs.size(), dump.lastUsn, dump.storeId,
              static_cast<long long>(size), dump.seals, dump.damage);
  if (dump.readFailed) return 2;
  return dump.damage > 0 ? 1 : 0;
}
