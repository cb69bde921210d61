// The reply builder, byte for byte.
#include "protocol/reply_builder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/client_link_table.h"
#include "protocol/capturing_net.h"

namespace dirsync {
namespace {

std::string Bytes(const ByteBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

TEST(ReplyBuilderTest, PongReplyIsTwentyBytes) {
  CapturingNet net;
  net.Open(11);
  auto link = net.Find(11);
  ByteBuffer reply;
  ASSERT_TRUE(BeginReply(reply, "pong"));
  SendReply(*link, reply);
  const std::string expected("\x54\x14\x00\x00\x00\x00"
                             "\x04\x63\x6d\x64\x00"
                             "\x05\x00\x00\x00"
                             "\x70\x6f\x6e\x67\x00", 20);
  EXPECT_EQ(net.SentBytes(11), expected);
  // The buffer is reused: a second reply starts from empty.
  ASSERT_TRUE(BeginReply(reply, "pong"));
  EXPECT_EQ(reply.size(), 20u);
  net.PeerClose(11);
}

TEST(ReplyBuilderTest, TextParameterCarriesItsNul) {
  ByteBuffer reply;
  ASSERT_TRUE(BeginReply(reply, "-list"));
  size_t start = reply.size();
  ASSERT_TRUE(AppendParam(reply, "path", "D:\\A", 0));
  EXPECT_EQ(Bytes(reply).substr(start),
            std::string("\x05\x70\x61\x74\x68\x00\x05\x00\x00\x00\x44\x3a\x5c\x41\x00", 15));
}

TEST(ReplyBuilderTest, IntegersAreLittleEndian) {
  ByteBuffer reply;
  ASSERT_TRUE(BeginReply(reply, "pong"));
  size_t start = reply.size();
  ASSERT_TRUE(AppendInt32Param(reply, "val", -2));
  ASSERT_TRUE(AppendInt64Param(reply, "max", 0x0102030405060708));
  EXPECT_EQ(Bytes(reply).substr(start),
            std::string("\x04val\0\x04\0\0\0\xfe\xff\xff\xff"
                        "\x04max\0\x08\0\0\0\x08\x07\x06\x05\x04\x03\x02\x01", 30));
}

TEST(ReplyBuilderTest, BinaryValueKeepsItsLength) {
  ByteBuffer reply;
  ASSERT_TRUE(BeginReply(reply, "-dload"));
  size_t start = reply.size();
  ASSERT_TRUE(AppendParam(reply, "data", "a\0b", 3));
  EXPECT_EQ(Bytes(reply).substr(start), std::string("\x05" "data\0" "\x03\0\0\0" "a\0b", 13));
}

}  // namespace
}  // namespace dirsync

namespace dirsync {
namespace {

TEST(ReplyBuilderTest, OpenParameterTakesItsLengthAtTheEnd) {
  ByteBuffer reply;
  ASSERT_TRUE(BeginReply(reply, "-list"));
  const size_t shape = reply.size();
  ASSERT_TRUE(AppendInt32Param(reply, "len", 0));
  const size_t lenEnd = reply.size();
  uint8_t* value = BeginOpenParam(reply, "data", 100);
  ASSERT_NE(value, nullptr);
  std::memcpy(value, "abc", 3);
  PatchInt32Param(reply, lenEnd, 3);
  FinishOpenParam(reply, value, 3);
  EXPECT_EQ(Bytes(reply).substr(shape),
            std::string("\x04len\0\x04\0\0\0\x03\0\0\0" "\x05" "data\0" "\x03\0\0\0" "abc", 26));
  // Cutting back drops what came after.
  TruncateReply(reply, shape);
  EXPECT_EQ(reply.size(), shape);
}

}  // namespace
}  // namespace dirsync
