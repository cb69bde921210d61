// "list" over loopback connections.
#include "protocol/protocol_fixture.h"
#include "catalog/catalog_record.h"

namespace dirsync {
namespace {

using dsclient::FrameWriter;
using dsclient::ListResult;
using dsclient::Message;

constexpr int64_t kBlock = 4 * 1024 * 1024;

class ListTest : public ProtocolTest {
 protected:
  // A store of records: the header and files 1.. with versions 1, each
  // the current record of its catalog entry.
  void FillRecords(size_t bytes) {
    site_.AppendStore(TestSite::MakeRecord(0, 0x5e5e1234, StateHeader, ""));
    for (uint64_t ref = 1; site_.task().store.storeSize.load() + 200 <= static_cast<int64_t>(bytes); ++ref) {
      const std::string name = "dir\\file" + std::to_string(ref) + ".txt";
      site_.AppendStore(TestSite::MakeRecord(ref, 1, StateAdded, name, 100));
      site_.SetEntry(ref, 1, name, StateAdded);
    }
    int64_t rest = static_cast<int64_t>(bytes) - site_.task().store.storeSize.load();
    if (rest > 0) site_.AppendStore(TestSite::MakeRecord(0, 0, StateFiller, "", static_cast<int32_t>(rest)));
  }
  // The client position as the server logs it after a ping at 0.
  bool ClientPosIs(dsclient::Connection& c, int64_t pos) {
    dsclient::PingResult p;
    c.Ping(0, 77, &p);
    return log_.Has("client=" + std::to_string(pos) + ", ping=77)");
  }
};

TEST_F(ListTest, AtTheEndOfTheStoreOnlyTheLengthIsSent) {
  FillRecords(10000);
  auto c = LoggedIn();
  c->Send(FrameWriter("list").Text("path", "D:\\A").Int64("pos", 10000));
  Message m;
  ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Names(), Names({"cmd", "path", "pos", "max"}));
  EXPECT_EQ(m.Text("path"), "D:\\A");
  EXPECT_EQ(m.Int64("pos"), 10000);
  EXPECT_EQ(m.Int64("max"), 10000);
  EXPECT_TRUE(ClientPosIs(*c, 0));
}

TEST_F(ListTest, SmallStoreIsSentWhole) {
  FillRecords(10000);
  auto c = LoggedIn();
  c->Send(FrameWriter("list").Text("path", "docs").Int64("pos", 0).Int32("zip", 0));
  Message m;
  ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Names(), Names({"cmd", "path", "pos", "max", "len", "zip", "data"}));
  EXPECT_EQ(m.Int32("len"), 10000);
  EXPECT_EQ(m.Int64("max"), 10000);
  EXPECT_EQ(m.Find("data")->value, site_.StoreBytes());
  EXPECT_TRUE(ClientPosIs(*c, 10000));
}

TEST_F(ListTest, ReadsStopAtTheBlockEnd) {
  FillRecords(kBlock);                        // block 0
  site_.AppendStore(TestSite::MakeRecord(9, 1, StateAdded, "x", 100));
  site_.FillBlock();                          // block 1: a 100-byte record first
  site_.AppendStore(TestSite::MakeRecord(0, 0, StateFiller, "", static_cast<int32_t>(kBlock)));  // block 2
  const std::string store = site_.StoreBytes();
  auto c = LoggedIn();

  ListResult r;
  ASSERT_TRUE(c->List("docs", kBlock, 0, &r));  // on a boundary: a whole block
  EXPECT_EQ(r.len, kBlock);
  EXPECT_EQ(r.data, store.substr(kBlock, kBlock));

  ASSERT_TRUE(c->List("docs", kBlock + 100, 0, &r));
  EXPECT_EQ(r.len, 4194204);
  EXPECT_EQ(r.max, 3 * kBlock);
  EXPECT_EQ(r.data, store.substr(kBlock + 100, 4194204));
  EXPECT_TRUE(ClientPosIs(*c, 2 * kBlock));
}

TEST_F(ListTest, OnlyBytesBelowTheStoreLengthAreRead) {
  FillRecords(1000);
  // Bytes of a record still being written lie in the file past storeSize.
  std::string torn = TestSite::MakeRecord(50, 1, StateAdded, "late.txt", 200);
  ASSERT_EQ(::pwrite(site_.task().store.fd.get(), torn.data(), torn.size(), 1000), static_cast<ssize_t>(torn.size()));
  auto c = LoggedIn();
  ListResult r;
  ASSERT_TRUE(c->List("docs", 0, 0, &r));
  EXPECT_EQ(r.len, 1000);
  EXPECT_EQ(r.max, 1000);
  EXPECT_TRUE(ClientPosIs(*c, 1000));
}

