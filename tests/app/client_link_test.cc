// The client-link table and the framing of received bytes, driven through
// the callbacks with a capturing network (no sockets).
#include <gtest/gtest.h>

#include <thread>

#include "app/client_link_table.h"
#include "frame.h"
#include "protocol/frame_feed.h"
#include "protocol/protocol_constants.h"
#include "protocol/capturing_net.h"
#include "catalog/sync_task.h"

namespace dirsync {
namespace {

using dsclient::FrameWriter;

class ClientLinkTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kId = 7;

  void SetUp() override {
    task_.name = "docs";
    task_.store.storeSize = 1234;
    net_.Open(kId);
  }
  void TearDown() override { net_.PeerClose(kId); }

  // Logs the link in without a "reg", so that "ping" is answered.
  void LogIn() { net_.Find(kId)->task = &task_; }

  static std::string Ping(int32_t val) {
    return FrameWriter("ping").Int32("val", val).Build();
  }
  size_t Buffered() { return net_.Find(kId)->inBuffer.size(); }
  std::vector<int32_t> PongValues(uint64_t id = kId) {
    std::vector<int32_t> values;
    for (const auto& m : net_.Replies(id)) {
      EXPECT_EQ(m.Command(), "pong");
      values.push_back(m.Int32("val").value_or(-1));
    }
    return values;
  }
  static std::string Header(uint8_t lead, int32_t total) {
    std::string h(6, '\0');
    h[0] = static_cast<char>(lead);
    for (int i = 0; i < 4; ++i) h[1 + i] = static_cast<char>(static_cast<uint32_t>(total) >> (8 * i));
    return h;
  }

  SyncTask task_;
  CapturingNet net_;
};

TEST_F(ClientLinkTest, OpenAndCloseEventsKeepTheTableConsistent) {
  auto link = net_.Find(kId);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->connId, kId);
  EXPECT_EQ(link->task, nullptr);
  EXPECT_FALSE(link->dlFile.valid());

  // A second open event under the same id replaces the link.
  OnConnectionEvent(kId, 1);
  EXPECT_NE(net_.Find(kId), link);
  EXPECT_TRUE(link->closed.load());

  OnConnectionEvent(kId, 0);
  EXPECT_EQ(net_.Find(kId), nullptr);
  OnConnectionEvent(kId, 0);  // a close for an unknown id does nothing
  // Data after the close event is dropped.
  Deliver(kId, Ping(1));
  EXPECT_TRUE(net_.SentBytes(kId).empty());
}

