#include "catalog/catalog_store.h"

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
  // Takes a new store's header to the file and writes one padding record
  // so that the next direct write lands at offset `position`.
  void PlaceAt(SyncTask& task, int64_t position) {
    ASSERT_TRUE(FlushBuffer(task.store, true).ok());
    CatalogRecord pad = MakeRecord(999, StateAdded, "pad",
                                   static_cast<int32_t>(position - 66));
    ASSERT_TRUE(WriteRecord(task.store, pad, false).ok());
    ASSERT_EQ(task.store.storeSize.load(), position);
  }
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
  expected.resize(64, 0);  // size and times
  expected.push_back(4);   // state
  expected.push_back(0);   // empty name
  EXPECT_EQ(ReadFileBytes(task->store.path), expected);
  EXPECT_EQ(task->store.storeSize.load(), 66);
  EXPECT_TRUE(task->store.buffer.empty());
}

TEST_F(CatalogStoreTest, DirectWriteToANewStoreTakesTheHeaderFirst) {
  auto task = Open("beta");
  ASSERT_TRUE(WriteMarker(task->store, 77, StateFiller, 0, false).ok());
  StoreContents file(task->store.path);
  ASSERT_EQ(file.records.size(), 2u);
  EXPECT_EQ(file.records[0].state, StateHeader);
  EXPECT_EQ(file.records[0].sequence, 1);
  EXPECT_EQ(file.records[1].offset, 66);
  EXPECT_EQ(file.records[1].sequence, 2);
  EXPECT_EQ(file.records[1].usn, 77);
  EXPECT_EQ(task->store.storeSize.load(), 132);
}

TEST_F(CatalogStoreTest, BlockRulesAtTheEndOfABlock) {
  constexpr int32_t L = 100;
  struct Case {
    const char* name;
    int64_t position;       // where the record is written
    int64_t recordOffset;   // where it lands
    int32_t writtenLength;  // its length in the file
    bool filler;            // preceded by a filler
  };
  const Case cases[] = {
      {"fills", kBlockSize - L, kBlockSize - L, L, false},
      {"leaves67", kBlockSize - L - 67, kBlockSize - L - 67, L, false},
      {"leaves66", kBlockSize - L - 66, kBlockSize - L - 66, L + 66, false},
      {"leaves1", kBlockSize - L - 1, kBlockSize - L - 1, L + 1, false},
      {"nofit", kBlockSize - L + 1, kBlockSize, L, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto task = Open(c.name);
    PlaceAt(*task, c.position);
    int64_t n = task->store.recordCount;
    CatalogRecord entry = MakeRecord(7, StateAdded, "x.txt", L);
    ASSERT_TRUE(WriteRecord(task->store, entry, false).ok());

    EXPECT_EQ(entry.length(), L);  // the entry keeps its own length
    StoreContents file(task->store.path);
    ASSERT_TRUE(file.damageOffsets.empty());
    const StoredRecord& last = file.records.back();
    EXPECT_EQ(last.offset, c.recordOffset);
    EXPECT_EQ(last.length, c.writtenLength);
    EXPECT_EQ(last.name, "x.txt");
    int64_t expectedSequence = c.filler ? n + 2 : n + 1;
    EXPECT_EQ(last.sequence, expectedSequence);
    EXPECT_EQ(entry.sequence(), expectedSequence);
    EXPECT_EQ(task->store.recordCount, expectedSequence);
    if (c.filler) {
      const StoredRecord& filler = file.records[file.records.size() - 2];
      EXPECT_EQ(filler.offset, c.position);
      EXPECT_EQ(filler.length, kBlockSize - c.position);
      EXPECT_EQ(filler.state, StateFiller);
      EXPECT_EQ(filler.sequence, n + 1);
    }
    EXPECT_EQ(task->store.storeSize.load(), c.recordOffset + c.writtenLength);
    EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(task->store.path)),
              task->store.storeSize.load());
  }
}

TEST_F(CatalogStoreTest, BufferedWritesFlushWholeBlocks) {
  auto task = Open("gamma");  // header (66 bytes) in the buffer
  CatalogRecord big = MakeRecord(1, StateAdded, "big", kBlockSize / 2);
  ASSERT_TRUE(WriteRecord(task->store, big, true).ok());
  EXPECT_EQ(task->store.storeSize.load(), 0);  // still buffered
  // Does not fit behind the first: a filler closes the block and the
  // buffer, now exactly one block, goes to the file.
  ASSERT_TRUE(WriteRecord(task->store, big, true).ok());
  EXPECT_EQ(task->store.storeSize.load(), kBlockSize);
  EXPECT_EQ(task->store.buffer.size(), static_cast<size_t>(kBlockSize / 2));
  ASSERT_TRUE(FlushBuffer(task->store, true).ok());
  StoreContents file(task->store.path);
  ASSERT_EQ(file.records.size(), 4u);
  EXPECT_EQ(file.records[2].state, StateFiller);
  EXPECT_EQ(file.records[3].offset, kBlockSize);
  EXPECT_EQ(file.records[3].sequence, 4);
}

