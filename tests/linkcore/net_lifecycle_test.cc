// Start, status text and shutdown of linkcore's network service.
#include <errno.h>
#include <stdio.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "linkcore.h"
#include "net_test_util.h"

namespace linkcore_test {
namespace {

TEST(NetLifecycle, BeforeInitNothingRunsAndTheStatusTextIsExact) {
  const double start = Now();
  EXPECT_EQ(KRL_NetWaitFini(), 1);
  EXPECT_LT(Now() - start, 0.5);

  char text[1024];
  ASSERT_EQ(KRL_NetDump(text, sizeof text), text);
  const std::string status = text;
  const std::string head = "Net Status:\n    Run Times: 0 days 00:00:0";
  ASSERT_EQ(status.substr(0, head.size()), head) << status;
  EXPECT_EQ(status.substr(head.size() + 1),
            "\n    Active Handles: 0\n    Deleting Handles: 0\n"
            "    Deleted Handles: 0\n    Listen Ports: 0\n\tNet Threads: 0\n");

  // A short buffer gets the start of the text and a NUL.
  char small[10];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(KRL_NetDump(small, sizeof small), small);
  EXPECT_STREQ(small, "Net Statu");
  char one[1] = {'x'};
  KRL_NetDump(one, 1);
  EXPECT_EQ(one[0], '\0');
  char none[1] = {'x'};
  KRL_NetDump(none, 0);
  EXPECT_EQ(none[0], 'x');

  PeerListener target;
  EXPECT_EQ(KRL_NetListen(FreePort(), RecordData, RecordEvent, nullptr), 0);
  EXPECT_EQ(KRL_NetConnect("127.0.0.1", target.port(), RecordData,
                           RecordEvent, nullptr),
            0u);
  EXPECT_FALSE(target.Accept(100).valid()) << "connect must not reach out";
  EXPECT_EQ(Events().Opens(), 0);

  char address[64] = "untouched";
  EXPECT_EQ(KRL_NetSend(1, "x", 1), 0);
  EXPECT_EQ(KRL_NetDisConnect(1), 0);
  EXPECT_EQ(KRL_NetIsValidHandler(1), 0);
  EXPECT_EQ(KRL_NetGetAddr(1, 1, address, sizeof address), 0);
  EXPECT_STREQ(address, "untouched");
  EXPECT_EQ(KRL_NetUnListen(333), 0);
}

TEST(NetLifecycle, InitOnceAndShutdownWithoutConnectionsReleasesOneWaiter) {
  EXPECT_EQ(KRL_NetInit(5), 1);
  EXPECT_EQ(DumpNumber("Net Threads"), 6);
  EXPECT_EQ(KRL_NetInit(2), 1);  // changes nothing
  EXPECT_EQ(DumpNumber("Net Threads"), 6);
  const int port = ListenOnFreePort(RecordData, RecordEvent, nullptr);
  ASSERT_GT(port, 0);
  EXPECT_EQ(DumpNumber("Listen Ports"), 1);

  std::atomic<int> released{0};
  std::thread first([&] { released += KRL_NetWaitFini(); });
  std::thread second([&] { released += KRL_NetWaitFini(); });
  usleep(100 * 1000);
  EXPECT_EQ(released.load(), 0);

  const double start = Now();
  KRL_NetFini();
  EXPECT_LT(Now() - start, 3.0) << "no connection existed: nothing to wait for";
  EXPECT_TRUE(WaitFor([&] { return released.load() == 1; }, 2000));
  usleep(300 * 1000);
  EXPECT_EQ(released.load(), 1) << "the event releases exactly one waiter";

  const double again = Now();
  KRL_NetFini();  // a second shutdown does nothing
  EXPECT_LT(Now() - again, 0.1);
  EXPECT_EQ(released.load(), 1);

  EXPECT_EQ(DumpNumber("Net Threads"), 0);
  EXPECT_EQ(DumpNumber("Listen Ports"), 0);
  EXPECT_FALSE(PeerSocket::Connect(port).valid()) << "listener closed";
  EXPECT_EQ(errno, ECONNREFUSED);
  PeerListener target;
  EXPECT_EQ(KRL_NetListen(FreePort(), RecordData, RecordEvent, nullptr), 0);
  EXPECT_EQ(KRL_NetConnect("127.0.0.1", target.port(), RecordData,
                           RecordEvent, nullptr),
            0u);
  EXPECT_EQ(KRL_NetInit(5), 1);
  EXPECT_EQ(DumpNumber("Net Threads"), 0) << "no restart after shutdown";

  // One waiter stays blocked for ever; the process ends around it.
  first.detach();
  second.detach();
}

// Without I/O threads nothing is accepted or read, but connections made
// with KRL_NetConnect still open, send and close.
TEST(NetLifecycle, WithoutIoThreadsNothingIsReadButOutgoingConnectionsWork) {
  ASSERT_EQ(KRL_NetInit(0), 1);
  EXPECT_EQ(DumpNumber("Net Threads"), 1) << "the sweeper alone";
  const int port = ListenOnFreePort(RecordData, RecordEvent, nullptr);
  ASSERT_GT(port, 0);
  PeerSocket unserved = PeerSocket::Connect(port);
  ASSERT_TRUE(unserved.valid()) << "the kernel still completes handshakes";

  PeerListener target;
  const uint64_t id = KRL_NetConnect("127.0.0.1", target.port(), RecordData,
                                     RecordEvent, RecordSent);
  ASSERT_EQ(id, 1u) << "the unaccepted connection used no id";
  PeerSocket peer = target.Accept(2000);
  EXPECT_EQ(KRL_NetSend(id, "abc", 3), 1);
  EXPECT_EQ(peer.Read(3, 2000), "abc");
  ASSERT_TRUE(peer.SendAll("never read"));
  usleep(300 * 1000);
  EXPECT_EQ(Events().Opens(), 1);
  EXPECT_TRUE(Events().Get(id).data.empty());
  EXPECT_TRUE(Events().Get(id).sent.empty()) << "no I/O thread reports";

  EXPECT_EQ(KRL_NetDisConnect(id), 1);
  EXPECT_EQ(Events().Get(id).closes, 1);
  EXPECT_TRUE(peer.WaitForEnd(1000));
}

// Whether KRL_NetFini had returned when the late connection's close event
// came (shutdown must wait for a connect still under way).
std::atomic<bool> finiReturned{false};
std::atomic<int> lateClosedBeforeFiniReturned{-1};

void RecordLateEvent(uint64_t id, int opened) {
  if (opened == 0) lateClosedBeforeFiniReturned = finiReturned.load() ? 0 : 1;
  RecordEvent(id, opened);
}

// Shutdown closes accepted and outgoing connections on its own thread,
// waits for their destruction, and also closes a KRL_NetConnect that was
// still connecting when it took its snapshot of live connections.
TEST(NetLifecycle, ShutdownClosesEveryConnectionIncludingALateConnect) {
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int port = ListenOnFreePort(RecordData, RecordEvent, nullptr);
  ASSERT_GT(port, 0);
  PeerSocket peers[3];
  for (PeerSocket& peer : peers) {
    peer = PeerSocket::Connect(port);
    ASSERT_TRUE(peer.valid());
  }
  PeerListener target;
  const uint64_t outgoing = KRL_NetConnect("127.0.0.1", target.port(),
                                           RecordData, RecordEvent, nullptr);
  ASSERT_NE(outgoing, 0u);
  PeerSocket outgoingPeer = target.Accept(2000);
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == 4; }, 2000));

  // A listener whose accept queue is full drops SYNs until it accepts:
  // the late connect completes only after this test lets it.
  PeerListener slow(0);
  PeerSocket filler = PeerSocket::Connect(slow.port());
  ASSERT_TRUE(filler.valid());
  std::atomic<uint64_t> lateId{~0ull};
  std::thread::id lateThread;
  std::thread late([&] {
    lateThread = std::this_thread::get_id();
    lateId = KRL_NetConnect("127.0.0.1", slow.port(), RecordData,
                            RecordLateEvent, nullptr);
  });
  usleep(200 * 1000);

  std::thread::id finiThread;
  double finiStart = 0, finiSeconds = 0;
  std::thread fini([&] {
    finiThread = std::this_thread::get_id();
    finiStart = Now();
    KRL_NetFini();
    finiSeconds = Now() - finiStart;
    finiReturned = true;
  });
  // Once the four live connections are closed the snapshot is taken; now
  // let the late connection through.
  ASSERT_TRUE(WaitFor([] { return Events().Closes() == 4; }, 3000));
  PeerSocket drained = slow.Accept(1000);
  late.join();
  EXPECT_EQ(lateId.load(), 0u) << "a connection closed by shutdown";
  ASSERT_EQ(Events().Opens(), 5);
  ASSERT_EQ(Events().Closes(), 5);
  const IdRecord lateRecord = Events().Get(5);
  EXPECT_EQ(lateRecord.opens, 1);
  EXPECT_EQ(lateRecord.closes, 1);
  EXPECT_EQ(lateRecord.openThread, lateThread);
  EXPECT_EQ(lateRecord.closeThread, lateThread);
  EXPECT_EQ(lateClosedBeforeFiniReturned.load(), 1);

  EXPECT_EQ(KRL_NetWaitFini(), 1);
  fini.join();
  EXPECT_LT(finiSeconds, 15.0);
  for (uint64_t id = 1; id <= 4; ++id) {
    const IdRecord record = Events().Get(id);
    EXPECT_EQ(record.opens, 1) << id;
    EXPECT_EQ(record.closes, 1) << id;
    EXPECT_EQ(record.closeThread, finiThread) << id;
  }
  for (PeerSocket& peer : peers) EXPECT_TRUE(peer.WaitForEnd(1000));
  EXPECT_TRUE(outgoingPeer.WaitForEnd(1000));
  EXPECT_EQ(Dump().substr(Dump().find("    Active")),
            "    Active Handles: 0\n    Deleting Handles: 0\n"
            "    Deleted Handles: 5\n    Listen Ports: 0\n\tNet Threads: 0\n");
}

}  // namespace
}  // namespace linkcore_test