TEST_F(ClientLinkTest, TwoFramesInOneChunkAreDispatchedInOrder) {
  LogIn();
  Deliver(kId, Ping(1) + Ping(2));
  EXPECT_EQ(PongValues(), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(Buffered(), 0u);
}

TEST_F(ClientLinkTest, FrameSplitOverThreeChunks) {
  LogIn();
  std::string first = Ping(1);
  std::string second = Ping(2);
  Deliver(kId, first.substr(0, 4));  // a 4-byte chunk: buffered only
  EXPECT_EQ(Buffered(), 4u);
  Deliver(kId, first.substr(4, 10));
  EXPECT_EQ(Buffered(), 14u);
  EXPECT_TRUE(PongValues().empty());
  // The third piece completes the frame; the frame behind it in the same
  // chunk goes through the buffer too.
  Deliver(kId, first.substr(14) + second);
  EXPECT_EQ(PongValues(), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(Buffered(), 0u);
}

TEST_F(ClientLinkTest, SixByteFramesAreDroppedWithoutClosing) {
  LogIn();
  Deliver(kId, Header(0x54, 6));
  EXPECT_EQ(Buffered(), 0u);
  EXPECT_FALSE(net_.Closed(kId));
  Deliver(kId, Header(0x54, 6) + Ping(3) + Header(0x54, 6));
  EXPECT_EQ(PongValues(), (std::vector<int32_t>{3}));
  EXPECT_EQ(Buffered(), 0u);
  EXPECT_FALSE(net_.Closed(kId));
}

TEST_F(ClientLinkTest, WrongLeadByteClosesOnceSixBytesAreThere) {
  LogIn();
  std::string bad = Ping(1);
  bad[0] = 0x55;
  Deliver(kId, bad.substr(0, 5));
  EXPECT_FALSE(net_.Closed(kId));
  Deliver(kId, bad.substr(5));
  EXPECT_TRUE(net_.Closed(kId));
  EXPECT_EQ(net_.Find(kId), nullptr);
}

TEST_F(ClientLinkTest, FramesAfterAWrongLeadByteAreNotLookedAt) {
  LogIn();
  std::string bad = Ping(2);
  bad[0] = 0x55;
  Deliver(kId, Ping(1) + bad + Ping(3));
  EXPECT_EQ(PongValues(), (std::vector<int32_t>{1}));
  EXPECT_TRUE(net_.Closed(kId));
}

TEST_F(ClientLinkTest, ImpossibleTotalLengthsClose) {
  for (int32_t total : {0, 5, -1, -100000, 16 * 1024 * 1024 + 1, 0x7fffffff}) {
    SCOPED_TRACE(total);
    net_.Open(kId);
    // Alone (through the buffer) and at the end of a chunk (fast path).
    Deliver(kId, Header(0x54, total));
    EXPECT_TRUE(net_.Closed(kId));
    net_.Open(kId);
    LogIn();
    Deliver(kId, Ping(9) + Header(0x54, total) + "xyz");
    EXPECT_TRUE(net_.Closed(kId));
    EXPECT_EQ(net_.Find(kId), nullptr);
  }
}

TEST_F(ClientLinkTest, LargestFrameIsReassembled) {
  // A frame of the largest accepted length is buffered, not refused.
  const int32_t total = 16 * 1024 * 1024;
  std::string frame = FrameWriter("ping").Bytes("info", std::string(total - 6 - 14 - 10, 'x')).Build();
  ASSERT_EQ(frame.size(), static_cast<size_t>(total));
  LogIn();
  for (size_t at = 0; at < frame.size(); at += 8188) Deliver(kId, frame.substr(at, 8188));
  EXPECT_FALSE(net_.Closed(kId));
  EXPECT_EQ(PongValues().size(), 1u);
  EXPECT_EQ(Buffered(), 0u);
  // The reassembly room is given back once the frame is handled.
  EXPECT_LE(net_.Find(kId)->inBuffer.capacity(), kKeptInputCapacity);
}

TEST_F(ClientLinkTest, NegativeParameterLengthsClose) {
  LogIn();
  // Name length -1.
  std::string negativeName = FrameWriter("ping").Raw(std::string("\xff" "abcd\0\0\0\0\0", 10)).Build();
  Deliver(kId, Ping(1) + negativeName + Ping(2));
  EXPECT_EQ(PongValues(), (std::vector<int32_t>{1}));
  EXPECT_TRUE(net_.Closed(kId));

  net_.Open(kId);
  LogIn();
  // Value length -1.
  std::string negativeValue = FrameWriter("ping").Raw(std::string("\x04" "pos\0\xff\xff\xff\xff", 9)).Build();
  Deliver(kId, negativeValue);
  EXPECT_TRUE(net_.Closed(kId));
  EXPECT_EQ(PongValues(), (std::vector<int32_t>{1}));  // still only the first
}

TEST_F(ClientLinkTest, FramesAfterAHandlerClosedTheConnectionAreNotHandled) {
  LogIn();
  std::string unknownTask = FrameWriter("reg").Text("uid", "u").Text("token", "t").Text("path", "no-such-task").Build();
  Deliver(kId, Ping(1) + unknownTask + Ping(2));
  EXPECT_EQ(PongValues(), (std::vector<int32_t>{1}));
  EXPECT_TRUE(net_.Closed(kId));
}

TEST_F(ClientLinkTest, LinkOutlivesACloseEventFromAnotherThread) {
  LogIn();
  net_.HoldSends();
  // The data event stops inside the first reply's send ...
  std::thread data([] { Deliver(kId, Ping(1) + Ping(2)); });
  net_.WaitUntilSendHeld();
  // ... while the close event arrives on this thread.
  net_.PeerClose(kId);
  EXPECT_EQ(net_.Find(kId), nullptr);
  net_.ReleaseSends();
  data.join();
  // The link was still valid for the running event (the sanitizer build
  // checks the memory), and the frame after the close was not handled.
  EXPECT_TRUE(net_.Replies(kId).empty());
  EXPECT_EQ(net_.LinkCount(), 0u);
}

TEST_F(ClientLinkTest, AWaitingListHoldsItsOwnLinkOnly) {
  net_.UseRequestQueue();
  LogIn();
  constexpr uint64_t kOther = 8;
  net_.Open(kOther);
  net_.Find(kOther)->task = &task_;
  const std::string list = FrameWriter("list").Text("path", "docs").Int64("pos", 0).Build();

  // The list waits for a worker; the ping behind it waits for the list,
  // and what arrives meanwhile stays with the network.
  Deliver(kId, list + Ping(1));
  EXPECT_TRUE(net_.Replies(kId).empty());
  EXPECT_TRUE(net_.InputHeld(kId));
  Deliver(kId, Ping(2));
  EXPECT_EQ(net_.PendingInput(kId), Ping(2).size());
  // Another client's ping is answered at once.
  Deliver(kOther, Ping(5));
  EXPECT_EQ(PongValues(kOther), (std::vector<int32_t>{5}));

  EXPECT_EQ(net_.RunWorkers(), 1);
  std::vector<std::string> words;
  for (const auto& m : net_.Replies(kId)) words.push_back(m.Command());
  EXPECT_EQ(words, (std::vector<std::string>{"-list", "pong"}));
  EXPECT_FALSE(net_.InputHeld(kId));
  net_.Pump(kId);
  EXPECT_EQ(net_.Replies(kId).size(), 3u);
  EXPECT_EQ(net_.Replies(kId).back().Int32("val"), 2);
  net_.PeerClose(kOther);
}

TEST_F(ClientLinkTest, NoFrameIsHandledWhileTheOutputIsOverTheBound) {
  LogIn();
  // Replies worth more than the bound went out, and the network still
  // holds them.
  net_.Find(kId)->outputEstimate = kOutputBound + 1;
  net_.SetQueued(kId, kOutputBound + 1);
  Deliver(kId, Ping(1) + Ping(2));
  EXPECT_TRUE(PongValues().empty());
  EXPECT_TRUE(net_.InputHeld(kId));
  EXPECT_TRUE(net_.DrainArmed(kId));
  Deliver(kId, Ping(3));
  EXPECT_EQ(net_.PendingInput(kId), Ping(3).size());

  // Draining to just above the low mark changes nothing; reaching it
  // resumes the link where it stopped.
  net_.SetQueued(kId, kOutputLowMark + 1);
  EXPECT_TRUE(PongValues().empty());
  net_.SetQueued(kId, kOutputLowMark);
  EXPECT_EQ(PongValues(), (std::vector<int32_t>{1, 2}));
  EXPECT_FALSE(net_.InputHeld(kId));
  net_.Pump(kId);
  EXPECT_EQ(PongValues(), (std::vector<int32_t>{1, 2, 3}));

  // A bound passed again by the time the output is looked at parks it
  // again; one that drained meanwhile does not.
  net_.Find(kId)->outputEstimate = kOutputBound + 1;
  net_.SetQueued(kId, 0);
  Deliver(kId, Ping(4));
  EXPECT_EQ(PongValues().back(), 4);
  EXPECT_FALSE(net_.InputHeld(kId));
}

}  // namespace
}  // namespace dirsync