TEST_F(CatalogStoreTest, ReloadContinuesNumberingAndKeepsTheLastRecord) {
  int64_t lastSequence;
  {
    auto task = Open("delta");
    PlaceAt(*task, kBlockSize - 150);
    CatalogRecord a1 = MakeRecord(5, StateAdded, "a", 100);
    CatalogRecord a2 = MakeRecord(5, StateRenamed, "bb", 300);
    CatalogRecord a3 = MakeRecord(5, StateUpdated, "ccc", 120);
    ASSERT_TRUE(WriteRecord(task->store, a1, false).ok());  // leaves 50: extended
    ASSERT_TRUE(WriteMarker(task->store, 900, StateFiller, 0, false).ok());
    ASSERT_TRUE(WriteRecord(task->store, a2, false).ok());
    ASSERT_TRUE(WriteRecord(task->store, a3, false).ok());
    CatalogRecord dir = MakeRecord(8, StateDirectory, "d", 0, 3);
    ASSERT_TRUE(WriteRecord(task->store, dir, false).ok());
    lastSequence = task->store.recordCount;
    EXPECT_EQ(lastSequence, 7);  // header, pad, a1, marker, a2, a3, dir
  }
  auto task = Open("delta");
  EXPECT_EQ(task->store.recordCount, lastSequence);
  EXPECT_EQ(task->lastUsn, 900);
  EXPECT_TRUE(task->store.buffer.empty());
  ASSERT_EQ(task->entries.size(), 3u);  // pad, file 5, directory 8
  const CatalogRecord* five = FindEntry(*task, 5);
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(five->length(), 300);  // as large as the largest record
  EXPECT_EQ(five->nameView(), "ccc");
  EXPECT_EQ(five->state(), StateUpdated);
  EXPECT_EQ(five->sequence(), 6);
  EXPECT_EQ(task->dirIndex[3].count(8), 1u);
  EXPECT_EQ(log_.Matching("delta -> LastUsn=900, files=3").size(), 1u);

  ASSERT_TRUE(WriteMarker(task->store, 0, StateFiller, 0, false).ok());
  StoreContents file(task->store.path);
  EXPECT_EQ(file.records.back().sequence, lastSequence + 1);
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
    EXPECT_EQ(log_.Matching("cut off a torn record of 10 bytes at offset 0")
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
  std::vector<std::vector<uint8_t>> tails = {
      std::vector<uint8_t>(b.data(), b.data() + 150),  // cut short
      std::vector<uint8_t>(b.data(), b.data() + 40),   // not even a header
      std::vector<uint8_t>(500, 0),                    // zeros
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
    EXPECT_TRUE(log_.Matching("damaged store").size() >= 1u);
    EXPECT_EQ(log_.Matching("cut off a torn record").size(), 1u);
    EXPECT_EQ(ReadFileBytes(path).size(),
              static_cast<size_t>(good + kRecordHeaderSize + 1));
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
  EXPECT_TRUE(log_.Matching("cut off a torn record").empty());
}

TEST_F(CatalogStoreTest, DamageEndsTheWalkOfItsBlockOnly) {
  std::string path;
  int64_t damagedAt;
  {
    auto task = Open("damaged");
    ASSERT_TRUE(FlushBuffer(task->store, true).ok());
    CatalogRecord a = MakeRecord(1, StateAdded, "a");
    ASSERT_TRUE(WriteRecord(task->store, a, false).ok());
    damagedAt = task->store.storeSize.load();
    CatalogRecord b = MakeRecord(2, StateAdded, "b");
    ASSERT_TRUE(WriteRecord(task->store, b, false).ok());
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
    EXPECT_EQ(FindEntry(*task, 3), nullptr);
    EXPECT_NE(FindEntry(*task, 4), nullptr);  // the next block
    EXPECT_EQ(log_.Matching("damaged store " + path + " at offset " +
                            std::to_string(damagedAt))
                  .size(),
              1u);
  }

  // A name without its NUL skips that record alone.
  std::vector<uint8_t> bytes = sound;
  int32_t length = static_cast<int32_t>(LoadLE32(bytes.data() + damagedAt));
  std::memset(bytes.data() + damagedAt + kNameOffset, 'z', length - kNameOffset);
  WriteFileBytes(path, bytes);
  auto task = Open("damaged");
  EXPECT_EQ(FindEntry(*task, 2), nullptr);
  EXPECT_NE(FindEntry(*task, 3), nullptr);
  EXPECT_EQ(task->entries.size(), 3u);
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
    EXPECT_EQ(log_.Matching("cannot open store").size(), 1u);
    EXPECT_TRUE(log_.Matching("LastUsn=").empty());
  }
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
  EXPECT_EQ(task->store.recordCount, count + 1);  // the number is used up
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
      EXPECT_EQ(task->store.recordCount, written + 2);  // header + records
    }
    ASSERT_TRUE(failed) << "the tmpfs never ran full";
    EXPECT_GE(log_.Matching("No space left on device").size(), 1u);
  }
  log_.Clear();
  auto task = Open("full");
  EXPECT_EQ(static_cast<int>(task->entries.size()), written);
  EXPECT_EQ(task->store.recordCount, written + 1);
  EXPECT_TRUE(log_.Matching("damaged").empty());
}

}  // namespace
}  // namespace dirsync
