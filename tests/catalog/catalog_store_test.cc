#include "catalog/catalog_store.h"
#include "catalog/record_extension.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <zlib.h>

#include "store_test_util.h"

namespace dirsync {
namespace {

using testing_util::MakeRecord;
using testing_util::ReadFileBytes;
using testing_util::StoreContents;
using testing_util::StoredRecord;
using testing_util::WriteFileBytes;

class CatalogStoreTest : public testing_util::TrackingTest {
 protected:
  // Takes a new store's header (and its seal) to the file and writes one
  // padding record so that the next direct write lands at offset
  // `position` (the pad's own seal takes 66 bytes before it).
  void PlaceAt(SyncTask& task, int64_t position) {
    ASSERT_TRUE(FlushBuffer(task.store, true).ok());
    ASSERT_EQ(task.store.storeSize.load(), 2 * kRecordHeaderSize);
    CatalogRecord pad = MakeRecord(999, StateAdded, "pad",
                                   static_cast<int32_t>(position - 3 * 66));
    ASSERT_TRUE(WriteRecord(task.store, pad, false).ok());
    ASSERT_EQ(task.store.storeSize.load(), position);
  }
};

// An Env whose store calls fail on demand: the next `failures` calls of
// the kind named fail with error.
class FailingStoreEnv final : public EnvWrapper {
 public:
  enum class Call { kOpen, kWrite, kSync, kRead, kStat, kMkdir };
  FailingStoreEnv() : EnvWrapper(Env::Default()) {}
  void Fail(Call call, int error, int failures) {
    call_ = call;
    error_ = error;
    left_ = failures;
  }
  // Truncates fail besides, while this many are left.
  int truncatesToFail = 0;
  Status OpenFile(const std::string& path, int flags, mode_t mode,
                  UniqueFd* fd) override {
    if (Take(Call::kOpen)) return Status::FromErrno("open " + path, error_);
    return EnvWrapper::OpenFile(path, flags, mode, fd);
  }
  Status PWrite(int fd, const void* bytes, size_t count, off_t offset) override {
    if (Take(Call::kWrite)) return Status::FromErrno("pwrite", error_);
    return EnvWrapper::PWrite(fd, bytes, count, offset);
  }
  Status SyncData(int fd) override {
    if (Take(Call::kSync)) return Status::FromErrno("fdatasync", error_);
    return EnvWrapper::SyncData(fd);
  }
  Status Stat(int fd, struct stat* st) override {
    if (Take(Call::kStat)) return Status::FromErrno("fstat", error_);
    return EnvWrapper::Stat(fd, st);
  }
  Status Truncate(int fd, off_t size) override {
    if (truncatesToFail > 0) {
      --truncatesToFail;
      return Status::FromErrno("ftruncate", EIO);
    }
    return EnvWrapper::Truncate(fd, size);
  }
  Status CreateDirectories(const std::string& path) override {
    if (Take(Call::kMkdir)) return Status::FromErrno("mkdir " + path, error_);
    return EnvWrapper::CreateDirectories(path);
  }
  Status PRead(int fd, void* buffer, size_t count, off_t offset,
               size_t* got) override {
    if (Take(Call::kRead)) {
      *got = 0;
      return Status::FromErrno("pread", error_);
    }
    return EnvWrapper::PRead(fd, buffer, count, offset, got);
  }

