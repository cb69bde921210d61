// The host's control of a connection's flow in linkcore: holding input,
// asking for queued output and for a notice once it drained; and
// listening on one address.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linkcore.h"
#include "net_test_util.h"

namespace linkcore_test {
namespace {

// Data callback that holds the connection's input when it sees "hold",
// from inside the callback, as a host that hands work elsewhere does.
void HoldOnRequest(uint64_t id, const char* data, int length) {
  RecordData(id, data, length);
  if (std::string(data, static_cast<size_t>(length)).find("hold") !=
      std::string::npos) {
    EXPECT_EQ(KRL_NetHoldInput(id, 1), 1);
  }
}

std::atomic<int> drains{0};
std::atomic<uint64_t> drainedId{0};
void CountDrain(uint64_t id) {
  drainedId = id;
  ++drains;
}

TEST(NetFlow, HeldInputWaitsQueuedOutputIsToldAndItsDrainNoticed) {
  ASSERT_EQ(KRL_NetInit(1), 1);
  const int port = ListenOnFreePort(HoldOnRequest, RecordEvent, nullptr);
  ASSERT_GT(port, 0);
  PeerSocket peer = PeerSocket::Connect(port);
  ASSERT_TRUE(peer.valid());
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == 1; }, 2000));
  const uint64_t id = Events().OpenOrder()[0];

  // Held with nothing queued: the connection has no interest at all, yet
  // what comes meanwhile is read once the hold is released.
  ASSERT_TRUE(peer.SendAll("hold"));
  ASSERT_TRUE(WaitFor([&] { return Events().Get(id).data == "hold"; }, 2000));
  ASSERT_TRUE(peer.SendAll("more"));
  EXPECT_FALSE(WaitFor([&] { return Events().Get(id).data.size() > 4; }, 300));
  EXPECT_EQ(KRL_NetHoldInput(id, 0), 1);
  EXPECT_TRUE(WaitFor([&] { return Events().Get(id).data == "holdmore"; }, 2000));

  // Output the peer does not read is reported queued; a drain notice
  // armed above the mark comes once the peer reads, exactly once.
  EXPECT_EQ(KRL_NetQueuedOutput(id), 0);
  EXPECT_EQ(KRL_NetNotifyDrained(id, 0, CountDrain), 2);  // nothing queued
  const std::string block(1 << 20, 'q');
  size_t sent = 0;
  while (KRL_NetQueuedOutput(id) < (8 << 20) && sent < (256u << 20)) {
    ASSERT_EQ(KRL_NetSend(id, block.data(), static_cast<int>(block.size())), 1);
    sent += block.size();
  }
  const int64_t queued = KRL_NetQueuedOutput(id);
  EXPECT_GE(queued, 8 << 20);
  EXPECT_LE(queued, static_cast<int64_t>(sent));
  EXPECT_EQ(KRL_NetNotifyDrained(id, 1 << 20, CountDrain), 1);
  EXPECT_FALSE(WaitFor([] { return drains.load() != 0; }, 200));
  size_t read = 0;
  char buffer[1 << 16];
  while (read < sent) {
    const ssize_t n = recv(peer.fd(), buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    read += static_cast<size_t>(n);
  }
  EXPECT_TRUE(WaitFor([] { return drains.load() == 1; }, 2000));
  EXPECT_EQ(drainedId.load(), id);
  EXPECT_EQ(KRL_NetQueuedOutput(id), 0);

  // A held connection closes as any other, and is destroyed.
  ASSERT_TRUE(peer.SendAll("hold"));
  ASSERT_TRUE(WaitFor([&] { return Events().Get(id).data == "holdmorehold"; }, 2000));
  const int deletedBefore = DumpNumber("Deleted Handles");
  EXPECT_EQ(KRL_NetDisConnect(id), 1);
  EXPECT_EQ(Events().Closes(), 1);
  EXPECT_TRUE(WaitFor([&] { return DumpNumber("Deleted Handles") == deletedBefore + 1; },
                      5000));
  EXPECT_TRUE(peer.WaitForEnd(2000));
  EXPECT_EQ(drains.load(), 1);

  // So does one whose send fails while it is held: the peer reset it.
  PeerSocket reset = PeerSocket::Connect(port);
  ASSERT_TRUE(reset.valid());
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == 2; }, 2000));
  const uint64_t resetId = Events().OpenOrder()[1];
  ASSERT_TRUE(reset.SendAll("hold"));
  ASSERT_TRUE(WaitFor([&] { return Events().Get(resetId).data == "hold"; }, 2000));
  linger abort = {1, 0};
  setsockopt(reset.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  reset.Close();
  const int deletedBeforeReset = DumpNumber("Deleted Handles");
  ASSERT_TRUE(WaitFor([&] {
    KRL_NetSend(resetId, "x", 1);
    return Events().Closes() == 2;
  }, 5000));
  EXPECT_TRUE(WaitFor([&] { return DumpNumber("Deleted Handles") == deletedBeforeReset + 1; },
                      5000));

  // Calls on an id that is gone.
  EXPECT_EQ(KRL_NetHoldInput(id, 1), 0);
  EXPECT_EQ(KRL_NetQueuedOutput(id), -1);
  EXPECT_EQ(KRL_NetNotifyDrained(id, 0, CountDrain), 0);
}

