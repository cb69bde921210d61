// Connections of linkcore: ids, received chunks, sends, addresses, closes
// and the bound on queued output.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "linkcore.h"
#include "net_test_util.h"

namespace linkcore_test {
namespace {

std::string Pattern(size_t length, int seed) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(seed)) % 26);
  }
  return bytes;
}

// Data callback that closes its own connection when it sees "bye!",
// after answering "ok" and passing "relay" on to connection 2. Once closed,
// its id takes no more sends, from inside the callback as anywhere.
thread_local bool insideDataCallback = false;
std::atomic<bool> closedInsideCallback{false};
std::atomic<bool> callbackReturned{false};

void CloseOnBye(uint64_t id, const char* data, int length) {
  insideDataCallback = true;
  RecordData(id, data, length);
  if (std::string(data, static_cast<size_t>(length)).find("bye!") !=
      std::string::npos) {
    EXPECT_EQ(KRL_NetSend(0xABCD00000000ull | id, "ok", 2), 1);
    EXPECT_EQ(KRL_NetSend(2, "relay", 5), 1);
    EXPECT_EQ(KRL_NetDisConnect(id), 1);
    EXPECT_EQ(KRL_NetIsValidHandler(id), 0);
    EXPECT_EQ(KRL_NetSend(id, "late", 4), 0);
    callbackReturned = true;
  }
  insideDataCallback = false;
}

// During its close event a connection has left the live count and is
// counted as being deleted: the delivering thread still holds it.
std::atomic<int> fewestDeletingAtClose{INT_MAX};

void NoteNestedClose(uint64_t id, int opened) {
  if (opened == 0) {
    if (insideDataCallback) closedInsideCallback = true;
    const int deleting = DumpNumber("Deleting Handles");
    int seen = fewestDeletingAtClose.load();
    while (deleting < seen &&
           !fewestDeletingAtClose.compare_exchange_weak(seen, deleting)) {
    }
  }
  RecordEvent(id, opened);
}