 private:
  bool Take(Call call) {
    if (call != call_ || left_ <= 0) return false;
    --left_;
    return true;
  }
  Call call_ = Call::kOpen;
  int error_ = 0;
  int left_ = 0;
};

TEST_F(CatalogStoreTest, NewStoreHeaderReachesTheFileAsRecordOne) {
  uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  auto task = Open("alpha");
  uint32_t after = static_cast<uint32_t>(std::time(nullptr));
  ASSERT_TRUE(task->store.fd.valid());
  EXPECT_EQ(task->store.path, dir_ + "/data/alpha.db");
  // The header waits in the buffer: the file stays empty until a flush.
  EXPECT_EQ(std::filesystem::file_size(task->store.path), 0u);
  EXPECT_EQ(task->store.storeSize.load(), 0);
  EXPECT_EQ(task->store.buffer.size(), 66u);
  uint32_t id = task->storeId.load();
  EXPECT_GE(id, before);
  EXPECT_LE(id, after);
  EXPECT_EQ(log_.Matching("alpha -> LastUsn=0, files=0\n").size(), 1u);

  ASSERT_TRUE(FlushBuffer(task->store, true).ok());
  std::vector<uint8_t> expected = {0x42, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  expected.resize(36, 0);  // fileRef, parentRef, usn
  for (int i = 0; i < 4; ++i) expected.push_back(uint8_t(id >> (8 * i)));
  expected.push_back(1);   // size: written with seals from the start
  expected.resize(64, 0);  // times
  expected.push_back(4);   // state
  expected.push_back(0);   // empty name
  std::vector<uint8_t> file = ReadFileBytes(task->store.path);
  ASSERT_EQ(file.size(), 132u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 66), expected);
  // The write ends with its seal: record 2, covering the header's bytes.
  const uint8_t* seal = file.data() + 66;
  EXPECT_TRUE(record::IsSeal(seal));
  EXPECT_EQ(record::Length(seal), 66);
  EXPECT_EQ(record::Sequence(seal), 2);
  EXPECT_EQ(record::ParentRef(seal), 0u);
  EXPECT_EQ(record::FileSize(seal), 66u);
  EXPECT_EQ(record::Version(seal),
            static_cast<uint32_t>(::crc32(0, expected.data(), 66)));
  EXPECT_EQ(task->store.storeSize.load(), 132);
  EXPECT_TRUE(task->store.buffer.empty());
}

TEST_F(CatalogStoreTest, DirectWriteToANewStoreTakesTheHeaderFirst) {
  auto task = Open("beta");
  ASSERT_TRUE(WriteMarker(task->store, 77, StateFiller, 0, false).ok());
  StoreContents file(task->store.path);
  ASSERT_EQ(file.records.size(), 2u);
  EXPECT_EQ(file.records[0].state, StateHeader);
  EXPECT_EQ(file.records[0].sequence, 1);
  EXPECT_EQ(file.records[1].offset, 132);  // behind the header's seal
  EXPECT_EQ(file.records[1].sequence, 3);
  EXPECT_EQ(file.records[1].usn, 77);
  ASSERT_EQ(file.seals.size(), 2u);
  EXPECT_EQ(file.seals[1].start, 132);
  EXPECT_EQ(task->store.storeSize.load(), 264);
}

// Every record leaves room for a seal behind it in its block; a seal that
// would leave 66 bytes or fewer takes the rest of the block; a record that
// does not fit with its seal goes to the next block, after a filler.
TEST_F(CatalogStoreTest, BlockRulesAtTheEndOfABlock) {
  constexpr int32_t L = 100;
  struct Case {
    const char* name;
    int64_t position;       // where the record is written
    int64_t recordOffset;   // where it lands
    int32_t sealLength;     // the length of its seal
    bool filler;            // preceded by a filler
  };
  const Case cases[] = {
      {"fills", kBlockSize - L - 66, kBlockSize - L - 66, 66, false},
      {"leaves67", kBlockSize - L - 66 - 67, kBlockSize - L - 66 - 67, 66, false},
      {"leaves66", kBlockSize - L - 66 - 66, kBlockSize - L - 66 - 66, 132, false},
      {"leaves1", kBlockSize - L - 66 - 1, kBlockSize - L - 66 - 1, 67, false},
      {"nofit", kBlockSize - L - 65, kBlockSize, 66, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto task = Open(c.name);
    PlaceAt(*task, c.position);
    int64_t n = task->store.recordCount;
    CatalogRecord entry = MakeRecord(7, StateAdded, "x.txt", L);
    ASSERT_TRUE(WriteRecord(task->store, entry, false).ok());

    EXPECT_EQ(entry.length(), L);
    StoreContents file(task->store.path);
    ASSERT_TRUE(file.damageOffsets.empty());
    const StoredRecord& last = file.records.back();
    EXPECT_EQ(last.offset, c.recordOffset);
    EXPECT_EQ(last.length, L);
    EXPECT_EQ(last.name, "x.txt");
    int64_t expectedSequence = c.filler ? n + 2 : n + 1;
    EXPECT_EQ(last.sequence, expectedSequence);
    EXPECT_EQ(entry.sequence(), expectedSequence);
    EXPECT_EQ(task->store.recordCount, expectedSequence + 1);  // its seal
    const testing_util::StoredSeal& seal = file.seals.back();
    EXPECT_EQ(seal.offset, c.recordOffset + L);
    EXPECT_EQ(seal.length, c.sealLength);
    EXPECT_EQ(seal.start, c.recordOffset);
    EXPECT_EQ(seal.covered, L);
    if (c.filler) {
      // The pad's seal closed its span: a plain filler ends the block.
      const StoredRecord& filler = file.records[file.records.size() - 2];
      EXPECT_EQ(filler.offset, c.position);
      EXPECT_EQ(filler.length, kBlockSize - c.position);
      EXPECT_EQ(filler.state, StateFiller);
      EXPECT_EQ(filler.sequence, n + 1);
    }
    EXPECT_EQ(task->store.storeSize.load(),
              c.recordOffset + L + c.sealLength);
    EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(task->store.path)),
              task->store.storeSize.load());
  }
}

// A record that does not fit behind unsealed records of its block: the
// seal of those records closes the block.
TEST_F(CatalogStoreTest, SealClosesABlockBehindUnsealedRecords) {
  auto task = Open("closing");
  PlaceAt(*task, kBlockSize - 250);
  CatalogRecord a = MakeRecord(1, StateAdded, "a", 100);
  CatalogRecord b = MakeRecord(2, StateAdded, "b", 100);
  {
    WriterLock lock(&task->catalogLock);
    StageRecord(task->store, a, false);
    StageRecord(task->store, b, false);  // does not fit with a seal behind
  }
  ASSERT_TRUE(CommitStaged(task->store).ok());
  StoreContents file(task->store.path);
  ASSERT_TRUE(file.damageOffsets.empty());
  const StoredRecord& last = file.records.back();
  EXPECT_EQ(last.fileRef, 2u);
  EXPECT_EQ(last.offset, kBlockSize);
  ASSERT_GE(file.seals.size(), 2u);
  const testing_util::StoredSeal& closing = file.seals[file.seals.size() - 2];
  EXPECT_EQ(closing.offset, kBlockSize - 150);
  EXPECT_EQ(closing.length, 150);
  EXPECT_EQ(closing.start, kBlockSize - 250);
  EXPECT_EQ(file.seals.back().start, kBlockSize);
}

// An entry whose last record carries no extension (written by an older
// server) loads without one, whatever an earlier, longer record of it
// carried.
TEST_F(CatalogStoreTest, LoadedEntryTakesOnlyItsLastRecordsExtension) {
  {
    auto task = Open("extras");
    CatalogRecord first = MakeRecord(7, StateAdded, "ab");
    WriteExtras(first, ExtrasForMode(0100600));
    CatalogRecord second = MakeRecord(7, StateUpdated, "ab");
    CatalogRecord other = MakeRecord(8, StateAdded, "cd");
    WriteExtras(other, ExtrasForMode(0120777));
    {
      WriterLock lock(&task->catalogLock);
      StageRecord(task->store, first, false);
      StageRecord(task->store, second, false);
      StageRecord(task->store, other, false);
    }
    ASSERT_TRUE(CommitStaged(task->store).ok());
  }
  auto task = Open("extras");
  ReaderLock lock(&task->catalogLock);
  const CatalogRecord* seven = FindEntry(*task, 7);
  const CatalogRecord* eight = FindEntry(*task, 8);
  ASSERT_NE(seven, nullptr);
  ASSERT_NE(eight, nullptr);
  EXPECT_EQ(seven->state(), StateUpdated);
  EXPECT_FALSE(ReadExtras(seven->data()).present);
  EXPECT_TRUE(ReadExtras(eight->data()).isLink());
}

TEST_F(CatalogStoreTest, BufferedWritesFlushWholeBlocks) {
  auto task = Open("gamma");  // header (66 bytes) in the buffer
  CatalogRecord big = MakeRecord(1, StateAdded, "big", kBlockSize / 2);
  ASSERT_TRUE(WriteRecord(task->store, big, true).ok());
  EXPECT_EQ(task->store.storeSize.load(), 0);  // still buffered
  // Does not fit behind the first and its seal: a filler closes the block
  // and the buffer, now exactly one block, goes to the file.
  ASSERT_TRUE(WriteRecord(task->store, big, true).ok());
  EXPECT_EQ(task->store.storeSize.load(), kBlockSize);
  EXPECT_EQ(task->store.buffer.size(), static_cast<size_t>(kBlockSize / 2 + 66));
  ASSERT_TRUE(FlushBuffer(task->store, true).ok());
  StoreContents file(task->store.path);
  ASSERT_EQ(file.records.size(), 4u);  // header, big, filler, big
  EXPECT_EQ(file.records[2].state, StateFiller);
  EXPECT_EQ(file.records[2].offset + file.records[2].length, kBlockSize);
  // A record of 64 KiB or more is sealed at once.
  ASSERT_EQ(file.seals.size(), 2u);
  EXPECT_EQ(file.seals[0].offset, 66 + kBlockSize / 2);
  EXPECT_EQ(file.seals[0].start, 0);
  EXPECT_EQ(file.records[3].offset, kBlockSize);
  EXPECT_EQ(file.records[3].sequence, 5);
  EXPECT_EQ(file.seals[1].start, kBlockSize);
}

// One write of many records is sealed every 64 KiB, so that damage in it
// costs no more than that.
TEST_F(CatalogStoreTest, LargeWritesAreSealedEvery64KiB) {
  auto task = Open("large");
  ASSERT_TRUE(FlushBuffer(task->store, true).ok());
  std::vector<CatalogRecord> records;
  for (uint64_t ref = 1; ref <= 300; ++ref) {
    records.push_back(MakeRecord(ref, StateAdded, "f" + std::to_string(ref), 1000));
  }
  {
    WriterLock lock(&task->catalogLock);
    for (CatalogRecord& r : records) StageRecord(task->store, r, false);
  }
  ASSERT_TRUE(CommitStaged(task->store).ok());
  StoreContents file(task->store.path);
  ASSERT_TRUE(file.damageOffsets.empty());
  EXPECT_EQ(file.Entries().size(), 300u);
  ASSERT_EQ(file.seals.size(), 1u + 5u);  // the header's, then 300 KB in five
  for (size_t i = 1; i < file.seals.size(); ++i) {
    EXPECT_LT(file.seals[i].covered, 64 * 1024 + 1000);
    EXPECT_EQ(file.seals[i].start,
              file.seals[i - 1].offset + file.seals[i - 1].length);
  }
}

TEST_F(CatalogStoreTest, ReloadContinuesNumberingAndKeepsTheLastRecord) {
  int64_t lastSequence;
  int64_t a3Sequence;
  {
    auto task = Open("delta");
    PlaceAt(*task, kBlockSize - 250);
    CatalogRecord a1 = MakeRecord(5, StateAdded, "a", 100);
    CatalogRecord a2 = MakeRecord(5, StateRenamed, "bb", 300);
    CatalogRecord a3 = MakeRecord(5, StateUpdated, "ccc", 120);
    ASSERT_TRUE(WriteRecord(task->store, a1, false).ok());  // leaves 84
    // Does not fit with its seal: a filler ends the block.
    ASSERT_TRUE(WriteMarker(task->store, 900, StateFiller, 0, false).ok());
    ASSERT_TRUE(WriteRecord(task->store, a2, false).ok());
    ASSERT_TRUE(WriteRecord(task->store, a3, false).ok());
    CatalogRecord dir = MakeRecord(8, StateDirectory, "d", 0, 3);
    ASSERT_TRUE(WriteRecord(task->store, dir, false).ok());
    lastSequence = task->store.recordCount;
    a3Sequence = a3.sequence();
    // header, pad, a1, filler, marker, a2, a3, dir; each write's seal
    EXPECT_EQ(lastSequence, 15);
  }
  auto task = Open("delta");
  EXPECT_EQ(task->store.recordCount, lastSequence);
  EXPECT_EQ(task->lastUsn, 900);
  EXPECT_TRUE(task->store.buffer.empty());
  EXPECT_FALSE(task->needsRebuild.load());
  ASSERT_EQ(task->entries.size(), 3u);  // pad, file 5, directory 8
  const CatalogRecord* five = FindEntry(*task, 5);
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(five->length(), 300);  // as large as the largest record
  EXPECT_EQ(five->nameView(), "ccc");
  EXPECT_EQ(five->state(), StateUpdated);
  EXPECT_EQ(five->sequence(), a3Sequence);
  EXPECT_EQ(task->dirIndex[3].count(8), 1u);
  EXPECT_EQ(log_.Matching("delta -> LastUsn=900, files=3").size(), 1u);

  ASSERT_TRUE(WriteMarker(task->store, 0, StateFiller, 0, false).ok());
  StoreContents file(task->store.path);
  EXPECT_EQ(file.records.back().sequence, lastSequence + 1);
  EXPECT_TRUE(file.damageOffsets.empty());
}

TEST_F(CatalogStoreTest, TornTailLeftByACrashIsCutOffAtLoad) {
  std::filesystem::create_directories(dir_ + "/data");

  // Fewer bytes than a header: nothing whole is left, the store starts anew.
  std::string shortPath = dir_ + "/data/short.db";
  WriteFileBytes(shortPath, std::vector<uint8_t>(10, 0x42));
  {
    auto task = Open("short");
    EXPECT_TRUE(task->store.fd.valid());
    EXPECT_TRUE(task->entries.empty());
    EXPECT_EQ(task->store.storeSize.load(), 0);
    EXPECT_NE(task->storeId.load(), 0u);
    EXPECT_EQ(task->store.buffer.size(), 66u);  // the new header
    EXPECT_EQ(log_.Matching("cut off a torn write of 10 bytes at offset 0")
                  .size(),
              1u);
  }

  // Whole records followed by a record cut short, or by zeros.
  std::string path;
  int64_t good;
  {
    auto task = Open("torn");
    CatalogRecord a = MakeRecord(1, StateAdded, "a");
    ASSERT_TRUE(WriteRecord(task->store, a, false).ok());
    good = task->store.storeSize.load();
    path = task->store.path;
  }
  std::vector<uint8_t> sound = ReadFileBytes(path);
  CatalogRecord b = MakeRecord(2, StateAdded, "b", 300);
  // A whole record whose write stopped before its seal, then a torn one.
  std::vector<uint8_t> wholeThenTorn(b.data(), b.data() + 300);
  wholeThenTorn.insert(wholeThenTorn.end(), b.data(), b.data() + 100);
  std::vector<std::vector<uint8_t>> tails = {
      std::vector<uint8_t>(b.data(), b.data() + 150),  // cut short
      std::vector<uint8_t>(b.data(), b.data() + 40),   // not even a header
      std::vector<uint8_t>(500, 0),                    // zeros
      wholeThenTorn,
  };
  for (const std::vector<uint8_t>& tail : tails) {
    SCOPED_TRACE(tail.size());
    std::vector<uint8_t> bytes = sound;
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    WriteFileBytes(path, bytes);
    log_.Clear();
    {
      auto task = Open("torn");
      EXPECT_EQ(task->store.storeSize.load(), good);
      EXPECT_NE(FindEntry(*task, 1), nullptr);
      // What is appended now is read back at the next start.
      CatalogRecord c = MakeRecord(3, StateAdded, "c");
      ASSERT_TRUE(WriteRecord(task->store, c, false).ok());
    }
    auto reloaded = Open("torn");
    EXPECT_NE(FindEntry(*reloaded, 3), nullptr);
    EXPECT_EQ(FindEntry(*reloaded, 2), nullptr);
    // A torn write is no damage: nothing to rebuild.
    EXPECT_TRUE(log_.Matching("damaged store").empty());
    EXPECT_FALSE(reloaded->needsRebuild.load());
    EXPECT_EQ(log_.Matching("cut off a torn write").size(), 1u);
    EXPECT_EQ(ReadFileBytes(path).size(),
              static_cast<size_t>(good + kRecordHeaderSize + 1 + 66));
  }

  // Damage that is not a torn write (a bad length followed by other
  // bytes) is left in place for inspection.
  std::vector<uint8_t> bytes = sound;
  std::vector<uint8_t> junk(200, 0x42);
  StoreLE32(junk.data(), 10);
  bytes.insert(bytes.end(), junk.begin(), junk.end());
  WriteFileBytes(path, bytes);
  log_.Clear();
  auto task = Open("torn");
  EXPECT_EQ(task->store.storeSize.load(), static_cast<int64_t>(bytes.size()));
  EXPECT_TRUE(log_.Matching("cut off a torn write").empty());
  EXPECT_TRUE(task->needsRebuild.load());
}

// A malformed record loses what it and the records of its write hold; the
// walk goes on with the next write that its seal vouches for.
TEST_F(CatalogStoreTest, DamageLosesOnlyTheWritesItHits) {
  std::string path;
  int64_t damagedAt;
  int64_t resumeAt;
  {
    auto task = Open("damaged");
    ASSERT_TRUE(FlushBuffer(task->store, true).ok());
    CatalogRecord a = MakeRecord(1, StateAdded, "a");
    ASSERT_TRUE(WriteRecord(task->store, a, false).ok());
    damagedAt = task->store.storeSize.load();
    CatalogRecord b = MakeRecord(2, StateAdded, "b");
    ASSERT_TRUE(WriteRecord(task->store, b, false).ok());
    resumeAt = task->store.storeSize.load();
    CatalogRecord big = MakeRecord(3, StateAdded, "c", kBlockSize / 2);
    ASSERT_TRUE(WriteRecord(task->store, big, false).ok());
    CatalogRecord d = MakeRecord(4, StateAdded, "d", kBlockSize / 2);
    ASSERT_TRUE(WriteRecord(task->store, d, false).ok());  // next block
    path = task->store.path;
  }
  std::vector<uint8_t> sound = ReadFileBytes(path);
  const int32_t badLengths[] = {10, 0, -5, kBlockSize};
  for (int32_t bad : badLengths) {
    SCOPED_TRACE(bad);
    std::vector<uint8_t> bytes = sound;
    StoreLE32(bytes.data() + damagedAt, static_cast<uint32_t>(bad));
    WriteFileBytes(path, bytes);
    log_.Clear();
    auto task = Open("damaged");
    EXPECT_NE(FindEntry(*task, 1), nullptr);  // before the damage
    EXPECT_EQ(FindEntry(*task, 2), nullptr);
    EXPECT_NE(FindEntry(*task, 3), nullptr);  // vouched for by its seal
    EXPECT_NE(FindEntry(*task, 4), nullptr);  // the next block
    EXPECT_EQ(log_.Matching("damaged store " + path + " at offset " +
                            std::to_string(damagedAt))
                  .size(),
              1u);
    EXPECT_TRUE(task->needsRebuild.load());
    ASSERT_EQ(task->store.damaged.size(), 1u);
    EXPECT_EQ(task->store.damaged[0].start, damagedAt);
    EXPECT_EQ(task->store.damaged[0].end, resumeAt);
    // Nothing is cut: the damage stays for inspection.
    EXPECT_EQ(task->store.storeSize.load(), static_cast<int64_t>(sound.size()));
  }

  // A name without its NUL loses that record alone (its seal no longer
  // matches either).
  std::vector<uint8_t> bytes = sound;
  int32_t length = static_cast<int32_t>(LoadLE32(bytes.data() + damagedAt));
  std::memset(bytes.data() + damagedAt + kNameOffset, 'z', length - kNameOffset);
  WriteFileBytes(path, bytes);
  auto task = Open("damaged");
  EXPECT_EQ(FindEntry(*task, 2), nullptr);
  EXPECT_NE(FindEntry(*task, 3), nullptr);
  EXPECT_EQ(task->entries.size(), 3u);
}

// Damage that leaves every record well formed (bit flips, a zeroed page
// in the middle of a record) is found by the seals: the records of the
// writes it hits are left out and the task is marked for a rebuild.
TEST_F(CatalogStoreTest, SealsFindDamageThatLeavesRecordsWellFormed) {
  std::string path;
  std::vector<int64_t> offsets;  // of each file's record
  {
    auto task = Open("silent");
    ASSERT_TRUE(FlushBuffer(task->store, true).ok());
    for (uint64_t ref = 1; ref <= 40; ++ref) {
      CatalogRecord r = MakeRecord(ref, StateAdded, "file" + std::to_string(ref), 300);
      offsets.push_back(task->store.storeSize.load());
      ASSERT_TRUE(WriteRecord(task->store, r, false).ok());
    }
    path = task->store.path;
  }
  const std::vector<uint8_t> sound = ReadFileBytes(path);
  struct Case {
    const char* name;
    size_t at;       // the byte changed
    uint64_t lost;   // the file whose record is left out
  };
  const Case cases[] = {
      {"a bit of a name", static_cast<size_t>(offsets[9]) + kNameOffset + 2, 10},
      {"a bit of a size", static_cast<size_t>(offsets[19]) + record::kFileSize, 20},
      {"a bit of a reference", static_cast<size_t>(offsets[29]) + record::kFileRef, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = sound;
    bytes[c.at] ^= 0x10;
    WriteFileBytes(path, bytes);
    log_.Clear();
    auto task = Open("silent");
    EXPECT_EQ(FindEntry(*task, c.lost), nullptr);
    EXPECT_EQ(task->entries.size(), 39u);  // nothing made up either
    EXPECT_TRUE(task->needsRebuild.load());
    EXPECT_EQ(log_.Matching("the seal does not match").size(), 1u);
  }

  // 4 KiB of zeros from the middle of one record into others: every
  // write it touches is lost, the writes behind it are read again.
  std::vector<uint8_t> bytes = sound;
  const size_t from = static_cast<size_t>(offsets[5]) + 100;
  std::fill(bytes.begin() + static_cast<long>(from),
            bytes.begin() + static_cast<long>(from) + 4096, 0);
  WriteFileBytes(path, bytes);
  log_.Clear();
  auto task = Open("silent");
  int kept = 0;
  for (uint64_t ref = 1; ref <= 40; ++ref) {
    size_t start = static_cast<size_t>(offsets[ref - 1]);
    bool hit = start + 300 + 66 > from && start < from + 4096;
    EXPECT_EQ(FindEntry(*task, ref) != nullptr, !hit) << ref;
    kept += hit ? 0 : 1;
  }
  EXPECT_EQ(static_cast<int>(task->entries.size()), kept);
  EXPECT_GT(kept, 20);
  EXPECT_TRUE(task->needsRebuild.load());
  EXPECT_FALSE(task->store.damaged.empty());
}

// The initial build writes a new store's first block in one write: damage
// in it loses that write's records (the store keeps its identity), where a
// store without seals would have taken them as they are.
TEST_F(CatalogStoreTest, DamageInTheFirstWriteOfANewStoreIsFound) {
  std::string path;
  uint32_t id;
  {
    auto task = Open("first");
    id = task->storeId.load();
    for (uint64_t ref = 1; ref <= 20; ++ref) {
      CatalogRecord r = MakeRecord(ref, StateAdded, "f" + std::to_string(ref));
      ASSERT_TRUE(WriteRecord(task->store, r, true).ok());
    }
    ASSERT_TRUE(FlushBuffer(task->store, true).ok());
    CatalogRecord later = MakeRecord(21, StateAdded, "later");
    ASSERT_TRUE(WriteRecord(task->store, later, false).ok());
    path = task->store.path;
  }
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  bytes[66 + 5 * 67 + kNameOffset] ^= 0x02;  // the name of the sixth record
  WriteFileBytes(path, bytes);
  auto task = Open("first");
  EXPECT_EQ(task->storeId.load(), id);
  EXPECT_EQ(task->entries.size(), 1u);  // only the later write's
  EXPECT_NE(FindEntry(*task, 21), nullptr);
  EXPECT_TRUE(task->needsRebuild.load());
}

// A store written before seals existed loads as it always did; what is
// appended to it is sealed, its old records are not.
TEST_F(CatalogStoreTest, StoreWithoutSealsLoadsAndIsContinued) {
  std::filesystem::create_directories(dir_ + "/data");
  std::vector<uint8_t> bytes;
  auto append = [&bytes](CatalogRecord r, int64_t sequence) {
    r.set_sequence(sequence);
    bytes.insert(bytes.end(), r.data(), r.data() + r.length());
  };
  CatalogRecord header = MakeRecord(0, StateHeader, "");
  header.set_version(0x1234);
  append(std::move(header), 1);
  append(MakeRecord(1, StateAdded, "old"), 2);
  CatalogRecord marker = MakeRecord(0, StateFiller, "");
  marker.set_usn(77);
  append(std::move(marker), 3);
  WriteFileBytes(dir_ + "/data/legacy.db", bytes);

  auto task = Open("legacy");
  EXPECT_EQ(task->storeId.load(), 0x1234u);
  EXPECT_EQ(task->lastUsn, 77);
  EXPECT_NE(FindEntry(*task, 1), nullptr);
  EXPECT_FALSE(task->needsRebuild.load());
  EXPECT_TRUE(task->store.damaged.empty());
  CatalogRecord added = MakeRecord(2, StateAdded, "new");
  ASSERT_TRUE(WriteRecord(task->store, added, false).ok());
  StoreContents file(task->store.path);
  ASSERT_EQ(file.seals.size(), 1u);
  EXPECT_EQ(file.seals[0].start, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(file.records.back().sequence, 4);
  auto again = Open("legacy");
  EXPECT_NE(FindEntry(*again, 2), nullptr);
  EXPECT_FALSE(again->needsRebuild.load());
}

TEST_F(CatalogStoreTest, NamesThatCannotBeFilesLeaveTheStoreUnopened) {
  const std::string names[] = {"", "a/b", "a\\b", ".", "..",
                               std::string("a\0b", 3)};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    log_.Clear();
    auto task = Open(name);
    EXPECT_FALSE(task->store.fd.valid());
    EXPECT_EQ(task->store.storeSize.load(), 0);
    EXPECT_EQ(task->storeId.load(), 0u);
    EXPECT_TRUE(task->entries.empty());
    EXPECT_TRUE(log_.Matching("LastUsn=").empty());
    EXPECT_EQ(log_.Matching("no store").size(), 1u);
    // Writes fail harmlessly and say nothing more.
    CatalogRecord r = MakeRecord(1, StateAdded, "x");
    EXPECT_FALSE(WriteEntry(*task, r, false).ok());
    EXPECT_EQ(log_.Lines().size(), 1u);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/data/..db"));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/a"));
}

TEST_F(CatalogStoreTest, StoreThatCannotBeOpenedIsReported) {
  std::filesystem::create_directories(dir_ + "/data/blocked.db");
  ASSERT_EQ(::mkfifo((dir_ + "/data/pipe.db").c_str(), 0600), 0);
  for (const char* name : {"blocked", "pipe"}) {
    SCOPED_TRACE(name);
    log_.Clear();
    auto task = Open(name);
    EXPECT_FALSE(task->store.fd.valid());
    EXPECT_FALSE(task->storeOpen.load());
    EXPECT_EQ(task->storeError.load(),
              name == std::string("blocked") ? EISDIR : EINVAL);
    EXPECT_EQ(log_.Matching("cannot open store").size(), 1u);
    EXPECT_TRUE(log_.Matching("LastUsn=").empty());
    // Tried again while the cause stands: no more lines.
    EXPECT_FALSE(OpenTaskStore(*task, Stores()));
    EXPECT_EQ(log_.Matching("cannot open store").size(), 1u);
  }
  // Once the way is clear the store opens and reads back.
  std::filesystem::create_directories(dir_ + "/data/late.db");
  auto late = Open("late");
  ASSERT_FALSE(late->storeOpen.load());
  std::filesystem::remove(dir_ + "/data/late.db");
  log_.Clear();
  EXPECT_TRUE(OpenTaskStore(*late, Stores()));
  EXPECT_TRUE(late->storeOpen.load());
  EXPECT_TRUE(late->store.fd.valid());
  EXPECT_EQ(late->storeError.load(), 0);
  EXPECT_EQ(log_.Matching("store " + dir_ + "/data/late.db opens now").size(), 1u);
}

// Every call the store makes can fail: an open for want of descriptors
// leaves the task closed until it works; a write, a flush or a read that
// fails loses nothing and is logged once until writing works again.
TEST_F(CatalogStoreTest, FailingCallsOfTheStore) {
  FailingStoreEnv env;
  env_ = &env;

  // A data directory that cannot be made: the open finds no directory.
  env.Fail(FailingStoreEnv::Call::kMkdir, EACCES, 1);
  auto task = Open("faults");
  EXPECT_FALSE(task->storeOpen.load());
  EXPECT_EQ(task->storeError.load(), ENOENT);
  // No descriptor left, then a stat that fails: closed still, each new
  // reason logged once.
  env.Fail(FailingStoreEnv::Call::kOpen, EMFILE, 1);
  EXPECT_FALSE(OpenTaskStore(*task, Stores()));
  EXPECT_EQ(task->storeError.load(), EMFILE);
  EXPECT_EQ(log_.Matching("Too many open files").size(), 1u);
  env.Fail(FailingStoreEnv::Call::kStat, EIO, 1);
  EXPECT_FALSE(OpenTaskStore(*task, Stores()));
  EXPECT_EQ(task->storeError.load(), EIO);
  EXPECT_EQ(log_.Matching("cannot open store").size(), 3u);
  ASSERT_TRUE(OpenTaskStore(*task, Stores()));
  ASSERT_TRUE(FlushBuffer(task->store, true).ok());

  const FailingStoreEnv::Call failing[] = {FailingStoreEnv::Call::kWrite,
                                           FailingStoreEnv::Call::kSync};
  const int errors[] = {ENOSPC, EIO};
  uint64_t ref = 1;
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    log_.Clear();
    const int64_t size = task->store.storeSize.load();
    const std::vector<uint8_t> before = ReadFileBytes(task->store.path);
    env.Fail(failing[k], errors[k], 3);
    for (int attempt = 0; attempt < 3; ++attempt) {
      CatalogRecord r = MakeRecord(ref, StateAdded, "f" + std::to_string(ref));
      EXPECT_FALSE(WriteRecord(task->store, r, false).ok());
      EXPECT_EQ(task->store.storeSize.load(), size);
      EXPECT_EQ(ReadFileBytes(task->store.path), before);
    }
    // One line for the three failures, one for the recovery.
    EXPECT_EQ(log_.Matching("failed: ").size(), 1u);
    CatalogRecord r = MakeRecord(ref, StateAdded, "f" + std::to_string(ref));
    EXPECT_TRUE(WriteRecord(task->store, r, false).ok());
    EXPECT_EQ(log_.Matching("writing works again").size(), 1u);
    ++ref;
  }
  // A write of two records whose fdatasync fails, and whose cutting back
  // fails too (twice): the cut is owed and made before the next write, so
  // the bytes it left cannot outlast a shorter write.
  log_.Clear();
  const int64_t size = task->store.storeSize.load();
  env.Fail(FailingStoreEnv::Call::kSync, EIO, 1);
  env.truncatesToFail = 2;
  {
    CatalogRecord a = MakeRecord(ref, StateAdded, "lost-a");
    CatalogRecord b = MakeRecord(ref + 1, StateAdded, "lost-b");
    WriterLock lock(&task->catalogLock);
    StageRecord(task->store, a, false);
    StageRecord(task->store, b, false);
  }
  EXPECT_FALSE(CommitStaged(task->store).ok());
  EXPECT_GT(static_cast<int64_t>(std::filesystem::file_size(task->store.path)), size);
  EXPECT_EQ(log_.Matching("cutting back").size(), 1u);
  {
    // The owed cut fails again: nothing is written.
    CatalogRecord r = MakeRecord(ref, StateAdded, "x");
    EXPECT_FALSE(WriteRecord(task->store, r, false).ok());
  }
  {
    CatalogRecord r = MakeRecord(ref, StateAdded, "x");
    EXPECT_TRUE(WriteRecord(task->store, r, false).ok());
  }
  EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(task->store.path)),
            task->store.storeSize.load());
  EXPECT_EQ(log_.Matching("cutting back").size(), 1u);
  ++ref;
  StoreContents file(task->store.path);
  EXPECT_TRUE(file.damageOffsets.empty());
  EXPECT_EQ(file.Entries().size(), 3u);

  // A read that fails at load leaves the store closed (an empty catalog
  // would tell clients to delete their copies) until it reads back.
  env.Fail(FailingStoreEnv::Call::kRead, EIO, 1);
  task.reset();
  auto reloaded = Open("faults");
  EXPECT_FALSE(reloaded->storeOpen.load());
  EXPECT_EQ(reloaded->storeError.load(), EIO);
  EXPECT_TRUE(reloaded->entries.empty());
  ASSERT_TRUE(OpenTaskStore(*reloaded, Stores()));
  EXPECT_EQ(reloaded->entries.size(), 3u);
  EXPECT_FALSE(reloaded->needsRebuild.load());
  env_ = Env::Default();
}

