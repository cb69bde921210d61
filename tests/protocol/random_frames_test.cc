// A connection that sends 10,000 seeded random frames, sound and damaged:
// the server answers what it should, closes what it must, and neither
// crashes nor keeps anything of the connections it closed.
#include <random>

#include "app/client_link_table.h"
#include "protocol/protocol_fixture.h"

namespace dirsync {
namespace {

using dsclient::FrameWriter;

class RandomFramesTest : public ProtocolTest {};

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// One frame built from the protocol's words with random values, or with
// random damage laid over it.
std::string RandomFrame(std::mt19937& rng) {
  static const char* kWords[] = {"reg", "ping", "list", "dload", "-dload", "-reg", "pong", "hello", "pi", ""};
  static const char* kNames[] = {"uid", "token", "path", "fid", "pos", "zip", "ver", "size",
                                 "val", "max", "data", "tokenX", "cm", "x", "info", "err"};
  FrameWriter f(kWords[rng() % 10]);
  const int params = static_cast<int>(rng() % 7);
  for (int i = 0; i < params; ++i) {
    const char* name = kNames[rng() % 16];
    switch (rng() % 4) {
      case 0: f.Int32(name, static_cast<int32_t>(rng() % 3 == 0 ? rng() : rng() % 20000)); break;
      case 1: f.Int64(name, static_cast<int64_t>(rng() % 3 == 0 ? rng() : rng() % 20000)); break;
      case 2: f.Text(name, rng() % 2 ? "docs" : RandomBytes(rng, rng() % 12)); break;
      default: f.Bytes(name, RandomBytes(rng, rng() % 40)); break;
    }
  }
  std::string frame = f.Build();
  switch (rng() % 10) {
    case 0:  // damage a byte of the parameters
      if (frame.size() > 6) frame[6 + rng() % (frame.size() - 6)] = static_cast<char>(rng());
      break;
    case 1:  // damage a byte anywhere, the header included
      frame[rng() % frame.size()] = static_cast<char>(rng());
      break;
    case 2:  // plain garbage
      frame = RandomBytes(rng, 1 + rng() % 30);
      break;
    default:
      break;
  }
  return frame;
}

// Sound requests on a fresh connection, answered in full: ping, a list
// from the start of the store and a download of the file.
void ExpectSoundRequestsAnswered(dsclient::Connection& c) {
  dsclient::PingResult p;
  ASSERT_TRUE(c.Ping(0, 42, &p));
  EXPECT_EQ(p.val, 42);
  dsclient::ListResult l;
  ASSERT_TRUE(c.List("docs", 0, 0, &l));
  EXPECT_TRUE(l.hasData);
  EXPECT_TRUE(l.err.empty()) << l.err;
  dsclient::DloadRequest d;
  d.fid = 1;
  d.ver = 1;
  d.size = 5000;
  dsclient::DloadResult r;
  ASSERT_TRUE(c.Dload(d, &r));
  EXPECT_EQ(r.data, std::string(5000, 'f'));
}

TEST_F(RandomFramesTest, TenThousandFramesNeverHurtTheServer) {
  site_.AppendStore(TestSite::MakeRecord(0, 1, StateHeader, ""));
  for (uint64_t ref = 1; ref < 40; ++ref) site_.AppendStore(TestSite::MakeRecord(ref, 1, StateAdded, "f.txt"));
  site_.WriteFile("f.txt", std::string(5000, 'f'));
  for (uint64_t ref = 1; ref < 40; ++ref) site_.SetEntry(ref, 1, "f.txt");
  site_.WriteCredential("docs", kUid, kToken);

  std::mt19937 rng(20240607);
  std::unique_ptr<dsclient::Connection> c;
  int reconnects = 0;
  for (int i = 0; i < 10000; ++i) {
    if (!c || !c->connected()) {
      c = rng() % 2 ? LoggedIn() : Connect();
      ++reconnects;
    }
    c->SendBytes(RandomFrame(rng));
    // Take what has arrived, so that neither side waits on a full socket.
    // How much has arrived depends on timing, so it is not counted.
    dsclient::Message m;
    while (c->Receive(&m, 0) == dsclient::Connection::Status::kOk) {
    }
    // A frame left incomplete by damage would hold the stream; an abandoned
    // connection now and then lets the server drop what it buffered.
    if (rng() % 50 == 0) c.reset();
    // In the midst of the storm, another client is served in full.
    if (i % 1000 == 999) {
      auto sound = LoggedIn();
      ExpectSoundRequestsAnswered(*sound);
    }
  }
  c.reset();
  EXPECT_GT(reconnects, 100);

  // The server still serves, and keeps a link only for the live connection.
  auto fresh = LoggedIn();
  ExpectSoundRequestsAnswered(*fresh);
  for (int waited = 0; site_.server().clientLinks().Count() > 1 && waited < 5000; waited += 10) ::usleep(10000);
  EXPECT_EQ(site_.server().clientLinks().Count(), 1u);
}

}  // namespace
}  // namespace dirsync
