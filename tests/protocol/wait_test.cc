// "wait": answered when the store grows past the client's position, or at
// the time the client named; requests behind it keep their order; a
// client can tell a server that knows the word from one that drops it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "protocol/protocol_fixture.h"

namespace dirsync {
namespace {

using Status = dsclient::Connection::Status;
using dsclient::FrameWriter;

class WaitTest : public ProtocolTest {
 protected:
  void Grow() { site_.AppendStore(TestSite::MakeRecord(7, 1, 1, "a.txt")); }
};

TEST_F(WaitTest, AnsweredWhenTheStoreGrowsOrWhenItsTimeIsUp) {
  auto c = LoggedIn();
  const int64_t before = site_.task().store.storeSize.load();
  ASSERT_TRUE(c->SendWait(before, 5, 60000));
  dsclient::PingResult reply;
  EXPECT_EQ(c->TakeWaitReply(&reply, 300), Status::kTimeout);
  Grow();
  ASSERT_EQ(c->TakeWaitReply(&reply, 5000), Status::kOk);
  EXPECT_EQ(reply.val, 5);
  EXPECT_EQ(reply.max, site_.task().store.storeSize.load());
  EXPECT_GT(reply.max, before);

  // Nothing grows: the answer comes when the time named is up, with the
  // same size.
  ASSERT_TRUE(c->SendWait(reply.max, 6, 200));
  const int64_t grown = reply.max;
  ASSERT_EQ(c->TakeWaitReply(&reply, 5000), Status::kOk);
  EXPECT_EQ(reply.val, 6);
  EXPECT_EQ(reply.max, grown);

  // A position behind the store's end is answered at once.
  ASSERT_TRUE(c->SendWait(before, 8, 60000));
  ASSERT_EQ(c->TakeWaitReply(&reply, 2000), Status::kOk);
  EXPECT_EQ(reply.val, 8);
}

TEST_F(WaitTest, RequestsBehindAWaitAreAnsweredAfterItAndOthersAreNotHeldUp) {
  auto waiting = LoggedIn();
  auto other = LoggedIn();
  const int64_t size = site_.task().store.storeSize.load();
  FrameWriter waitFrame("wait");
  waitFrame.Int64("pos", size).Int32("val", 1).Int32("time", 60000);
  FrameWriter ping("ping");
  ping.Int64("pos", size).Int32("val", 2);
  ASSERT_TRUE(waiting->SendBytes(waitFrame.Build() + ping.Build()));
  dsclient::Message m;
  EXPECT_EQ(waiting->Receive(&m, 300), Status::kTimeout);
  // Another client is served meanwhile.
  dsclient::PingResult pong;
  ASSERT_TRUE(other->Ping(size, 3, &pong));
  EXPECT_EQ(pong.val, 3);

  Grow();
  ASSERT_EQ(waiting->Receive(&m), Status::kOk);
  EXPECT_EQ(m.Command(), "-wait");
  ASSERT_EQ(waiting->Receive(&m), Status::kOk);
  EXPECT_EQ(m.Command(), "pong");
  EXPECT_EQ(m.Int32("val").value_or(0), 2);
}

TEST_F(WaitTest, AWaitBeforeLoginIsNotAnswered) {
  auto c = Connect();
  ASSERT_TRUE(c->SendWait(0, 1, 0));
  dsclient::PingResult reply;
  EXPECT_EQ(c->TakeWaitReply(&reply, 300), Status::kTimeout);
  site_.WriteCredential(TestSite::kTaskName, kUid, kToken);
  dsclient::LoginResult login;
  ASSERT_TRUE(c->Login(kUid, kToken, TestSite::kTaskName, &login));
  EXPECT_EQ(login.data, "ok");
}

// A server that answers "ping" and drops every other word, as servers
// that do not know "wait" do.
class PingOnlyServer {
 public:
  PingOnlyServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 1) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      std::abort();
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~PingOnlyServer() {
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  int port() const { return port_; }

 private:
  void Serve() {
    const int fd = ::accept(listen_, nullptr, nullptr);
    if (fd < 0) return;
    dsclient::FrameReader reader;
    for (;;) {
      dsclient::Message m;
      if (reader.Next(&m) == dsclient::FrameReader::Status::kMessage) {
        if (m.Command() == "ping") {
          FrameWriter pong("pong");
          pong.Int64("max", 1234).Int32("val", m.Int32("val").value_or(0));
          const std::string bytes = pong.Build();
          if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) break;
        }
        continue;
      }
      const ssize_t got = ::recv(fd, reader.Reserve(4096), 4096, 0);
      if (got <= 0) break;
      reader.Commit(static_cast<size_t>(got));
    }
    ::close(fd);
  }

  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST_F(WaitTest, AClientTellsAServerThatKnowsWaitFromOneThatDropsIt) {
  auto ours = LoggedIn();
  bool known = false;
  ASSERT_TRUE(ours->ProbeWait(0, &known));
  EXPECT_TRUE(known);
  // The connection is in step afterwards: the next reply is the next
  // request's.
  dsclient::PingResult pong;
  ASSERT_TRUE(ours->Ping(0, 41, &pong));
  EXPECT_EQ(pong.val, 41);

  PingOnlyServer old;
  dsclient::Connection c;
  ASSERT_TRUE(c.Connect("127.0.0.1", old.port()));
  known = true;
  ASSERT_TRUE(c.ProbeWait(0, &known));
  EXPECT_FALSE(known);
  ASSERT_TRUE(c.Ping(0, 42, &pong));
  EXPECT_EQ(pong.val, 42);
  EXPECT_EQ(pong.max, 1234);
}

}  // namespace
}  // namespace dirsync