TEST_F(CatalogStoreTest, FailedWriteOnAReadOnlyDescriptorChangesNothing) {
  auto task = Open("readonly");
  CatalogRecord& entry = task->entries[1] = MakeRecord(1, StateAdded, "a.txt");
  ASSERT_TRUE(WriteEntry(*task, entry, false).ok());
  int64_t goodSize = task->store.storeSize.load();
  std::vector<uint8_t> before = ReadFileBytes(task->store.path);

  int readOnly = ::open(task->store.path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(readOnly, 0);
  task->store.fd.reset(readOnly);
  entry.set_state(StateUpdated);
  entry.set_version(1);
  int64_t count = task->store.recordCount;
  EXPECT_FALSE(WriteEntry(*task, entry, false).ok());
  EXPECT_EQ(task->store.recordCount, count + 2);  // record and seal used up
  EXPECT_EQ(task->store.storeSize.load(), goodSize);
  EXPECT_EQ(ReadFileBytes(task->store.path), before);
  EXPECT_EQ(FindEntry(*task, 1)->state(), StateUpdated);  // kept in memory
  EXPECT_EQ(log_.Matching("failed").size() >= 1, true);
}

// A tmpfs of a few pages, mounted in a mount namespace of this process
// alone, makes the disk really run full.
class FullDiskTest : public CatalogStoreTest {
 protected:
  void SetUp() override {
    CatalogStoreTest::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      GTEST_SKIP() << "no private mount namespace: " << std::strerror(errno);
    }
    mountPoint_ = dir_ + "/small";
    std::filesystem::create_directories(mountPoint_);
    if (::mount("tmpfs", mountPoint_.c_str(), "tmpfs", 0, "size=32k") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    mounted_ = true;
    programDir_ = mountPoint_ + "/";
  }
  void TearDown() override {
    if (mounted_) ::umount2(mountPoint_.c_str(), MNT_DETACH);
    CatalogStoreTest::TearDown();
  }

  std::string mountPoint_;
  bool mounted_ = false;
};

TEST_F(FullDiskTest, FailedWriteIsCutBackAndTheEntryKept) {
  int written = 0;
  std::vector<uint8_t> lastGood;
  int64_t goodSize = 0;
  {
    auto task = Open("full");
    ASSERT_TRUE(task->store.fd.valid());
    bool failed = false;
    for (uint64_t ref = 1; ref < 1000 && !failed; ++ref) {
      CatalogRecord& entry = task->entries[ref] =
          MakeRecord(ref, StateAdded, "file" + std::to_string(ref), 3000);
      goodSize = task->store.storeSize.load();
      if (WriteEntry(*task, entry, false).ok()) {
        ++written;
        continue;
      }
      failed = true;
      EXPECT_EQ(task->store.storeSize.load(), goodSize);
      EXPECT_EQ(static_cast<int64_t>(
                    std::filesystem::file_size(task->store.path)),
                goodSize);
      EXPECT_NE(FindEntry(*task, ref), nullptr);
      // Header, records and the failed one, each with its seal.
      EXPECT_EQ(task->store.recordCount, 2 * written + 4);
    }
    ASSERT_TRUE(failed) << "the tmpfs never ran full";
    EXPECT_EQ(log_.Matching("No space left on device").size(), 1u);
  }
  log_.Clear();
  auto task = Open("full");
  EXPECT_EQ(static_cast<int>(task->entries.size()), written);
  EXPECT_EQ(task->store.recordCount, 2 * written + 2);
  EXPECT_TRUE(log_.Matching("damaged").empty());
}

}  // namespace
}  // namespace dirsync
