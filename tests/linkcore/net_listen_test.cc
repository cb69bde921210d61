// The listen table of linkcore: one listener per port, failures that stay
// listed, and unlistening that leaves accepted connections alone.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linkcore.h"
#include "net_test_util.h"

namespace linkcore_test {
namespace {

// Callbacks of the second listen on a port; they count what reaches them.
std::atomic<int> otherEvents{0};
std::atomic<int> otherData{0};
void OtherData(uint64_t, const char*, int length) { otherData += length; }
void OtherEvent(uint64_t, int) { ++otherEvents; }

TEST(NetListen, OnePortOneListenerAndAcceptedConnectionsOutliveIt) {
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int port = ListenOnFreePort(RecordData, RecordEvent, nullptr);
  ASSERT_GT(port, 0);

  // A second listen on the port fails and leaves the first callbacks.
  EXPECT_EQ(KRL_NetListen(port, OtherData, OtherEvent, nullptr), 0);
  PeerSocket kept = PeerSocket::Connect(port);
  ASSERT_TRUE(kept.valid());
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == 1; }, 2000));
  EXPECT_EQ(otherEvents.load(), 0);

  // A port bound by someone else fails, is logged, and stays listed until
  // it is unlistened.
  const int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address),
            0);
  ASSERT_EQ(listen(taken, 1), 0);
  socklen_t length = sizeof address;
  getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
  const int takenPort = ntohs(address.sin_port);
  EXPECT_EQ(KRL_NetListen(takenPort, RecordData, RecordEvent, nullptr), 0);
  EXPECT_EQ(DumpNumber("Listen Ports"), 2);
  EXPECT_EQ(KRL_NetListen(takenPort, RecordData, RecordEvent, nullptr), 0);
  EXPECT_EQ(KRL_NetUnListen(takenPort), 1);
  EXPECT_EQ(DumpNumber("Listen Ports"), 1);
  close(taken);

  // Unlisten: the port closes, the accepted connection goes on.
  EXPECT_EQ(KRL_NetUnListen(port), 1);
  EXPECT_EQ(KRL_NetUnListen(port), 0);
  EXPECT_EQ(DumpNumber("Listen Ports"), 0);
  EXPECT_FALSE(PeerSocket::Connect(port).valid());
  EXPECT_EQ(errno, ECONNREFUSED);
  ASSERT_TRUE(kept.SendAll("still here"));
  ASSERT_TRUE(
      WaitFor([] { return Events().Get(1).data == "still here"; }, 2000));
  EXPECT_EQ(KRL_NetSend(1, "yes", 3), 1);
  EXPECT_EQ(kept.Read(3, 2000), "yes");

  // Listening again on the port takes the new callbacks.
  ASSERT_EQ(KRL_NetListen(port, OtherData, OtherEvent, nullptr), 1);
  PeerSocket fresh = PeerSocket::Connect(port);
  ASSERT_TRUE(fresh.valid());
  ASSERT_TRUE(fresh.SendAll("12345"));
  EXPECT_TRUE(WaitFor([] { return otherData.load() == 5; }, 2000));
  EXPECT_EQ(otherEvents.load(), 1);
  EXPECT_EQ(Events().Opens(), 1);

  // The connection accepted before the unlisten still closes normally.
  kept.Close();
  EXPECT_TRUE(WaitFor([] { return Events().Get(1).closes == 1; }, 2000));
  fresh.Close();
  EXPECT_TRUE(WaitFor([] { return otherEvents.load() == 2; }, 2000));
}

void EchoBack(uint64_t id, const char* data, int length) {
  KRL_NetSend(id, data, length);
}
std::atomic<int> events{0};
void CountEvent(uint64_t, int) { ++events; }

// In a child process (its own descriptor table): connects count peers to
// port, sends each a ping and reports how many were echoed and how many
// were ended by the server; then closes them all and reports whether one
// more connection is echoed.
void RunPeersInChild(int port, int count, int resultFd) {
  std::vector<PeerSocket> peers;
  for (int i = 0; i < count; ++i) peers.push_back(PeerSocket::Connect(port));
  int results[3] = {0, 0, 0};  // echoed, ended, probe echoed
  std::vector<bool> pinged;
  for (PeerSocket& peer : peers) {
    pinged.push_back(peer.valid() && peer.SendAll("ping"));
  }
  usleep(1500 * 1000);  // every answer is in by now
  for (size_t i = 0; i < peers.size(); ++i) {
    if (!pinged[i]) {
      ++results[1];
    } else if (peers[i].Read(4, 10) == "ping") {
      ++results[0];
    } else if (peers[i].WaitForEnd(10)) {
      ++results[1];
    }
  }
  // The server releases a closed connection's descriptor about 2 s after
  // the close.
  peers.clear();
  for (int attempt = 0; attempt < 20 && results[2] == 0; ++attempt) {
    usleep(250 * 1000);
    PeerSocket probe = PeerSocket::Connect(port);
    results[2] = probe.SendAll("ping") && probe.Read(4, 1000) == "ping";
  }
  if (write(resultFd, results, sizeof results) != sizeof results) _exit(2);
  _exit(0);
}

