// Parameter parsing and dispatch of single frames.
#include "protocol/message_params.h"

#include <gtest/gtest.h>

#include "app/client_link_table.h"
#include "frame.h"
#include "protocol/capturing_net.h"
#include "protocol/dispatch.h"
#include "catalog/sync_task.h"

namespace dirsync {
namespace {

using dsclient::FrameWriter;

// Parses a whole frame built by the client library.
class ParseTest : public ::testing::Test {
 protected:
  bool Parse(const std::string& frame) {
    frame_ = frame;
    for (auto& slot : params_.slots) slot = nullptr;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(frame_.data());
    return ParseParams(params_, p + 6, p + frame_.size());
  }
  std::string Value(ParamSlot slot) {
    const ParamEntry* e = params_.slots[slot];
    return e ? std::string(reinterpret_cast<const char*>(e->value), static_cast<size_t>(e->length)) : "<none>";
  }
  std::string frame_;
  MessageParams params_;
};

TEST_F(ParseTest, EverySlotIsFoundByItsKey) {
  const char* names[kParamSlotCount] = {"cmd", "uid", "token", "max", "path", "fid", "cur", "data",
                                        "len", "size", "pos", "zip", "ver", "val", "err", "info", "time"};
  FrameWriter f("x");
  for (int i = 1; i < kParamSlotCount; ++i) f.Text(names[i], std::to_string(i));
  ASSERT_TRUE(Parse(f.Build()));
  EXPECT_EQ(Value(kSlotKey), std::string("x\0", 2));
  for (int i = 1; i < kParamSlotCount; ++i) {
    EXPECT_EQ(Value(static_cast<ParamSlot>(i)), std::to_string(i) + '\0') << names[i];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(params_.slots[i]->name)), names[i]);
  }
}

TEST_F(ParseTest, KeysAreRecognisedByTheirFirstFourBytes) {
  ASSERT_TRUE(Parse(FrameWriter("reg").Text("tokenABC", "secret").Text("cmdx", "other").Build()));
  EXPECT_EQ(Value(kSlotToken), std::string("secret\0", 7));
  EXPECT_EQ(Value(kSlotKey), std::string("reg\0", 4));  // cmdx is not cmd
}

TEST_F(ParseTest, ALaterOccurrenceOfAKeyWins) {
  ASSERT_TRUE(Parse(FrameWriter("ping").Int64("pos", 1).Int64("pos", 2).Build()));
  EXPECT_EQ(Int64Param(params_, kSlotPos), 2);
}

TEST_F(ParseTest, AParameterPastTheEndEndsParsing) {
  std::string frame = FrameWriter("list").Text("path", "p").Int64("pos", 5).Build();
  // Announce a value longer than the frame for "pos": it and what follows
  // are ignored, "path" stays.
  std::string broken = FrameWriter("list").Text("path", "p").Raw(std::string("\x04pos\0\x00\x01\x00\x00", 9)).Int32("zip", 1).Build();
  ASSERT_TRUE(Parse(broken));
  EXPECT_EQ(Value(kSlotPath), std::string("p\0", 2));
  EXPECT_EQ(params_.slots[kSlotPos], nullptr);
  EXPECT_EQ(params_.slots[kSlotZip], nullptr);
}

TEST_F(ParseTest, ANameReachingPastTheEndIsNotRead) {
  // Name length 100 with only a few bytes behind it: the value length
  // would lie outside the frame.
  ASSERT_TRUE(Parse(FrameWriter("ping").Raw(std::string("\x64" "abcdefg", 8)).Build()));
  EXPECT_EQ(Value(kSlotKey), std::string("ping\0", 5));
}

TEST_F(ParseTest, NegativeLengthsMakeTheFrameGarbage) {
  EXPECT_FALSE(Parse(FrameWriter("ping").Raw(std::string("\x80" "abcdefgh", 9)).Build()));
  EXPECT_FALSE(Parse(FrameWriter("ping").Raw(std::string("\x04" "pos\0\xfe\xff\xff\xff", 9)).Build()));
}

TEST_F(ParseTest, ShortNamesMatchNoKey) {
  // "cmd" without its NUL (name length 3) followed by a 0 byte of the value
  // length would read as "cmd\0"; it is not taken as the key.
  ASSERT_TRUE(Parse(FrameWriter("ping").Raw(std::string("\x03" "cmd" "\x02\x00\x00\x00" "xx", 10)).Build()));
  EXPECT_EQ(Value(kSlotKey), std::string("ping\0", 5));
}

