// Calls on connections that are closing or already gone, from many threads
// at once: no call may reach a destroyed connection (the sanitizer build
// turns any such access into a failure), every id is closed exactly once,
// and a call on a closed id answers 0.
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "linkcore.h"
#include "net_test_util.h"

namespace linkcore_test {
namespace {

// Answers that no connection, live or gone, may give.
std::atomic<int> violations{0};

// An id whose close event has begun is no longer live for any call.
void ExpectGone(uint64_t id) {
  char address[64] = "untouched";
  if (KRL_NetIsValidHandler(id) != 0 || KRL_NetSend(id, "x", 1) != 0 ||
      KRL_NetGetAddr(id, 1, address, sizeof address) != 0 ||
      strcmp(address, "untouched") != 0) {
    ++violations;
  }
}

std::atomic<bool> holding{false};
std::atomic<bool> releaseHeld{false};
std::atomic<bool> heldBytesIntact{false};

// The host closes a connection as soon as its peer sends anything. Only
// connection 1, on "hold", stays inside its data callback until released
// and then checks that its bytes are still there.
void CloseOnData(uint64_t id, const char* data, int length) {
  if (id == 1 && length == 4 && memcmp(data, "hold", 4) == 0) {
    holding = true;
    while (!releaseHeld.load()) usleep(1000);
    heldBytesIntact = memcmp(data, "hold", 4) == 0 && data[4] == 0;
    ExpectGone(id);
    return;
  }
  KRL_NetDisConnect(id);
  ExpectGone(id);
}

void CheckEvent(uint64_t id, int opened) {
  RecordEvent(id, opened);
  if (opened == 0) ExpectGone(id);
}

void IgnoreSent(uint64_t, const char*, int) {}

// Threads that call the exported functions on every id from 1 to maxId
// until stopped, as a host's other threads would. Once disconnecting is
// set they also disconnect every seventh id, racing whatever else closes
// it.
class Callers {
 public:
  Callers(int threads, uint64_t maxId) {
    for (int t = 0; t < threads; ++t) {
      threads_.emplace_back([this, maxId] { Run(maxId); });
    }
  }
  ~Callers() { Stop(); }

