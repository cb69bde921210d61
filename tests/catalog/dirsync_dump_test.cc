// Runs the dirsync-dump program on store files made by the store itself.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "store_test_util.h"
#include "catalog/catalog_store.h"

namespace dirsync {
namespace {

using testing_util::MakeRecord;
using testing_util::ReadFileBytes;
using testing_util::WriteFileBytes;

class DumpTest : public testing_util::TrackingTest {
 protected:
  // The program's output; status gets its exit code.
  static std::string Dump(const std::string& path, int* status) {
    std::string command = std::string(DIRSYNC_DUMP_PROGRAM) + " '" + path + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    std::string out;
    char chunk[4096];
    size_t n;
    while (pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
      out.append(chunk, n);
    }
    int raw = pipe != nullptr ? ::pclose(pipe) : -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
  }
};

TEST_F(DumpTest, PrintsEveryRecordAndASummary) {
  auto task = Open("dump");
  CatalogRecord added = MakeRecord(7, StateAdded, "a.txt", 0, 3);
  ASSERT_TRUE(WriteRecord(task->store, added, false).ok());
  CatalogRecord renamed = MakeRecord(7, StateRenamed, "b.txt", 80, 3);
  std::memcpy(renamed.mutable_name() + 6, "a.txt", 5);
  renamed.set_version(1);
  ASSERT_TRUE(WriteRecord(task->store, renamed, false).ok());
  ASSERT_TRUE(WriteMarker(task->store, 55, StateFiller, 0, false).ok());

  int status;
  std::string out = Dump(task->store.path, &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("offset=0 seq=1 state=header length=66"), std::string::npos)
      << out;
  // Every write ends with its seal, which the dump checks.
  EXPECT_NE(out.find("offset=66 seq=2 state=seal length=66 covers=0+66 crc="),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("offset=132 seq=3 state=added length=71 ref=7 parent=3 "
                     "usn=0 version=0 size=0 name=\"a.txt\"\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("offset=203 seq=4 state=seal length=66 covers=132+71 crc="),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("seq=5 state=renamed length=80 ref=7 parent=3 usn=0 "
                     "version=1 size=0 name=\"b.txt\" old=\"a.txt\"\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("seq=7 state=marker length=66 ref=0 parent=0 usn=55"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("records=8 entries=1 lastUsn=55 storeId=" +
                     std::to_string(task->storeId.load()) +
                     " bytes=547 seals=4 damage=0\n"),
            std::string::npos)
      << out;
}

TEST_F(DumpTest, ReportsDamageWithItsOffset) {
  std::string path;
  {
    auto task = Open("broken");
    CatalogRecord r = MakeRecord(7, StateAdded, "a.txt");
    ASSERT_TRUE(WriteRecord(task->store, r, false).ok());
    ASSERT_TRUE(WriteRecord(task->store, r, false).ok());
    path = task->store.path;
  }
  const std::vector<uint8_t> sound = ReadFileBytes(path);
  std::vector<uint8_t> bytes = sound;
  StoreLE32(bytes.data() + 132, 12);
  WriteFileBytes(path, bytes);
  int status;
  std::string out = Dump(path, &status);
  EXPECT_EQ(status, 1) << out;
  // The walk goes on with the second write, which its seal vouches for.
  EXPECT_NE(out.find("damage offset=132 end=269: record length 12 below 66\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("offset=269 seq=5 state=added"), std::string::npos) << out;
  EXPECT_NE(out.find("records=4 "), std::string::npos) << out;

  // One flipped bit leaves every record well formed; the seal finds it.
  bytes = sound;
  bytes[269 + kNameOffset] ^= 0x01;
  WriteFileBytes(path, bytes);
  out = Dump(path, &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("damage offset=269 end=406: the seal does not match the "
                     "records it covers\n"),
            std::string::npos)
      << out;

  Dump(dir_ + "/missing.db", &status);
  EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace dirsync