TEST(NetConnection, IdsChunksSendsAddressesAndDisconnects) {
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int port = ListenOnFreePort(CloseOnBye, NoteNestedClose, nullptr);
  ASSERT_GT(port, 0);

  // Nothing listens there: no id is used up, no event reported.
  EXPECT_EQ(KRL_NetConnect("127.0.0.1", FreePort(), RecordData, RecordEvent,
                           RecordSent),
            0u);
  EXPECT_EQ(KRL_NetConnect("no-such-host.invalid", port, RecordData,
                           RecordEvent, RecordSent),
            0u);

  // Ids count from 1 in creation order, accepted and outgoing alike.
  PeerSocket a = PeerSocket::Connect(port);
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == 1; }, 2000));
  PeerListener target;
  const uint64_t outgoing = KRL_NetConnect("127.0.0.1", target.port(),
                                           RecordData, RecordEvent,
                                           RecordSent);
  EXPECT_EQ(outgoing, 2u);
  EXPECT_EQ(Events().Get(2).opens, 1) << "open event before the id returns";
  EXPECT_EQ(Events().Get(2).openThread, std::this_thread::get_id());
  PeerSocket targetPeer = target.Accept(2000);
  ASSERT_TRUE(targetPeer.valid());
  PeerSocket b = PeerSocket::Connect(port);
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == 3; }, 2000));
  EXPECT_EQ(Events().OpenOrder(), (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_NE(Events().Get(1).openThread, std::this_thread::get_id());
  EXPECT_EQ(DumpNumber("Active Handles"), 3);

  // Only the low 32 bits of an id count.
  const uint64_t upper = 0xABCD00000000ull;
  EXPECT_EQ(KRL_NetIsValidHandler(upper | 1), 1);
  EXPECT_EQ(KRL_NetSend(upper | 1, "xyz", 3), 1);
  EXPECT_EQ(a.Read(3, 2000), "xyz");

  // 20,000 bytes in one write arrive in chunks of at most 8188 bytes, in
  // order, each followed by a 0 byte.
  const std::string big = Pattern(20000, 1);
  ASSERT_TRUE(a.SendAll(big));
  ASSERT_TRUE(WaitFor([] { return Events().Get(1).data.size() == 20000; },
                      3000));
  IdRecord first = Events().Get(1);
  EXPECT_EQ(first.data, big);
  EXPECT_GE(first.chunkLengths.size(), 3u);
  for (int length : first.chunkLengths) EXPECT_LE(length, 8188);
  EXPECT_TRUE(first.zeroAfterEveryChunk);

  // Outgoing connection: both directions, and the sent callback reports
  // each send in order with the library's own copy, on an I/O thread.
  ASSERT_TRUE(targetPeer.SendAll("from the peer"));
  ASSERT_TRUE(WaitFor([] { return Events().Get(2).data == "from the peer"; },
                      2000));
  char reused[16];
  for (int i = 0; i < 3; ++i) {
    snprintf(reused, sizeof reused, "send-%d|", i);
    EXPECT_EQ(KRL_NetSend(outgoing, reused, 7), 1);
  }
  EXPECT_EQ(targetPeer.Read(21, 2000), "send-0|send-1|send-2|");
  ASSERT_TRUE(WaitFor([] { return Events().Get(2).sent.size() == 3; }, 2000));
  const IdRecord second = Events().Get(2);
  EXPECT_EQ(second.sent,
            (std::vector<std::string>{"send-0|", "send-1|", "send-2|"}));
  EXPECT_NE(second.sentThread, std::this_thread::get_id());

  // Addresses: remote and local, for accepted and outgoing connections.
  char address[64];
  EXPECT_EQ(KRL_NetGetAddr(1, 1, address, sizeof address), 1);
  EXPECT_EQ(std::string(address), LoopbackAddress(a.localPort()));
  EXPECT_EQ(KRL_NetGetAddr(1, 0, address, sizeof address), 1);
  EXPECT_EQ(std::string(address), LoopbackAddress(port));
  EXPECT_EQ(KRL_NetGetAddr(outgoing, 1, address, sizeof address), 1);
  EXPECT_EQ(std::string(address), LoopbackAddress(target.port()));
  EXPECT_EQ(KRL_NetGetAddr(outgoing, 0, address, sizeof address), 1);
  EXPECT_EQ(std::string(address).rfind("127.0.0.1:", 0), 0u) << address;
  char tiny[10];
  memset(tiny, 'x', sizeof tiny);
  EXPECT_EQ(KRL_NetGetAddr(1, 1, tiny, sizeof tiny), 1);
  EXPECT_STREQ(tiny, "") << "too short for 127.0.0.1:port";

  // A host disconnect: close event on this thread before the call returns,
  // then the id is dead everywhere and the peer sees the end at once.
  EXPECT_EQ(KRL_NetDisConnect(3), 1);
  IdRecord third = Events().Get(3);
  EXPECT_EQ(third.closes, 1);
  EXPECT_EQ(third.closeThread, std::this_thread::get_id());
  EXPECT_EQ(KRL_NetDisConnect(3), 0);
  EXPECT_EQ(KRL_NetSend(3, "late", 4), 0);
  strcpy(address, "untouched");
  EXPECT_EQ(KRL_NetGetAddr(3, 1, address, sizeof address), 0);
  EXPECT_STREQ(address, "untouched");
  EXPECT_TRUE(b.WaitForEnd(1000));
  EXPECT_EQ(DumpNumber("Active Handles"), 2);
  EXPECT_GE(fewestDeletingAtClose.load(), 1);
  // Nothing holds the closed connection any more: it is destroyed.
  EXPECT_TRUE(WaitFor([] { return DumpNumber("Deleted Handles") == 1; },
                      10000));
  EXPECT_EQ(DumpNumber("Deleting Handles"), 0);

  // Disconnecting from inside its own data callback: the close event comes
  // nested in that callback, which then returns normally.
  ASSERT_TRUE(a.SendAll("bye!"));
  ASSERT_TRUE(WaitFor([] { return Events().Get(1).closes == 1; }, 2000));
  EXPECT_TRUE(closedInsideCallback.load());
  EXPECT_TRUE(WaitFor([] { return callbackReturned.load(); }, 1000));
  EXPECT_EQ(KRL_NetSend(1, "x", 1), 0);
  EXPECT_EQ(a.Read(2, 2000), "ok");
  EXPECT_EQ(targetPeer.Read(5, 2000), "relay");
  EXPECT_TRUE(a.WaitForEnd(1000));
  EXPECT_EQ(Events().Get(1).closes, 1);
  EXPECT_EQ(Events().Get(3).closes, 1);
  EXPECT_GE(fewestDeletingAtClose.load(), 1);
}

// A peer's close, and a disconnect while a large send is under way, each
// end in one close event and the handler's destruction; a peer's close
// shuts our side of the socket about 2 s after it.
TEST(NetConnection, CloseTimelinesOfAPeerCloseAndOfADisconnectMidSend) {
  ASSERT_EQ(KRL_NetInit(1), 1);
  const int port = ListenOnFreePort(RecordData, RecordEvent, RecordSent);
  ASSERT_GT(port, 0);
  PeerSocket closing = PeerSocket::Connect(port);
  PeerSocket slowReader = PeerSocket::Connect(port);
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == 2; }, 2000));

  // A large send the peer does not read, then a disconnect mid-way.
  const std::string large = Pattern(32u << 20, 3);
  EXPECT_EQ(KRL_NetSend(2, large.data(), static_cast<int>(large.size())), 1);
  usleep(100 * 1000);
  EXPECT_EQ(KRL_NetDisConnect(2), 1);
  EXPECT_EQ(Events().Get(2).closes, 1);
  EXPECT_EQ(Events().Get(2).closeThread, std::this_thread::get_id());

  // The peer half-closes; it can still read, so it sees when our side of
  // the socket is closed.
  closing.ShutdownWrite();
  ASSERT_TRUE(WaitFor([] { return Events().Get(1).closes == 1; }, 2000));
  const double closedAt = Now();
  const IdRecord first = Events().Get(1);
  EXPECT_NE(first.closeThread, std::this_thread::get_id()) << "I/O thread";
  EXPECT_EQ(KRL_NetSend(1, "x", 1), 0);
  EXPECT_EQ(KRL_NetIsValidHandler(1), 0);
  EXPECT_EQ(DumpNumber("Active Handles"), 0);

  size_t received = 0;
  EXPECT_TRUE(slowReader.WaitForEnd(3000, &received))
      << "the disconnected socket ends at once";
  EXPECT_LT(received, large.size()) << "abandoned output is not delivered";

  ASSERT_TRUE(closing.WaitForEnd(4000));
  const double shutAfter = Now() - closedAt;
  EXPECT_GT(shutAfter, 1.5);
  EXPECT_LT(shutAfter, 3.5);

  ASSERT_TRUE(WaitFor([] { return DumpNumber("Deleted Handles") == 2; },
                      10000));
  EXPECT_EQ(DumpNumber("Deleting Handles"), 0);
  EXPECT_TRUE(Events().Get(2).sent.empty()) << "the large send never ended";
  EXPECT_EQ(Events().Get(1).closes, 1);
  EXPECT_EQ(Events().Get(2).closes, 1);
}

