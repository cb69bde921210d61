// Encrypted connections in linkcore: what the host sees over TLS is what it
// sees over plain TCP (chunks, order, holds, sent callbacks), and the
// handshake refuses what it must: unknown or expired certificates, wrong
// names, clients without a certificate where one is required, peers that
// stall or do not speak TLS.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "linkcore.h"
#include "net_test_util.h"
#include "support/test_certificates.h"

namespace linkcore_test {
namespace {

using test_certs::CertFiles;
using test_certs::LeafOptions;
using test_certs::TestAuthority;

// A directory of certificates for one test, removed afterwards.
class CertDir {
 public:
  CertDir() {
    std::string pattern = "/tmp/linkcore-tls-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp";
    path_ = pattern;
  }
  ~CertDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Listens with TLS on a free port; -1 when none could be had.
int ListenTls(const CertFiles& server, const std::string& clientCa,
              NetDataCallback onData) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int port = FreePort();
    if (KRL_NetListenTls("127.0.0.1", port, server.cert.c_str(),
                         server.key.c_str(), clientCa.c_str(), onData,
                         RecordEvent, nullptr) == 1) {
      return port;
    }
    KRL_NetUnListen(port);
  }
  return -1;
}

// Data callback of the accepting side: sends every chunk back.
void Echo(uint64_t id, const char* data, int length) {
  RecordData(id, data, length);
  KRL_NetSend(id, data, length);
}

// Data callback that holds the input when a chunk holds "hold".
void HoldOnRequest(uint64_t id, const char* data, int length) {
  RecordData(id, data, length);
  if (std::string(data, static_cast<size_t>(length)).find("hold") !=
      std::string::npos) {
    KRL_NetHoldInput(id, 1);
  }
}

std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

TEST(NetTls, EchoKeepsChunksOrderAndSentBytesOfAPlainConnection) {
  CertDir dir;
  TestAuthority ca(dir.path(), "main");
  const CertFiles server = ca.Issue("server", LeafOptions());
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int port = ListenTls(server, "", Echo);
  ASSERT_GT(port, 0);

  const uint64_t client =
      KRL_NetConnectTls("127.0.0.1", port, "localhost", ca.certFile().c_str(),
                        nullptr, nullptr, RecordData, RecordEvent, RecordSent);
  ASSERT_NE(client, 0u);
  const std::string message = Pattern(20000);
  ASSERT_EQ(KRL_NetSend(client, message.data(), static_cast<int>(message.size())), 1);
  ASSERT_TRUE(WaitFor([&] { return Events().Get(client).data.size() >= message.size(); },
                      5000));
  EXPECT_EQ(Events().Get(client).data, message);

  // The accepting side saw the host's bytes only, in chunks a plain
  // connection would give: at most 8188 bytes, each followed by a 0.
  uint64_t accepted = 0;
  for (uint64_t id : Events().OpenOrder()) {
    if (id != client) accepted = id;
  }
  ASSERT_NE(accepted, 0u);
  const IdRecord side = Events().Get(accepted);
  EXPECT_EQ(side.data, message);
  EXPECT_GE(side.chunkLengths.size(), 3u);
  for (int length : side.chunkLengths) EXPECT_LE(length, 8188);
  EXPECT_TRUE(side.zeroAfterEveryChunk);
  // The sent callback shows the host's own bytes, not the encrypted ones.
  ASSERT_TRUE(WaitFor([&] { return !Events().Get(client).sent.empty(); }, 2000));
  EXPECT_EQ(Events().Get(client).sent[0], message);

  char address[64];
  ASSERT_EQ(KRL_NetGetAddr(accepted, 1, address, sizeof address), 1);
  EXPECT_EQ(std::string(address).rfind("127.0.0.1:", 0), 0u);
  EXPECT_EQ(KRL_NetDisConnect(client), 1);
  EXPECT_TRUE(WaitFor([&] { return Events().Get(accepted).closes == 1; }, 3000));
  KRL_NetFini();
  EXPECT_EQ(Events().Closes(), 2);
}

TEST(NetTls, HeldInputKeepsDecryptedBytesUntilReleased) {
  CertDir dir;
  TestAuthority ca(dir.path(), "main");
  const CertFiles server = ca.Issue("server", LeafOptions());
  ASSERT_EQ(KRL_NetInit(1), 1);
  const int port = ListenTls(server, "", HoldOnRequest);
  ASSERT_GT(port, 0);
  const uint64_t client =
      KRL_NetConnectTls("127.0.0.1", port, nullptr, ca.certFile().c_str(),
                        nullptr, nullptr, RecordData, RecordEvent, nullptr);
  ASSERT_NE(client, 0u);
  uint64_t accepted = 0;
  ASSERT_TRUE(WaitFor([&] { return Events().Opens() == 2; }, 2000));
  for (uint64_t id : Events().OpenOrder()) {
    if (id != client) accepted = id;
  }
  // One record larger than a chunk: its first chunk asks for the hold, the
  // rest is decrypted already and nothing more will come from the socket.
  const std::string message = "hold" + Pattern(10000) + "tail";
  ASSERT_EQ(KRL_NetSend(client, message.data(), static_cast<int>(message.size())), 1);
  ASSERT_TRUE(WaitFor([&] { return !Events().Get(accepted).data.empty(); }, 3000));
  EXPECT_FALSE(WaitFor(
      [&] { return Events().Get(accepted).data.size() > 8188; }, 300));
  EXPECT_LE(Events().Get(accepted).data.size(), 8188u);
  // Released from another thread: the rest comes without new input.
  EXPECT_EQ(KRL_NetHoldInput(accepted, 0), 1);
  EXPECT_TRUE(WaitFor([&] { return Events().Get(accepted).data == message; }, 3000));
  KRL_NetFini();
}

std::atomic<int> tlsDrains{0};
void CountTlsDrain(uint64_t) { ++tlsDrains; }

TEST(NetTls, OutputToAPeerThatDoesNotReadPausesReadingAndDrains) {
  CertDir dir;
  TestAuthority ca(dir.path(), "main");
  const CertFiles server = ca.Issue("server", LeafOptions());
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int port = ListenTls(server, "", RecordData);
  ASSERT_GT(port, 0);
  const uint64_t client =
      KRL_NetConnectTls("127.0.0.1", port, nullptr, ca.certFile().c_str(),
                        nullptr, nullptr, RecordData, RecordEvent, nullptr);
  ASSERT_NE(client, 0u);
  uint64_t accepted = 0;
  ASSERT_TRUE(WaitFor([&] { return Events().Opens() == 2; }, 2000));
  for (uint64_t id : Events().OpenOrder()) {
    if (id != client) accepted = id;
  }
  // The client stops reading; the accepting side sends 24 MiB.
  ASSERT_EQ(KRL_NetHoldInput(client, 1), 1);
  const std::string block = Pattern(1 << 20);
  for (int i = 0; i < 24; ++i) {
    ASSERT_EQ(KRL_NetSend(accepted, block.data(), static_cast<int>(block.size())), 1);
  }
  // Encrypted output waits, counted as queued (more than the plain bytes
  // the sockets could take), and its drain is armed.
  EXPECT_GT(KRL_NetQueuedOutput(accepted), 8 << 20);
  EXPECT_EQ(KRL_NetNotifyDrained(accepted, 0, CountTlsDrain), 1);
  // Above 8 MiB queued the accepting side reads nothing from its peer.
  ASSERT_EQ(KRL_NetSend(client, "late", 4), 1);
  EXPECT_FALSE(WaitFor([&] { return !Events().Get(accepted).data.empty(); }, 400));
  // The client reads again: everything arrives in order, the drain comes
  // once, and the accepting side reads again.
  ASSERT_EQ(KRL_NetHoldInput(client, 0), 1);
  // (Each look copies what arrived: looked at every 50 ms.)
  EXPECT_TRUE(WaitFor(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return Events().Get(client).data.size() == 24u << 20;
      },
      20000));
  EXPECT_EQ(Events().Get(client).data.substr(0, block.size()), block);
  EXPECT_EQ(Events().Get(client).data.substr(23u << 20), block);
  EXPECT_TRUE(WaitFor([&] { return Events().Get(accepted).data == "late"; }, 3000));
  EXPECT_TRUE(WaitFor([] { return tlsDrains.load() == 1; }, 3000));
  EXPECT_EQ(KRL_NetQueuedOutput(accepted), 0);
  KRL_NetFini();
}