// Whether a TCP connection to address:port is accepted.
bool Reaches(const char* address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &to.sin_addr);
  const bool reached = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  close(fd);
  return reached;
}

TEST(NetFlow, ListensOnOneAddressOrOnAll) {
  ASSERT_EQ(KRL_NetInit(1), 1);
  // 127.0.0.2 is a loopback address too, but not the one listened on.
  int one = -1;
  for (int attempt = 0; attempt < 20 && one < 0; ++attempt) {
    const int port = FreePort();
    if (KRL_NetListenAt("127.0.0.1", port, RecordData, RecordEvent, nullptr) == 1) {
      one = port;
    } else {
      KRL_NetUnListen(port);
    }
  }
  ASSERT_GT(one, 0);
  EXPECT_TRUE(Reaches("127.0.0.1", one));
  EXPECT_FALSE(Reaches("127.0.0.2", one));

  int all = -1;
  for (int attempt = 0; attempt < 20 && all < 0; ++attempt) {
    const int port = FreePort();
    if (KRL_NetListenAt("", port, RecordData, RecordEvent, nullptr) == 1) {
      all = port;
    } else {
      KRL_NetUnListen(port);
    }
  }
  ASSERT_GT(all, 0);
  EXPECT_TRUE(Reaches("127.0.0.2", all));

  // A name that does not resolve leaves nothing in the table.
  const int ports = DumpNumber("Listen Ports");
  const int unused = FreePort();
  EXPECT_EQ(KRL_NetListenAt("no-such-host.invalid", unused, RecordData, RecordEvent,
                            nullptr),
            0);
  EXPECT_EQ(DumpNumber("Listen Ports"), ports);
  EXPECT_EQ(KRL_NetUnListen(unused), 0);
}

// The last bytes of a peer and its close, arriving together, are both
// seen: the data, then the close event, for every connection.
TEST(NetFlow, LastBytesAndThePeersCloseArrivingTogetherAreBothSeen) {
  ASSERT_EQ(KRL_NetInit(5), 1);
  const int port = ListenOnFreePort(RecordData, RecordEvent, nullptr);
  ASSERT_GT(port, 0);
  constexpr int kPeers = 50;
  std::vector<PeerSocket> peers;
  ConnectInOrder(port, kPeers, &peers);
  for (PeerSocket& peer : peers) {
    ASSERT_TRUE(peer.SendAll("bye"));
    peer.Close();
  }
  EXPECT_TRUE(WaitFor([] { return Events().Closes() == kPeers; }, 3000))
      << Events().Closes() << " closes";
  for (uint64_t id : Events().OpenOrder()) EXPECT_EQ(Events().Get(id).data, "bye");
}

// A data callback that does not return (a host blocked on a lock or the
// disk) holds up neither the other connections nor new ones: the I/O
// threads that stand by take over within a sweep or two.
std::atomic<bool> releaseBlocked{false};
std::atomic<int> blockedNow{0};
void BlockOnRequest(uint64_t id, const char* data, int length) {
  RecordData(id, data, length);
  if (std::string(data, static_cast<size_t>(length)) != "block") return;
  ++blockedNow;
  for (int waited = 0; !releaseBlocked.load() && waited < 10000; waited += 5) {
    ::usleep(5000);
  }
  --blockedNow;
}

TEST(NetFlow, ACallbackThatBlocksStallsNoOtherConnection) {
  ASSERT_EQ(KRL_NetInit(5), 1);
  const int port = ListenOnFreePort(BlockOnRequest, RecordEvent, nullptr);
  ASSERT_GT(port, 0);
  std::vector<PeerSocket> peers;
  ConnectInOrder(port, 2, &peers);
  const std::vector<uint64_t> ids = Events().OpenOrder();
  ASSERT_EQ(ids.size(), 2u);

  ASSERT_TRUE(peers[0].SendAll("block"));
  ASSERT_TRUE(WaitFor([] { return blockedNow.load() == 1; }, 2000));
  const double start = Now();
  ASSERT_TRUE(peers[1].SendAll("ping"));
  EXPECT_TRUE(WaitFor([&] { return Events().Get(ids[1]).data == "ping"; }, 3000));
  PeerSocket late = PeerSocket::Connect(port);
  EXPECT_TRUE(WaitFor([] { return Events().Opens() == 3; }, 3000));
  EXPECT_LT(Now() - start, 3.0);

  // The blocked connection's own input waits for its callback, then comes
  // in order.
  ASSERT_TRUE(peers[0].SendAll("next"));
  EXPECT_FALSE(WaitFor([&] { return Events().Get(ids[0]).data.size() > 5; }, 200));
  EXPECT_EQ(blockedNow.load(), 1);
  releaseBlocked = true;
  EXPECT_TRUE(WaitFor([&] { return Events().Get(ids[0]).data == "blocknext"; }, 2000));
}

}  // namespace
}  // namespace linkcore_test
