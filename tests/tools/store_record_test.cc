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

namespace dsclient_tool {
namespace {

// The extension behind the names: "DSX", body length, items.
std::string Extension(uint32_t attributes, uint32_t mode, const std::string& before = "") {
  std::string item(10, '\0');
  item[0] = 1;
  item[1] = 8;
  PutLE(item, 2, attributes, 4);
  PutLE(item, 6, mode, 4);
  std::string body = before + item;
  return std::string("DSX") + static_cast<char>(body.size()) + body;
}

TEST(StoreRecordTest, ReadsTypeAndPermissionsBehindTheNames) {
  std::string file = Record(5, 1, std::string("a.txt\0", 6) + Extension(0x20, 0100600));
  // An unknown item first is passed over.
  std::string link = Record(6, 3, std::string("new\0old\0", 8) +
                                      Extension(0x400, 0120777, std::string("\x09\x02zz", 4)));
  std::string fifo = Record(7, 1, std::string("p\0", 2) + Extension(0x40, 0010644));
  std::string plain = Record(8, 1, "old-style");
  std::string cut = Record(9, 1, std::string("c\0", 2) + Extension(0x20, 0100644));
  cut[65 + 2 + 3] = 100;  // a body longer than the record
  std::vector<dsclient::StoreRecord> records;
  std::string data = file + link + fifo + plain + cut;
  ASSERT_EQ(dsclient::ParseStoreRecords(data, 0, &records), data.size());
  ASSERT_EQ(records.size(), 5u);
  EXPECT_TRUE(records[0].hasAttributes);
  EXPECT_EQ(records[0].mode, 0100600u);
  EXPECT_FALSE(records[0].isLink());
  EXPECT_FALSE(records[0].isSpecial());
  EXPECT_EQ(records[1].oldName, "old");
  EXPECT_TRUE(records[1].isLink());
  EXPECT_EQ(records[1].fileAttributes, 0x400u);
  EXPECT_TRUE(records[2].isSpecial());
  EXPECT_FALSE(records[3].hasAttributes);
  EXPECT_FALSE(records[3].isSpecial());
  EXPECT_FALSE(records[4].hasAttributes);
  EXPECT_EQ(records[4].name, "c");
}

}  // namespace
}  // namespace dsclient_tool