// Bytes that differ with their place and with seed, so that a piece lost,
// repeated or swapped with another send's shows.
std::string Numbered(size_t length, uint32_t seed) {
  std::string bytes(length, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(state >> 16);
  }
  return bytes;
}

TEST(NetTls, LargeSendsOfTwoConnectionsArriveWholeThroughPartialWrites) {
  CertDir dir;
  TestAuthority ca(dir.path(), "main");
  const CertFiles server = ca.Issue("server", LeafOptions());
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int port = ListenTls(server, "", RecordData);
  ASSERT_GT(port, 0);
  uint64_t clients[2];
  for (uint64_t& client : clients) {
    client = KRL_NetConnectTls("127.0.0.1", port, nullptr, ca.certFile().c_str(),
                               nullptr, nullptr, RecordData, RecordEvent, nullptr);
    ASSERT_NE(client, 0u);
  }
  ASSERT_TRUE(WaitFor([&] { return Events().Opens() == 4; }, 2000));
  uint64_t accepted[2] = {0, 0};
  for (uint64_t id : Events().OpenOrder()) {
    if (id == clients[0] || id == clients[1]) continue;
    // The accepting ids come in the order the clients connected.
    (accepted[0] == 0 ? accepted[0] : accepted[1]) = id;
  }
  ASSERT_NE(accepted[1], 0u);
  // Sizes on both sides of the encryption pieces and of a last piece that
  // takes a remainder, sent by this one thread to both connections in
  // turn. The first client holds its input, so its sends (more than the
  // sockets hold) are partly written and queued; the second reads along.
  ASSERT_EQ(KRL_NetHoldInput(clients[0], 1), 1);
  const size_t sizes[] = {(6u << 20) + 7, (512u << 10) - 1, 512u << 10, (512u << 10) + 1, 640u << 10,
                          (640u << 10) + 1, 17, (3u << 20) + 12345, 1};
  std::string expected[2];
  uint32_t seed = 1;
  for (size_t size : sizes) {
    for (int side = 0; side < 2; ++side) {
      const std::string bytes = Numbered(size, seed++);
      expected[side] += bytes;
      ASSERT_EQ(KRL_NetSend(accepted[side], bytes.data(), static_cast<int>(bytes.size())), 1);
    }
  }
  EXPECT_TRUE(WaitFor([&] { return Events().Get(clients[1]).data.size() == expected[1].size(); },
                      10000));
  EXPECT_GT(KRL_NetQueuedOutput(accepted[0]), 0);
  ASSERT_EQ(KRL_NetHoldInput(clients[0], 0), 1);
  EXPECT_TRUE(WaitFor(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return Events().Get(clients[0]).data.size() == expected[0].size();
      },
      10000));
  for (int side = 0; side < 2; ++side) {
    const std::string got = Events().Get(clients[side]).data;
    EXPECT_EQ(got.size(), expected[side].size());
    EXPECT_TRUE(got == expected[side]) << "connection " << side << " differs";
  }
  KRL_NetFini();
}