  void StartDisconnecting() { disconnecting_ = true; }
  void Stop() {
    stop_ = true;
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  void Run(uint64_t maxId) {
    const char payload[8] = {'p', 'a', 'y', 'l', 'o', 'a', 'd', '\n'};
    while (!stop_.load()) {
      for (uint64_t id = 1; id <= maxId; ++id) {
        KRL_NetSend(id, payload, sizeof payload);
        char address[64] = "untouched";
        if (KRL_NetGetAddr(id, static_cast<int>(id & 1), address,
                           sizeof address) == 1) {
          if (strncmp(address, "127.0.0.1:", 10) != 0) ++violations;
        } else if (strcmp(address, "untouched") != 0) {
          ++violations;
        }
        KRL_NetIsValidHandler(id);
        if (disconnecting_.load() && id % 7 == 0) KRL_NetDisConnect(id);
      }
      usleep(2000);  // keeps the unread output the peers collect small
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<bool> disconnecting_{false};
  std::vector<std::thread> threads_;
};

// openFirst: whether each open event must have come before the close
// event. An id is live from its entry in the table, just before its open
// event, so a thread that guesses ids (or a shutdown's snapshot) can close
// a connection being opened before its open event is delivered.
void ExpectEachIdOpenedAndClosedOnce(int count, bool openFirst) {
  const std::map<uint64_t, IdRecord> all = Events().All();
  EXPECT_EQ(static_cast<int>(all.size()), count);
  for (const auto& [id, record] : all) {
    EXPECT_EQ(record.opens, 1) << id;
    EXPECT_EQ(record.closes, 1) << id;
    if (openFirst) {
      EXPECT_FALSE(record.closedBeforeOpened) << id;
    }
  }
}

// Connections closed in every way while four threads keep calling on
// their ids, until the last connection object has been destroyed: by the
// host from another thread, by the host inside the data callback, by the
// peer, and by the calling threads themselves. First, a data callback
// still runs when its connection has been closed elsewhere and the sweeper
// has let go of it: the connection lives on until the callback returns.
TEST(NetLifetime, CallsFromManyThreadsWhileConnectionsCloseAndGo) {
  constexpr int kConnections = 240;
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int port = ListenOnFreePort(CloseOnData, CheckEvent, IgnoreSent);
  ASSERT_GT(port, 0);
  // One at a time, so peer i is connection i + 1.
  std::vector<PeerSocket> peers;
  ASSERT_NO_FATAL_FAILURE(ConnectInOrder(port, kConnections, &peers));

  Callers callers(4, kConnections);

  // Connections 1 and 2 are served by different loops. 2 closes after 1,
  // so the sweeper lets go of 1 no later than of 2, and 2 is destroyed
  // once nothing holds it: from then on only the callback's loop holds 1.
  ASSERT_TRUE(peers[0].SendAll("hold"));
  ASSERT_TRUE(WaitFor([] { return holding.load(); }, 5000));
  EXPECT_EQ(KRL_NetDisConnect(1), 1);
  EXPECT_EQ(KRL_NetDisConnect(2), 1);
  EXPECT_TRUE(WaitFor([] { return DumpNumber("Deleted Handles") == 1; },
                      10000))
      << Dump();
  releaseHeld = true;
  EXPECT_TRUE(WaitFor([] { return DumpNumber("Deleted Handles") == 2; },
                      10000))
      << Dump();
  EXPECT_TRUE(heldBytesIntact.load());

  callers.StartDisconnecting();
  for (int i = 2; i < kConnections; ++i) {
    const uint64_t id = static_cast<uint64_t>(i) + 1;
    switch (i % 3) {
      case 0: KRL_NetDisConnect(id); break;
      case 1: peers[static_cast<size_t>(i)].SendAll("bye"); break;
      default: peers[static_cast<size_t>(i)].Close(); break;
    }
  }
  EXPECT_TRUE(WaitFor([] { return Events().Closes() == kConnections; },
                      30000))
      << Events().Closes();
  // The callers go on until every connection object is gone, however long
  // the sweeper takes with the sockets it still has to shut.
  EXPECT_TRUE(WaitFor(
      [] { return DumpNumber("Deleted Handles") == kConnections; }, 60000))
      << Dump();
  callers.Stop();

  ExpectEachIdOpenedAndClosedOnce(kConnections, true);
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(DumpNumber("Active Handles"), 0);
  EXPECT_EQ(DumpNumber("Deleting Handles"), 0);
  for (uint64_t id = 1; id <= kConnections; ++id) ExpectGone(id);
}

// Shutdown while other threads call on every id and keep opening outgoing
// connections: KRL_NetFini closes each connection once and returns only
// after every connection object, those opened during the shutdown
// included, has been destroyed.
TEST(NetLifetime, ShutdownWhileOtherThreadsUseAndOpenConnections) {
  constexpr int kAccepted = 60;
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int port = ListenOnFreePort(CloseOnData, CheckEvent, IgnoreSent);
  ASSERT_GT(port, 0);
  std::vector<PeerSocket> peers;
  for (int i = 0; i < kAccepted; ++i) {
    peers.push_back(PeerSocket::Connect(port));
    ASSERT_TRUE(peers.back().valid());
  }
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == kAccepted; }, 5000));

  PeerListener target(1024);
  std::atomic<bool> finished{false};
  std::vector<PeerSocket> targetPeers;
  std::thread acceptor([&] {
    while (!finished.load()) {
      PeerSocket peer = target.Accept(20);
      if (peer.valid()) targetPeers.push_back(std::move(peer));
    }
  });
  std::atomic<int> connected{0};
  std::thread opener([&] {
    while (!finished.load() && connected.load() < 400) {
      if (KRL_NetConnect("127.0.0.1", target.port(), RecordData, CheckEvent,
                         IgnoreSent) != 0) {
        ++connected;
      }
    }
  });
  Callers callers(3, 2 * kAccepted);
  callers.StartDisconnecting();
  ASSERT_TRUE(WaitFor([] { return Events().Opens() > kAccepted + 20; }, 5000));

  KRL_NetFini();
  // Nothing is waited for here: KRL_NetFini has already waited.
  const int opened = Events().Opens();
  EXPECT_EQ(Events().Closes(), opened);
  EXPECT_EQ(DumpNumber("Deleted Handles"), opened) << Dump();
  EXPECT_EQ(DumpNumber("Deleting Handles"), 0);
  EXPECT_EQ(DumpNumber("Active Handles"), 0);
  EXPECT_EQ(DumpNumber("Net Threads"), 0);

  finished = true;
  opener.join();
  acceptor.join();
  callers.Stop();
  ExpectEachIdOpenedAndClosedOnce(opened, false);
  EXPECT_EQ(violations.load(), 0);
  for (uint64_t id = 1; id <= static_cast<uint64_t>(opened); ++id) {
    ExpectGone(id);
  }
}

}  // namespace
}  // namespace linkcore_test
