// The listen table of linkcore: one listener per port, failures that stay
// listed, and unlistening that leaves accepted connections alone.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>

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

}  // namespace
}  // namespace linkcore_test
