#include "journal/event_parser.h"

#include <linux/fanotify.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/little_endian.h"

namespace dirsync {
namespace {

using Bytes = std::vector<unsigned char>;

const unsigned char kFsid[8] = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr int kHandleType = 1;

// An info record: header, fsid, an 8-byte handle (ref as it packs), name.
Bytes Info(uint8_t type, uint64_t ref, const char* name = nullptr,
           const unsigned char* fsid = kFsid, int handleType = kHandleType) {
  Bytes b(4 + 8 + 8 + 8, 0);
  b[0] = type;
  std::memcpy(&b[4], fsid, 8);
  StoreLE32(&b[12], 8);  // handle_bytes
  StoreLE32(&b[16], static_cast<uint32_t>(handleType));
  StoreLE64(&b[20], ref);
  if (name != nullptr) {
    std::string text(name);
    for (char c : text) b.push_back(static_cast<unsigned char>(c));
    b.push_back(0);
  }
  while (b.size() % 4 != 0) b.push_back(0);
  uint16_t length = static_cast<uint16_t>(b.size());
  std::memcpy(&b[2], &length, 2);
  return b;
}

Bytes Event(uint64_t mask, int32_t pid, const std::vector<Bytes>& infos) {
  fanotify_event_metadata meta{};
  meta.vers = FANOTIFY_METADATA_VERSION;
  meta.metadata_len = sizeof meta;
  meta.mask = mask;
  meta.fd = FAN_NOFD;
  meta.pid = pid;
  Bytes b(sizeof meta);
  size_t total = sizeof meta;
  for (const Bytes& i : infos) total += i.size();
  meta.event_len = static_cast<uint32_t>(total);
  std::memcpy(b.data(), &meta, sizeof meta);
  for (const Bytes& i : infos) b.insert(b.end(), i.begin(), i.end());
  return b;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class FanotifyEventParserTest : public ::testing::Test {
 protected:
  std::vector<FanotifyEvent> Parse(const Bytes& bytes, size_t* left = nullptr) {
    std::vector<FanotifyEvent> events;
    size_t rest = parser_.Parse(bytes.data(), bytes.size(), &events);
    if (left != nullptr) *left = rest;
    return events;
  }
  FanotifyEventParser parser_{FileHandleCodec::ForLayout(
                                  FileHandleCodec::Layout::kInodeGeneration8, kHandleType),
                              kFsid};
};

TEST_F(FanotifyEventParserTest, NamedEventsRenamesSelfAndOverflow) {
  Bytes bytes = Concat({
      Event(FAN_CREATE, 10, {Info(FAN_EVENT_INFO_TYPE_DFID_NAME, 100, "f"),
                             Info(FAN_EVENT_INFO_TYPE_FID, 200)}),
      Event(FAN_RENAME, 11, {Info(FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, 100, "f"),
                             Info(FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, 101, "g"),
                             Info(FAN_EVENT_INFO_TYPE_FID, 200)}),
      Event(FAN_ATTRIB | FAN_ONDIR, 12, {Info(FAN_EVENT_INFO_TYPE_DFID_NAME, 300, ".")}),
      Event(FAN_Q_OVERFLOW, 0, {}),
  });
  size_t left = 99;
  auto events = Parse(bytes, &left);
  EXPECT_EQ(left, 0u);
  ASSERT_EQ(events.size(), 4u);

  EXPECT_EQ(events[0].mask, FAN_CREATE);
  EXPECT_EQ(events[0].pid, 10);
  EXPECT_TRUE(events[0].hasDir && events[0].hasObject);
  EXPECT_EQ(events[0].dir, 100u);
  EXPECT_EQ(events[0].name, "f");
  EXPECT_EQ(events[0].object, 200u);
  EXPECT_FALSE(events[0].foreign);

  EXPECT_TRUE(events[1].hasOld && events[1].hasNew);
  EXPECT_EQ(events[1].oldDir, 100u);
  EXPECT_EQ(events[1].oldName, "f");
  EXPECT_EQ(events[1].newDir, 101u);
  EXPECT_EQ(events[1].newName, "g");
  EXPECT_EQ(events[1].object, 200u);

  // A directory reported as itself: the object, with no directory.
  EXPECT_TRUE(events[2].hasObject);
  EXPECT_EQ(events[2].object, 300u);
  EXPECT_FALSE(events[2].hasDir);

  EXPECT_EQ(events[3].mask, FAN_Q_OVERFLOW);
  EXPECT_FALSE(events[3].hasObject);
}

TEST_F(FanotifyEventParserTest, HandlesOfAnotherFilesystemOrTypeAreForeign) {
  const unsigned char otherFsid[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  auto events = Parse(Concat({
      Event(FAN_MODIFY, 1, {Info(FAN_EVENT_INFO_TYPE_FID, 5, nullptr, otherFsid)}),
      Event(FAN_MODIFY, 1, {Info(FAN_EVENT_INFO_TYPE_FID, 5, nullptr, kFsid, 2)}),
      Event(FAN_MODIFY, 1, {Info(FAN_EVENT_INFO_TYPE_FID, 5)}),
  }));
  ASSERT_EQ(events.size(), 3u);
  EXPECT_TRUE(events[0].foreign);
  EXPECT_TRUE(events[1].foreign);
  EXPECT_FALSE(events[2].foreign);
}

TEST_F(FanotifyEventParserTest, DamagedBytesNeverReadPastTheBuffer) {
  Bytes good = Event(FAN_CREATE, 1, {Info(FAN_EVENT_INFO_TYPE_DFID_NAME, 1, "n"),
                                     Info(FAN_EVENT_INFO_TYPE_FID, 2)});
  // Cut short: the whole event is left over.
  Bytes cut(good.begin(), good.end() - 3);
  size_t left = 0;
  EXPECT_TRUE(Parse(cut, &left).empty());
  EXPECT_EQ(left, cut.size());

  // An event length running past the buffer ends the parse there.
  Bytes tooLong = Concat({good, good});
  StoreLE32(&tooLong[good.size()], 100000);
  EXPECT_EQ(Parse(tooLong, &left).size(), 1u);
  EXPECT_EQ(left, good.size());

  // An event length below the header size ends the parse.
  Bytes tiny = good;
  StoreLE32(&tiny[0], 8);
  EXPECT_TRUE(Parse(tiny, &left).empty());
  EXPECT_EQ(left, tiny.size());

  // An info record of length 0, or one running past its event, ends that
  // event's records only; the next event still parses.
  Bytes zeroInfo = good;
  zeroInfo[sizeof(fanotify_event_metadata) + 2] = 0;
  zeroInfo[sizeof(fanotify_event_metadata) + 3] = 0;
  auto events = Parse(Concat({zeroInfo, good}), &left);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].hasDir);
  EXPECT_FALSE(events[0].hasObject);
  EXPECT_TRUE(events[1].hasObject);

  // A handle size beyond its record ends the event's records.
  Bytes bigHandle = good;
  StoreLE32(&bigHandle[sizeof(fanotify_event_metadata) + 12], 4000);
  events = Parse(bigHandle, &left);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].hasDir);

  // A name without its NUL stops at the record's end.
  Bytes noNul = Event(FAN_CREATE, 1, {Info(FAN_EVENT_INFO_TYPE_DFID_NAME, 1, "abc")});
  size_t nameAt = sizeof(fanotify_event_metadata) + 28;
  std::memset(&noNul[nameAt], 'z', noNul.size() - nameAt);
  events = Parse(noNul, &left);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, std::string(noNul.size() - nameAt, 'z'));

  // Records of a type the layer does not use are skipped.
  Bytes pidfd(8, 0);
  pidfd[0] = FAN_EVENT_INFO_TYPE_PIDFD;
  pidfd[2] = 8;
  events = Parse(Event(FAN_MODIFY, 1, {pidfd, Info(FAN_EVENT_INFO_TYPE_FID, 7)}));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].object, 7u);
}

}  // namespace
}  // namespace dirsync