TEST_F(ListTest, ZippedDataInflatesToTheStoreBytes) {
  FillRecords(300000);
  auto c = LoggedIn();
  ListResult r;
  ASSERT_TRUE(c->List("docs", 0, 1, &r));  // the client inflates with zlib
  EXPECT_EQ(r.zip, 1);
  EXPECT_EQ(r.len, 300000);
  EXPECT_LT(r.wireLength, 300000u);
  EXPECT_EQ(r.data, site_.StoreBytes());
  // Any non-zero "zip" asks for compression and is echoed as sent.
  ASSERT_TRUE(c->List("docs", 0, 5, &r));
  EXPECT_EQ(r.zip, 5);
  EXPECT_EQ(r.data, site_.StoreBytes());

  // A "zip" of 8 bytes counts as 0.
  c->Send(FrameWriter("list").Text("path", "docs").Int64("pos", 0).Int64("zip", 1));
  Message m;
  ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Int32("zip"), 0);
  EXPECT_EQ(m.Find("data")->value.size(), 300000u);
}

TEST_F(ListTest, OvertakenRecordsAreMarkedStaleInTheReplyOnly) {
  site_.AppendStore(TestSite::MakeRecord(0, 0x5e5e1234, StateHeader, ""));
  site_.AppendStore(TestSite::MakeRecord(1, 1, StateAdded, "a.txt"));   // overtaken
  site_.AppendStore(TestSite::MakeRecord(2, 4, StateUpdated, "b.txt")); // current
  site_.AppendStore(TestSite::MakeRecord(3, 1, StateAdded, "c.txt"));   // left, forgotten
  site_.AppendStore(TestSite::MakeRecord(0, 0, StateFiller, "", 100));
  site_.SetEntry(1, 2, "a.txt", StateUpdated);
  site_.SetEntry(2, 4, "b.txt", StateUpdated);
  const std::string before = site_.StoreBytes();
  auto c = LoggedIn();
  ListResult r;
  ASSERT_TRUE(c->List("docs", 0, 0, &r));
  ASSERT_EQ(r.data.size(), before.size());
  const size_t a = 66, b = a + 71, cRec = b + 71, filler = cRec + 71;
  EXPECT_EQ(static_cast<uint8_t>(r.data[a + 64]), StateStale);
  EXPECT_EQ(static_cast<uint8_t>(r.data[b + 64]), StateUpdated);
  // An entry that left is forgotten once its departure is written: the
  // records before that departure are overtaken.
  EXPECT_EQ(static_cast<uint8_t>(r.data[cRec + 64]), StateStale);
  EXPECT_EQ(static_cast<uint8_t>(r.data[filler + 64]), StateFiller);
  std::string expected = before;
  expected[a + 64] = static_cast<char>(StateStale);
  expected[cRec + 64] = static_cast<char>(StateStale);
  EXPECT_EQ(r.data, expected);
  EXPECT_EQ(site_.StoreBytes(), before);  // the store is unchanged
}

TEST_F(ListTest, DeparturesOfForgottenEntriesAndReusedReferences) {
  // ref 5 was added and deleted, and is forgotten; ref 6 was added and
  // deleted, then its reference came back for another file, whose version
  // starts anew below the old records' versions.
  auto numbered = [](std::string bytes, int64_t sequence) {
    record::SetSequence(reinterpret_cast<uint8_t*>(bytes.data()), sequence);
    return bytes;
  };
  site_.AppendStore(numbered(TestSite::MakeRecord(0, 0x5e5e1234, StateHeader, ""), 1));
  site_.AppendStore(numbered(TestSite::MakeRecord(5, 1, StateAdded, "x"), 2));
  site_.AppendStore(numbered(TestSite::MakeRecord(5, 2, StateDeleted, "x"), 3));
  site_.AppendStore(numbered(TestSite::MakeRecord(6, 3, StateAdded, "y"), 4));
  site_.AppendStore(numbered(TestSite::MakeRecord(6, 4, StateDeleted, "y"), 5));
  site_.AppendStore(numbered(TestSite::MakeRecord(6, 0, StateAdded, "z"), 6));
  site_.SetEntry(6, 0, "z", StateAdded);
  {
    WriterLock lock(&site_.task().catalogLock);
    FindEntry(site_.task(), 6)->set_sequence(6);
  }
  auto c = LoggedIn();
  ListResult r;
  ASSERT_TRUE(c->List("docs", 0, 0, &r));
  std::vector<uint8_t> states;
  for (size_t p = 0; p + 66 <= r.data.size();
       p += record::Length(reinterpret_cast<const uint8_t*>(r.data.data() + p))) {
    states.push_back(static_cast<uint8_t>(r.data[p + 64]));
  }
  EXPECT_EQ(states, (std::vector<uint8_t>{StateHeader, StateStale, StateDeleted,
                                          StateStale, StateStale, StateAdded}));
}

TEST_F(ListTest, LinkOfAReplacedStoreIsClosed) {
  FillRecords(10000);
  auto c = LoggedIn();
  ListResult r;
  ASSERT_TRUE(c->List("docs", 0, 0, &r));
  // A compaction put a new store in place: positions of the old one mean
  // nothing there, so the client must log in again and learn its id.
  site_.task().storeId.store(site_.task().storeId.load() + 1);
  c->Send(FrameWriter("list").Text("path", "docs").Int64("pos", 10000));
  Message m;
  EXPECT_EQ(c->Receive(&m), dsclient::Connection::Status::kClosed);
  EXPECT_TRUE(log_.Has("was compacted"));
  // Logged in again, the client lists the new store.
  auto again = LoggedIn();
  ASSERT_TRUE(again->List("docs", 0, 0, &r));
  EXPECT_EQ(r.data.size(), 10000u);
}