// Event callback of an accepting side that greets each new connection
// with 9 MiB at once, before its handshake is done.
void GreetLargely(uint64_t id, int opened) {
  RecordEvent(id, opened);
  if (opened == 1) {
    const std::string greeting = Pattern(9 << 20);
    KRL_NetSend(id, greeting.data(), static_cast<int>(greeting.size()));
  }
}

TEST(NetTls, SendsKeptForTheHandshakeDoNotStallIt) {
  CertDir dir;
  TestAuthority ca(dir.path(), "main");
  const CertFiles server = ca.Issue("server", LeafOptions());
  ASSERT_EQ(KRL_NetInit(2), 1);
  int port = -1;
  for (int attempt = 0; attempt < 20 && port < 0; ++attempt) {
    const int candidate = FreePort();
    if (KRL_NetListenTls("127.0.0.1", candidate, server.cert.c_str(),
                         server.key.c_str(), nullptr, RecordData, GreetLargely,
                         nullptr) == 1) {
      port = candidate;
    }
  }
  ASSERT_GT(port, 0);
  // More than the pause for queued output waits before the handshake: the
  // handshake must still be read, and the greeting then goes out.
  const uint64_t client =
      KRL_NetConnectTls("127.0.0.1", port, nullptr, ca.certFile().c_str(),
                        nullptr, nullptr, RecordData, RecordEvent, nullptr);
  ASSERT_NE(client, 0u);
  EXPECT_TRUE(WaitFor(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return Events().Get(client).data.size() == 9u << 20;
      },
      20000));
  EXPECT_EQ(Events().Get(client).data, Pattern(9 << 20));
  KRL_NetFini();
}

