// Clients that try to make the server buffer, stall or mix up replies,
// over loopback against the server on the network library.
#include <fcntl.h>
#include <sys/socket.h>

#include <cstring>

#include "linkcore.h"
#include "protocol/protocol_constants.h"
#include "protocol/protocol_fixture.h"
#include "protocol/request_queue.h"

namespace dirsync {
namespace {

using dsclient::FrameWriter;
using dsclient::Message;

constexpr int32_t kRange = 4 * 1024 * 1024;

class HostileClientTest : public ProtocolTest {
 protected:
  // A frame header announcing total bytes.
  static std::string Header(int32_t total) {
    std::string h(6, '\0');
    h[0] = 'T';
    std::memcpy(&h[1], &total, 4);  // little-endian host
    return h;
  }
  // A request frame padded with an unknown parameter to exactly total
  // bytes.
  static std::string Padded(FrameWriter frame, size_t total) {
    const size_t bare = frame.Build().size();
    const size_t overhead = 1 + 4 + 4;  // name length, "pad\0", value length
    frame.Bytes("pad", std::string(total - bare - overhead, 'p'));
    return frame.Build();
  }
  // The id of the server's only link.
  uint64_t OnlyLinkId() {
    const std::vector<uint64_t> ids = site_.server().clientLinks().Ids();
    EXPECT_EQ(ids.size(), 1u);
    return ids.empty() ? 0 : ids[0];
  }
  static bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    for (int waited = 0; !done(); waited += 5) {
      if (waited >= ms) return false;
      ::usleep(5000);
    }
    return true;
  }
};

TEST_F(HostileClientTest, BeforeLoginFramesAreSmallAndTimeIsShort) {
  site_.WriteCredential("docs", kUid, kToken);
  site_.server().clientLinks().SetLoginTimeout(std::chrono::milliseconds(1000));

  // Logs in with the largest frame allowed before login.
  auto member = Connect();
  std::string reg = Padded(FrameWriter("reg").Text("uid", kUid).Text("token", kToken).Text("path", "docs"),
                           kMaxFrameBeforeLogin);
  ASSERT_EQ(reg.size(), static_cast<size_t>(kMaxFrameBeforeLogin));
  member->SendBytes(reg);
  Message m;
  ASSERT_EQ(member->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Text("data"), "ok");

  // A frame larger than any login closes the connection at its header.
  auto big = Connect();
  big->SendBytes(Header(kMaxFrameBeforeLogin + 1));
  EXPECT_TRUE(big->WaitForClose());
  EXPECT_TRUE(log_.Has("sent a frame of 65537 bytes before login (at most 65536); "
                       "connection closed.\n"));

  // One that stops halfway through a frame is closed by its deadline, as
  // is one that says nothing.
  auto slow = Connect();
  slow->SendBytes(Header(60000) + std::string(1000, 'x'));
  auto idle = Connect();
  EXPECT_TRUE(slow->WaitForClose(20000));
  EXPECT_TRUE(idle->WaitForClose(20000));
  EXPECT_TRUE(log_.Has("did not log in within 1000 ms; connection closed.\n"));
  // The logged-in one, whose deadline came first, stays, and takes frames
  // up to the protocol's limit.
  member->SendBytes(Padded(FrameWriter("ping").Int32("val", 7), 1024 * 1024));
  ASSERT_EQ(member->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Command(), "pong");
  EXPECT_EQ(m.Int32("val"), 7);
}

TEST_F(HostileClientTest, AClientThatNeverReadsHoldsAtMostTheBoundAndOneReply) {
  site_.WriteFile("big.bin", std::string(kRange + 64 * 1024, 'b'));
  site_.SetEntry(1, 1, "big.bin");
  auto c = LoggedIn();
  const uint64_t id = OnlyLinkId();
  // Forty ranges of 4 MiB asked at once, each at its own position, and
  // none read.
  constexpr int kRequests = 40;
  std::string requests;
  for (int i = 0; i < kRequests; ++i) {
    requests += FrameWriter("dload").Text("path", "big.bin").Int64("fid", 1)
                    .Int64("pos", i * 1024).Int32("ver", 1).Int32("size", kRange)
                    .Build();
  }
  ASSERT_TRUE(c->SendBytes(requests));
  // The server stops once the queued output passes the bound, and goes
  // on with nothing else meanwhile.
  RequestQueue& queue = site_.server().requests();
  ASSERT_TRUE(WaitFor([&] {
    return KRL_NetQueuedOutput(id) > kOutputBound && queue.WaitingCount() == 0 &&
           queue.RunningCount() == 0;
  })) << "queued " << KRL_NetQueuedOutput(id);
  EXPECT_LE(KRL_NetQueuedOutput(id), kOutputBound + kRange + 1024);

  // Reading now brings every reply, whole and in request order.
  for (int i = 0; i < kRequests; ++i) {
    Message m;
    ASSERT_EQ(c->Receive(&m, 20000), dsclient::Connection::Status::kOk) << i;
    EXPECT_EQ(m.Command(), "-dload");
    EXPECT_EQ(m.Int64("pos"), i * 1024) << i;
    EXPECT_EQ(m.Int32("len"), kRange) << i;
  }
  EXPECT_TRUE(Silent(*c, 100));
}

TEST_F(HostileClientTest, PipelinedRequestsAreAnsweredInRequestOrder) {
  site_.AppendStore(TestSite::MakeRecord(0, 0x5e5e1234, StateHeader, ""));
  site_.AppendStore(TestSite::MakeRecord(9, 1, StateAdded, "a.txt"));
  site_.SetEntry(9, 1, "a.txt");
  site_.WriteFile("a.txt", "hello");
  auto c = LoggedIn();
  std::string all;
  all += FrameWriter("list").Text("path", "docs").Int64("pos", 0).Int32("zip", 1).Build();
  all += FrameWriter("ping").Int64("pos", 0).Int32("val", 1).Build();
  all += FrameWriter("dload").Text("path", "a.txt").Int64("fid", 9).Int64("pos", 0)
             .Int32("ver", 1).Int32("size", 5).Build();
  all += FrameWriter("ping").Int64("pos", 0).Int32("val", 2).Build();
  all += FrameWriter("dload").Text("path", "a.txt").Int64("fid", 9).Int64("pos", 0)
             .Int32("ver", 7).Int32("size", 5).Build();
  all += FrameWriter("list").Text("path", "docs").Int64("pos", 0).Int32("zip", 0).Build();
  all += FrameWriter("ping").Int64("pos", 0).Int32("val", 3).Build();
  ASSERT_TRUE(c->SendBytes(all));
  std::vector<std::string> words;
  std::vector<Message> replies;
  for (int i = 0; i < 7; ++i) {
    Message m;
    ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk) << i;
    words.push_back(m.Command());
    replies.push_back(m);
  }
  EXPECT_EQ(words, Names({"-list", "pong", "-dload", "pong", "-dload", "-list", "pong"}));
  EXPECT_EQ(replies[1].Int32("val"), 1);
  EXPECT_EQ(replies[2].Int32("len"), 5);
  EXPECT_TRUE(replies[4].Has("err"));  // the version moved on
  EXPECT_EQ(replies[3].Int32("val"), 2);
  EXPECT_EQ(replies[5].Int32("len"), replies[0].Int32("len"));
  EXPECT_EQ(replies[6].Int32("val"), 3);
}

}  // namespace
}  // namespace dirsync