// Echo host for the backlog test.
std::atomic<size_t> echoed{0};
void Echo(uint64_t id, const char* data, int length) {
  echoed += static_cast<size_t>(length);
  KRL_NetSend(id, data, length);
}

// A peer that sends requests and never reads the replies stops being read
// once its queued output passes 8 MiB; nothing is dropped, and reading
// resumes as soon as the peer drains its replies.
TEST(NetConnection, StopsReadingWhileOutputIsBackedUpAndLosesNothing) {
  ASSERT_EQ(KRL_NetInit(1), 1);
  const int port = ListenOnFreePort(Echo, RecordEvent, nullptr);
  ASSERT_GT(port, 0);
  PeerSocket peer = PeerSocket::Connect(port);
  ASSERT_TRUE(peer.valid());
  fcntl(peer.fd(), F_SETFL, fcntl(peer.fd(), F_GETFL) | O_NONBLOCK);

  const size_t target = 128u << 20;
  const std::string chunk = Pattern(256u << 10, 5);
  size_t written = 0;
  double lastProgress = Now();
  while (written < target && Now() - lastProgress < 1.0) {
    const size_t offset = written % chunk.size();
    ssize_t n = send(peer.fd(), chunk.data() + offset, chunk.size() - offset,
                     MSG_NOSIGNAL);
    if (n > 0) {
      written += static_cast<size_t>(n);
      lastProgress = Now();
    } else {
      ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
      usleep(1000);
    }
  }
  EXPECT_LT(written, 64u << 20) << "the host kept reading";
  EXPECT_LT(echoed.load(), 32u << 20) << "queued output grew without bound";

  // Drain everything; it must come back complete and in order.
  std::string back;
  back.reserve(written);
  char buffer[65536];
  const double deadline = Now() + 20;
  while (back.size() < written && Now() < deadline) {
    ssize_t n = recv(peer.fd(), buffer, sizeof buffer, 0);
    if (n > 0) {
      back.append(buffer, static_cast<size_t>(n));
    } else {
      usleep(500);
    }
  }
  ASSERT_EQ(back.size(), written);
  for (size_t at = 0; at < written; at += chunk.size()) {
    const size_t length = std::min(chunk.size(), written - at);
    ASSERT_EQ(back.compare(at, length, chunk, 0, length), 0) << at;
  }
  EXPECT_EQ(echoed.load(), written);
  EXPECT_EQ(Events().Closes(), 0);
}

}  // namespace
}  // namespace linkcore_test