TEST(NetTls, MutualTlsAcceptsClientsOfItsAuthorityOnly) {
  CertDir dir;
  TestAuthority ca(dir.path(), "main");
  TestAuthority stranger(dir.path(), "stranger");
  const CertFiles server = ca.Issue("server", LeafOptions());
  LeafOptions clientLeaf;
  clientLeaf.commonName = "client";
  clientLeaf.altNames = {};
  clientLeaf.client = true;
  const CertFiles member = ca.Issue("member", clientLeaf);
  const CertFiles outsider = stranger.Issue("outsider", clientLeaf);
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int port = ListenTls(server, ca.certFile(), Echo);
  ASSERT_GT(port, 0);

  // A client whose certificate the authority signed is served.
  const uint64_t good = KRL_NetConnectTls(
      "127.0.0.1", port, nullptr, ca.certFile().c_str(), member.cert.c_str(),
      member.key.c_str(), RecordData, RecordEvent, nullptr);
  ASSERT_NE(good, 0u);
  ASSERT_EQ(KRL_NetSend(good, "ping", 4), 1);
  EXPECT_TRUE(WaitFor([&] { return Events().Get(good).data == "ping"; }, 3000));

  // Without a certificate, or with one of another authority, the server
  // refuses the handshake: the connect fails or (TLS 1.3, where the
  // client finishes first) the connection is closed, and nothing the
  // client sent reaches the host.
  const struct {
    const char* cert;
    const char* key;
  } refused[] = {{nullptr, nullptr}, {outsider.cert.c_str(), outsider.key.c_str()}};
  int refusedOpen = 0;  // refused clients whose connect returned an id
  for (const auto& r : refused) {
    const uint64_t id =
        KRL_NetConnectTls("127.0.0.1", port, nullptr, ca.certFile().c_str(),
                          r.cert, r.key, RecordData, RecordEvent, nullptr);
    if (id != 0) {
      ++refusedOpen;
      KRL_NetSend(id, "sneak", 5);
      EXPECT_TRUE(WaitFor([&] { return Events().Get(id).closes == 1; }, 3000));
      EXPECT_EQ(Events().Get(id).data, "");
    }
  }
  // Every accepted connection but the good one's peer was closed, and only
  // "ping" ever reached the accepting side.
  ASSERT_TRUE(
      WaitFor([&] { return Events().Closes() == 2 + refusedOpen; }, 3000));
  std::string received;
  for (const auto& [id, record] : Events().All()) {
    if (id != good) received += record.data;
  }
  EXPECT_EQ(received, "ping");
  KRL_NetFini();
}

TEST(NetTls, ConnectRefusesWrongNamesExpiredAndUnknownCertificates) {
  CertDir dir;
  TestAuthority ca(dir.path(), "main");
  TestAuthority stranger(dir.path(), "stranger");
  const CertFiles server = ca.Issue("server", LeafOptions());
  LeafOptions expiredLeaf;
  expiredLeaf.notBefore = -3600L * 48;
  expiredLeaf.notAfter = -3600L * 24;
  const CertFiles expired = ca.Issue("expired", expiredLeaf);
  const CertFiles unknown = stranger.Issue("unknown", LeafOptions());
  ASSERT_EQ(KRL_NetInit(2), 1);
  const int good = ListenTls(server, "", Echo);
  const int old = ListenTls(expired, "", Echo);
  const int foreign = ListenTls(unknown, "", Echo);
  ASSERT_GT(good, 0);
  ASSERT_GT(old, 0);
  ASSERT_GT(foreign, 0);
  const char* caFile = ca.certFile().c_str();

  EXPECT_NE(KRL_NetConnectTls("127.0.0.1", good, "localhost", caFile, nullptr,
                              nullptr, RecordData, RecordEvent, nullptr),
            0u);
  // The certificate names localhost and 127.0.0.1, not this.
  EXPECT_EQ(KRL_NetConnectTls("127.0.0.1", good, "files.example.org", caFile,
                              nullptr, nullptr, RecordData, RecordEvent, nullptr),
            0u);
  EXPECT_EQ(KRL_NetConnectTls("127.0.0.1", old, "localhost", caFile, nullptr,
                              nullptr, RecordData, RecordEvent, nullptr),
            0u);
  EXPECT_EQ(KRL_NetConnectTls("127.0.0.1", foreign, "localhost", caFile,
                              nullptr, nullptr, RecordData, RecordEvent, nullptr),
            0u);
  // Refused connects deliver no event on the connecting side; each
  // accepted side is closed after the failed handshake.
  EXPECT_TRUE(WaitFor([] { return Events().Closes() == 3; }, 3000));
  EXPECT_EQ(Events().Opens(), 5);  // one connect, four accepted
  KRL_NetFini();
}

