#include "store_record.h"

#include <gtest/gtest.h>


namespace dsclient_tool {
namespace {

void PutLE(std::string& s, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

std::string Record(uint64_t ref, uint8_t state, const std::string& names,
                   uint32_t version = 1, int32_t length = 0) {
  int32_t needed = 65 + static_cast<int32_t>(names.size()) + 1;
  if (length == 0) length = needed;
  std::string r(static_cast<size_t>(length), '\0');
  PutLE(r, 0, static_cast<uint32_t>(length), 4);
  PutLE(r, 4, 9, 8);
  PutLE(r, 12, ref, 8);
  PutLE(r, 20, 77, 8);
  PutLE(r, 36, version, 4);
  PutLE(r, 40, 0x100000001ULL, 8);
  PutLE(r, 56, 134411202528712595ULL, 8);
  r[64] = static_cast<char>(state);
  std::copy(names.begin(), names.end(), r.begin() + 65);
  return r;
}

TEST(StoreRecordTest, ParsesRecordsWithTheirNames) {
  std::string data = Record(5, 1, "a\\b.txt") +
                     Record(6, 3, std::string("new.txt\0old.txt", 15), 4) +
                     Record(0, 0, "", 0, 200);  // a filler
  std::vector<dsclient::StoreRecord> records;
  int64_t damageAt = -1;
  EXPECT_EQ(dsclient::ParseStoreRecords(data, 1000, &records, &damageAt), data.size());
  EXPECT_EQ(damageAt, 1000 + static_cast<int64_t>(data.size()));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].offset, 1000);
  EXPECT_EQ(records[0].fileRef, 5u);
  EXPECT_EQ(records[0].parentRef, 77u);
  EXPECT_EQ(records[0].sequence, 9);
  EXPECT_EQ(records[0].fileSize, 0x100000001ULL);
  EXPECT_EQ(records[0].lastWriteTime, 134411202528712595ULL);
  EXPECT_EQ(records[0].name, "a\\b.txt");
  EXPECT_EQ(records[1].kind(), dsclient::RecordState::kRenamed);
  EXPECT_EQ(records[1].name, "new.txt");
  EXPECT_EQ(records[1].oldName, "old.txt");
  EXPECT_EQ(records[1].version, 4u);
  EXPECT_EQ(records[2].offset, 1000 + static_cast<int64_t>(data.size()) - 200);
  EXPECT_EQ(records[2].kind(), dsclient::RecordState::kFiller);
}

TEST(StoreRecordTest, StopsAtDamageOrACutOffRecord) {
  std::string good = Record(5, 1, "a");
  std::string tooShortLength = Record(6, 1, "b");
  PutLE(tooShortLength, 0, 40, 4);
  for (const std::string& bad :
       {tooShortLength, std::string(30, 'x'), Record(6, 1, "bbbbbbbbbb").substr(0, 70)}) {
    std::vector<dsclient::StoreRecord> records;
    int64_t damageAt = 0;
    EXPECT_EQ(dsclient::ParseStoreRecords(good + bad, 0, &records, &damageAt), good.size());
    EXPECT_EQ(damageAt, static_cast<int64_t>(good.size()));
    EXPECT_EQ(records.size(), 1u);
  }
  // A name without its NUL ends at the record's end, never past it.
  std::string noNul = Record(7, 1, std::string(10, 'n'), 1, 75);
  std::vector<dsclient::StoreRecord> records;
  dsclient::ParseStoreRecords(noNul + good, 0, &records);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].name, std::string(10, 'n'));
}

}  // namespace
}  // namespace dsclient_tool