TEST_F(ListTest, DamagedRecordEndsTheWalk) {
  site_.AppendStore(TestSite::MakeRecord(1, 1, StateAdded, "a.txt"));  // 71 bytes
  std::string damaged = TestSite::MakeRecord(2, 1, StateAdded, "b.txt");
  record::SetLength(reinterpret_cast<uint8_t*>(damaged.data()), 10);
  site_.AppendStore(damaged);
  site_.AppendStore(TestSite::MakeRecord(3, 1, StateAdded, "c.txt"));
  auto c = LoggedIn();
  ListResult r;
  ASSERT_TRUE(c->List("docs", 0, 0, &r));
  EXPECT_EQ(r.len, 71);  // the record before the damage
  EXPECT_TRUE(r.err.empty());
  EXPECT_TRUE(ClientPosIs(*c, 71));

  Message m;
  c->Send(FrameWriter("list").Text("path", "docs").Int64("pos", 71));
  ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Names(), Names({"cmd", "path", "pos", "max", "err"}));
  EXPECT_EQ(m.Text("err"), "damaged record at 71.");

  // A record running past the written bytes, and a store end shorter than
  // a header, are damage too.
  std::string tooLong = TestSite::MakeRecord(4, 1, StateAdded, "d.txt");
  record::SetLength(reinterpret_cast<uint8_t*>(tooLong.data()), 5000);
  const int64_t at = site_.task().store.storeSize.load();
  site_.AppendStore(tooLong);
  ASSERT_TRUE(c->List("docs", at, 0, &r));
  EXPECT_EQ(r.err, "damaged record at " + std::to_string(at) + ".");
  site_.AppendStore(std::string(10, '\x01'));
  ASSERT_TRUE(c->List("docs", at + static_cast<int64_t>(tooLong.size()), 0, &r));
  EXPECT_FALSE(r.err.empty());
}

// Damage found when the store was loaded is listed as one filler record
// covering it, so that clients pass over it; listing up to it stops
// before it.
TEST_F(ListTest, DamageFoundAtLoadIsListedAsOneFiller) {
  site_.AppendStore(TestSite::MakeRecord(1, 1, StateAdded, "a.txt"));  // 71 bytes
  std::string garbage(300, '\x5a');
  site_.AppendStore(garbage);                                          // 71..371
  site_.AppendStore(TestSite::MakeRecord(3, 1, StateAdded, "c.txt"));  // 371..442
  site_.SetEntry(3, 1, "c.txt", StateAdded);
  site_.task().store.damaged.push_back({71, 371});
  auto c = LoggedIn();
  ListResult r;
  ASSERT_TRUE(c->List("docs", 0, 0, &r));
  EXPECT_TRUE(r.err.empty());
  EXPECT_EQ(r.len, 71);

  for (int zip : {0, 1}) {
    SCOPED_TRACE(zip);
    ASSERT_TRUE(c->List("docs", 71, zip, &r));
    EXPECT_TRUE(r.err.empty());
    ASSERT_EQ(r.len, 300);
    ASSERT_EQ(r.data.size(), 300u);
    const uint8_t* filler = reinterpret_cast<const uint8_t*>(r.data.data());
    EXPECT_EQ(record::Length(filler), 300);
    EXPECT_EQ(record::State(filler), StateFiller);
    EXPECT_EQ(r.data.substr(4), std::string(296, '\0'));
  }
  EXPECT_TRUE(ClientPosIs(*c, 371));
  // A client that had read into the span before it was damaged is taken
  // to its end too.
  ASSERT_TRUE(c->List("docs", 71 + 100, 0, &r));
  EXPECT_EQ(r.len, 200);
  ASSERT_TRUE(c->List("docs", 371, 0, &r));
  EXPECT_EQ(r.len, 71);
  EXPECT_EQ(static_cast<uint8_t>(r.data[64]), StateAdded);
}

TEST_F(ListTest, BadRequestsAreOnlyLogged) {
  FillRecords(1000);
  auto c = LoggedIn();
  c->Send(FrameWriter("list").Text("path", "docs"));                      // no pos
  c->Send(FrameWriter("list").Text("path", "docs").Int32("pos", 0));      // 4-byte pos
  c->Send(FrameWriter("list").Bytes("path", "docs").Int64("pos", 0));     // no NUL
  EXPECT_TRUE(Silent(*c));
  auto lines = log_.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("Invalid request_reg param.\n") != std::string::npos; }),
            3);
}

TEST_F(ListTest, ListBeforeLoginCloses) {
  FillRecords(1000);
  auto c = Connect();
  c->Send(FrameWriter("list").Text("path", "docs").Int64("pos", 0));
  EXPECT_TRUE(c->WaitForClose());
  EXPECT_TRUE(log_.Has("用户还没有注册.\n"));
}

}  // namespace
}  // namespace dirsync