TEST(NetTls, StalledAndPlainPeersAreClosedWithoutData) {
  CertDir dir;
  TestAuthority ca(dir.path(), "main");
  const CertFiles server = ca.Issue("server", LeafOptions());
  ASSERT_EQ(KRL_NetInit(1), 1);
  ASSERT_EQ(KRL_NetSetHandshakeTimeout(600), 1);
  EXPECT_EQ(KRL_NetSetHandshakeTimeout(0), 0);
  const int port = ListenTls(server, "", Echo);
  ASSERT_GT(port, 0);

  // A peer that starts a record and stops: closed at the deadline.
  PeerSocket stalled = PeerSocket::Connect(port);
  ASSERT_TRUE(stalled.valid());
  const double started = Now();
  ASSERT_TRUE(stalled.SendAll(std::string("\x16\x03\x01", 3)));
  EXPECT_TRUE(stalled.WaitForEnd(3000));
  const double waited = Now() - started;
  EXPECT_GE(waited, 0.5);
  EXPECT_LT(waited, 2.0);

  // A peer speaking the plain protocol: the handshake fails at once.
  PeerSocket plain = PeerSocket::Connect(port);
  ASSERT_TRUE(plain.valid());
  const double sent = Now();
  ASSERT_TRUE(plain.SendAll(std::string("T\x20\0\0\0\0cmd\0", 11)));
  EXPECT_TRUE(plain.WaitForEnd(3000));
  EXPECT_LT(Now() - sent, 0.5);

  EXPECT_TRUE(WaitFor([] { return Events().Closes() == 2; }, 2000));
  for (const auto& [id, record] : Events().All()) {
    EXPECT_EQ(record.data, "") << id;
    EXPECT_EQ(record.closes, 1) << id;
  }
  KRL_NetFini();
}

TEST(NetTls, UnusableCertificateOrKeyListensNowhere) {
  CertDir dir;
  TestAuthority ca(dir.path(), "main");
  const CertFiles server = ca.Issue("server", LeafOptions());
  const CertFiles other = ca.Issue("other", LeafOptions());
  ASSERT_EQ(KRL_NetInit(1), 1);
  const int port = FreePort();
  const std::string missing = dir.path() + "/missing.pem";
  EXPECT_EQ(KRL_NetListenTls(nullptr, port, missing.c_str(), server.key.c_str(),
                             nullptr, Echo, RecordEvent, nullptr),
            0);
  // A key that is not the certificate's.
  EXPECT_EQ(KRL_NetListenTls(nullptr, port, server.cert.c_str(),
                             other.key.c_str(), nullptr, Echo, RecordEvent,
                             nullptr),
            0);
  EXPECT_EQ(KRL_NetListenTls(nullptr, port, server.cert.c_str(),
                             server.key.c_str(), missing.c_str(), Echo,
                             RecordEvent, nullptr),
            0);
  EXPECT_EQ(DumpNumber("Listen Ports"), 0);
  EXPECT_EQ(KRL_NetListenTls(nullptr, port, server.cert.c_str(),
                             server.key.c_str(), "", Echo, RecordEvent, nullptr),
            1);
  EXPECT_EQ(DumpNumber("Listen Ports"), 1);
  KRL_NetFini();
}

}  // namespace
}  // namespace linkcore_test