// Out of descriptors, the listener turns excess connections away at once
// instead of spinning on a listening socket that stays readable, and
// serves again once descriptors are free.
TEST(NetListen, TurnsConnectionsAwayWhenOutOfDescriptors) {
  const int port = FreePort();
  int results[2];
  int go[2];
  ASSERT_EQ(pipe(results), 0);
  ASSERT_EQ(pipe(go), 0);
  // The child is forked before the library starts threads.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(results[0]);
    char start;
    if (read(go[0], &start, 1) != 1) _exit(3);
    RunPeersInChild(port, 100, results[1]);
  }
  close(results[1]);

  ASSERT_EQ(KRL_NetInit(1), 1);
  ASSERT_EQ(KRL_NetListen(port, EchoBack, CountEvent, nullptr), 1);
  // One connection served, closed and destroyed before the limit drops, so
  // every path of the library has run once while descriptors were
  // plentiful (the sanitizers' first checks of a call need descriptors of
  // their own). A second one echoed afterwards shows that the loop has
  // finished that destruction; it stays open.
  {
    PeerSocket warmUp = PeerSocket::Connect(port);
    ASSERT_TRUE(warmUp.SendAll("warm"));
    ASSERT_EQ(warmUp.Read(4, 2000), "warm");
  }
  ASSERT_TRUE(WaitFor([] { return events.load() == 2; }, 2000));
  ASSERT_TRUE(
      WaitFor([] { return DumpNumber("Deleted Handles") == 1; }, 10000));
  PeerSocket warmedUp = PeerSocket::Connect(port);
  ASSERT_TRUE(warmedUp.SendAll("warm"));
  ASSERT_EQ(warmedUp.Read(4, 2000), "warm");

  rlimit plenty;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &plenty), 0);
  rlimit few = {64, plenty.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
  rusage before;
  getrusage(RUSAGE_SELF, &before);
  const double start = Now();
  ASSERT_EQ(write(go[1], "g", 1), 1);

  int counts[3] = {-1, -1, -1};
  ASSERT_EQ(read(results[0], counts, sizeof counts),
            static_cast<ssize_t>(sizeof counts));
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  setrlimit(RLIMIT_NOFILE, &plenty);
  rusage after;
  getrusage(RUSAGE_SELF, &after);
  const double cpu =
      static_cast<double>(after.ru_utime.tv_sec - before.ru_utime.tv_sec +
                          after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
      (after.ru_utime.tv_usec - before.ru_utime.tv_usec +
       after.ru_stime.tv_usec - before.ru_stime.tv_usec) * 1e-6;

  EXPECT_GT(counts[0], 10) << "connections within the limit are served";
  EXPECT_GT(counts[1], 10) << "the rest are turned away";
  EXPECT_EQ(counts[0] + counts[1], 100);
  EXPECT_EQ(counts[2], 1) << "served again once descriptors are free";
  EXPECT_LT(cpu, 0.5 * (Now() - start) + 0.2) << "the loop spun";
}

// Connections beyond the host's bound are closed at once, before the
// host hears of them; once connections go, new ones are served again. A
// reserve of descriptors turns connections away the same way.
TEST(NetListen, ConnectionsBeyondTheLimitsAreClosedAtOnce) {
  ASSERT_EQ(KRL_NetInit(2), 1);
  ASSERT_EQ(KRL_NetSetLimits(3, 0), 1);
  const int port = ListenOnFreePort(RecordData, RecordEvent, nullptr);
  ASSERT_GT(port, 0);
  std::vector<PeerSocket> served;
  for (int i = 0; i < 3; ++i) {
    served.push_back(PeerSocket::Connect(port));
    ASSERT_TRUE(served.back().valid());
  }
  ASSERT_TRUE(WaitFor([] { return Events().Opens() == 3; }, 2000));

  PeerSocket refused = PeerSocket::Connect(port);
  ASSERT_TRUE(refused.valid());  // the kernel took it; the listener closes it
  EXPECT_TRUE(refused.WaitForEnd(2000));
  EXPECT_EQ(Events().Opens(), 3);

  // One goes (its handler is destroyed after the sweeper's delay): room
  // for one more.
  served.front().Close();
  ASSERT_TRUE(WaitFor([] { return DumpNumber("Deleted Handles") == 1; }, 10000));
  PeerSocket next = PeerSocket::Connect(port);
  ASSERT_TRUE(next.valid());
  EXPECT_TRUE(WaitFor([] { return Events().Opens() == 4; }, 2000));

  // No bound on the count, but every descriptor is in the reserve.
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  ASSERT_EQ(KRL_NetSetLimits(0, static_cast<int>(limit.rlim_cur)), 1);
  PeerSocket reserved = PeerSocket::Connect(port);
  ASSERT_TRUE(reserved.valid());
  EXPECT_TRUE(reserved.WaitForEnd(2000));
  EXPECT_EQ(Events().Opens(), 4);
  ASSERT_EQ(KRL_NetSetLimits(0, 0), 1);
  PeerSocket last = PeerSocket::Connect(port);
  ASSERT_TRUE(last.valid());
  EXPECT_TRUE(WaitFor([] { return Events().Opens() == 5; }, 2000));
  KRL_NetFini();
}

}  // namespace
}  // namespace linkcore_test