TEST_F(ParseTest, TrailingBytesOfSixOrFewerAreIgnored) {
  ASSERT_TRUE(Parse(FrameWriter("ping").Raw(std::string("\x04" "val\0\x04", 6)).Build()));
  EXPECT_EQ(params_.slots[kSlotVal], nullptr);
}

TEST_F(ParseTest, TextsNeedTheirNulAndIntegersTheirExactWidth) {
  ASSERT_TRUE(Parse(FrameWriter("reg").Bytes("uid", "abc").Text("path", "D:\\A").Bytes("token", "")
                        .Int64("zip", 1).Int32("ver", -2).Bytes("info", std::string("a\0b\0", 4)).Build()));
  EXPECT_EQ(TextParam(params_, kSlotUid), nullptr);    // no NUL within
  EXPECT_EQ(TextParam(params_, kSlotToken), nullptr);  // value length 0
  EXPECT_STREQ(TextParam(params_, kSlotPath), "D:\\A");
  EXPECT_STREQ(TextParam(params_, kSlotInfo), "a");
  EXPECT_EQ(TextParam(params_, kSlotMax), nullptr);    // absent
  EXPECT_EQ(Int32Param(params_, kSlotZip), 0);         // 8 bytes is no int32
  EXPECT_EQ(Int64Param(params_, kSlotZip), 1);
  EXPECT_EQ(Int32Param(params_, kSlotVer), -2);
  EXPECT_EQ(Int64Param(params_, kSlotVer, 99), 99);
}

// Whole frames through DispatchMessage on a logged-in link.
class DispatchTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kId = 3;
  void SetUp() override {
    task_.store.storeSize = 10;
    net_.Open(kId);
    net_.Find(kId)->task = &task_;
  }
  void TearDown() override { net_.PeerClose(kId); }
  bool Dispatch(const std::string& frame) {
    return DispatchMessage(*net_.Find(kId), reinterpret_cast<const uint8_t*>(frame.data()),
                           static_cast<int32_t>(frame.size()),
                           ThreadScratch()) != DispatchResult::kGarbage;
  }
  SyncTask task_;
  CapturingNet net_;
};

TEST_F(DispatchTest, WordsOutsideTheRequestsAreIgnored) {
  for (const char* word : {"hello", "pong", "-reg", "-list", "-dload", ""}) {
    EXPECT_TRUE(Dispatch(FrameWriter(word).Int32("val", 1).Build())) << word;
  }
  EXPECT_TRUE(Dispatch(FrameWriter("x").Build().substr(0, 6)));  // no parameters
  EXPECT_TRUE(net_.SentBytes(kId).empty());
  EXPECT_FALSE(net_.Closed(kId));
  // "pingpong" is recognised by its first four bytes: a ping.
  EXPECT_TRUE(Dispatch(FrameWriter("pingpong").Build()));
  EXPECT_EQ(net_.Replies(kId).size(), 1u);
}

TEST_F(DispatchTest, ACommandShorterThanFourBytesIsNoCommand) {
  // "cmd" of 3 bytes "pin" followed in the frame by the byte 'g': its first
  // four bytes read "ping", but the word is only "pin".
  std::string frame = FrameWriter("x").Build().substr(0, 6) + std::string("\x04" "cmd\0\x03\x00\x00\x00" "pin" "g", 13);
  frame[1] = static_cast<char>(frame.size());
  EXPECT_TRUE(Dispatch(frame));
  EXPECT_TRUE(net_.SentBytes(kId).empty());
}

TEST_F(DispatchTest, CommandWithoutUsableCmdIsDropped) {
  // Parameters but no "cmd", and a "cmd" of value length 0.
  std::string noCmd = FrameWriter("x").Build().substr(0, 6) + std::string("\x04val\0\x04\0\0\0abcd", 13);
  noCmd[1] = static_cast<char>(noCmd.size());
  EXPECT_TRUE(Dispatch(noCmd));
  std::string emptyCmd = FrameWriter("x").Build().substr(0, 6) + std::string("\x04" "cmd\0\0\0\0\0", 9);
  emptyCmd[1] = static_cast<char>(emptyCmd.size());
  EXPECT_TRUE(Dispatch(emptyCmd));
  EXPECT_TRUE(net_.SentBytes(kId).empty());
}

}  // namespace
}  // namespace dirsync
