// Many threads opening and closing connections at once: every id gets its
// open event and its close event exactly once, in that order. One loop
// handed many ready connections at once, where serving one closes the
// next: no event reaches a connection that has left its loop (the
// sanitizer build turns any such access into a failure).
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "linkcore.h"
#include "net_test_util.h"

namespace linkcore_test {
namespace {

// Remote port -> id of accepted connections, filled by the open event.
std::mutex portsMutex;
std::map<int, uint64_t> idByPeerPort;

// Records the event first: once the id is known to the closing threads
// its close event may come at any moment.
void RememberPeer(uint64_t id, int opened) {
  RecordEvent(id, opened);
  if (opened != 0) {
    char address[64];
    if (KRL_NetGetAddr(id, 1, address, sizeof address) == 1) {
      const char* colon = strrchr(address, ':');
      std::lock_guard<std::mutex> lock(portsMutex);
      idByPeerPort[atoi(colon + 1)] = id;
    }
  }
}

uint64_t IdOfPeer(int port) {
  std::lock_guard<std::mutex> lock(portsMutex);
  auto it = idByPeerPort.find(port);
  return it == idByPeerPort.end() ? 0 : it->second;
}

TEST(NetStress, ThousandConnectionsOpenedAndClosedByManyThreads) {
  constexpr int kThreads = 8;
  constexpr int kAcceptedPerThread = 100;
  constexpr int kOutgoingPerThread = 25;
  constexpr int kTotal = kThreads * (kAcceptedPerThread + kOutgoingPerThread);

  ASSERT_EQ(KRL_NetInit(4), 1);
  const int port = ListenOnFreePort(RecordData, RememberPeer, nullptr);
  ASSERT_GT(port, 0);
  PeerListener target(1024);
  std::atomic<bool> accepting{true};
  std::vector<PeerSocket> targetPeers;
  std::thread acceptor([&] {
    while (accepting.load()) {
      PeerSocket peer = target.Accept(50);
      if (peer.valid()) targetPeers.push_back(std::move(peer));
    }
  });

  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&] {
      std::vector<PeerSocket> peers;
      std::vector<uint64_t> outgoing;
      for (int i = 0; i < kAcceptedPerThread; ++i) {
        peers.push_back(PeerSocket::Connect(port));
        if (!peers.back().valid()) ++failures;
        // Every fourth accepted connection is joined by an outgoing one.
        if (i % (kAcceptedPerThread / kOutgoingPerThread) == 0) {
          const uint64_t id = KRL_NetConnect("127.0.0.1", target.port(),
                                             RecordData, RecordEvent, nullptr);
          if (id == 0) ++failures;
          outgoing.push_back(id);
        }
      }
      // Close: peers alternate between closing themselves and being
      // disconnected here, every third one raced by a second disconnect
      // from another thread.
      for (int i = 0; i < kAcceptedPerThread; ++i) {
        if (i % 2 == 0) {
          peers[static_cast<size_t>(i)].Close();
          continue;
        }
        const int peerPort = peers[static_cast<size_t>(i)].localPort();
        uint64_t id = 0;
        WaitFor([&] { return (id = IdOfPeer(peerPort)) != 0; }, 5000);
        if (id == 0) {
          ++failures;
          continue;
        }
        if (i % 3 == 0) {
          std::thread racer([id] { KRL_NetDisConnect(id); });
          KRL_NetDisConnect(id);
          racer.join();
        } else {
          KRL_NetDisConnect(id);
        }
      }
      for (uint64_t id : outgoing) KRL_NetDisConnect(id);
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(WaitFor([] { return Events().Closes() >= kTotal; }, 30000))
      << Events().Closes();
  accepting = false;
  acceptor.join();
  usleep(200 * 1000);  // any duplicate event would arrive by now

  const std::map<uint64_t, IdRecord> all = Events().All();
  EXPECT_EQ(static_cast<int>(all.size()), kTotal);
  std::set<uint64_t> ids;
  for (const auto& [id, record] : all) {
    ids.insert(id);
    EXPECT_EQ(record.opens, 1) << id;
    EXPECT_EQ(record.closes, 1) << id;
    EXPECT_FALSE(record.closedBeforeOpened) << id;
  }
  EXPECT_EQ(*ids.begin(), 1u);
  EXPECT_EQ(*ids.rbegin(), static_cast<uint64_t>(kTotal));
  EXPECT_EQ(Events().Opens(), kTotal);
  EXPECT_EQ(Events().Closes(), kTotal);
  EXPECT_EQ(DumpNumber("Active Handles"), 0);
  EXPECT_TRUE(WaitFor(
      [] { return DumpNumber("Deleted Handles") == kTotal; }, 30000))
      << Dump();
  EXPECT_EQ(DumpNumber("Deleting Handles"), 0);
}

constexpr int kBatchConnections = 200;

// Echoes each chunk; a chunk starting with 'k' also disconnects the next
// id of the first kBatchConnections, whose own data and hang-up are
// usually in the same batch of ready events on the loop's thread.
void EchoAndCloseNext(uint64_t id, const char* data, int length) {
  RecordData(id, data, length);
  KRL_NetSend(id, data, length);
  if (length > 0 && data[0] == 'k' && id < kBatchConnections) {
    KRL_NetDisConnect(id + 1);
  }
}

TEST(NetStress, OneLoopServesABatchWhoseEarlierEventsCloseLaterOnes) {
  constexpr int kConnections = kBatchConnections;
  constexpr int kLateConnections = 50;
  ASSERT_EQ(KRL_NetInit(1), 1);
  const int port = ListenOnFreePort(EchoAndCloseNext, RecordEvent, nullptr);
  ASSERT_GT(port, 0);
  // One at a time, so peer i is connection i + 1.
  std::vector<PeerSocket> peers;
  ASSERT_NO_FATAL_FAILURE(ConnectInOrder(port, kConnections, &peers));
  // Every peer at once: data, and for every other one its close, while new
  // connections arrive and take the descriptor numbers that the closed
  // ones free within the same batches.
  for (int i = 0; i < kConnections; ++i) {
    ASSERT_TRUE(peers[static_cast<size_t>(i)].SendAll("k"));
    if (i % 2 == 1) peers[static_cast<size_t>(i)].Close();
  }
  std::vector<PeerSocket> late;
  for (int i = 0; i < kLateConnections; ++i) {
    late.push_back(PeerSocket::Connect(port));
    ASSERT_TRUE(late.back().valid());
  }
  constexpr int kTotal = kConnections + kLateConnections;
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == kTotal; }, 10000));
  // The loop still serves: each late connection echoes a chunk.
  for (PeerSocket& peer : late) {
    ASSERT_TRUE(peer.SendAll("echo"));
    EXPECT_EQ(peer.Read(4, 5000), "echo");
  }
  for (PeerSocket& peer : peers) peer.Close();
  for (PeerSocket& peer : late) peer.Close();
  EXPECT_TRUE(WaitFor([] { return Events().Closes() == kTotal; }, 30000))
      << Events().Closes();
  EXPECT_TRUE(WaitFor(
      [] { return DumpNumber("Deleted Handles") == kTotal; }, 30000))
      << Dump();
  const std::map<uint64_t, IdRecord> all = Events().All();
  EXPECT_EQ(static_cast<int>(all.size()), kTotal);
  for (const auto& [id, record] : all) {
    EXPECT_EQ(record.opens, 1) << id;
    EXPECT_EQ(record.closes, 1) << id;
    EXPECT_FALSE(record.closedBeforeOpened) << id;
  }
  EXPECT_EQ(DumpNumber("Active Handles"), 0);
}

}  // namespace
}  // namespace linkcore_test
