// "dload" over loopback connections.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "protocol/download_handler.h"
#include "protocol/reply_compress.h"
#include "protocol/protocol_fixture.h"
#include "catalog/catalog_record.h"

namespace dirsync {
namespace {

using dsclient::DloadRequest;
using dsclient::DloadResult;
using dsclient::FrameWriter;
using dsclient::Message;

constexpr int32_t kRange = 4 * 1024 * 1024;

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245 + 12345;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

class DownloadTest : public ProtocolTest {
 protected:
  DloadRequest Request(int64_t fid, int32_t ver, int64_t pos, int32_t size, int32_t zip = 0) {
    DloadRequest r;
    r.path = "D:\\DOCS\\x";
    r.fid = fid;
    r.ver = ver;
    r.pos = pos;
    r.size = size;
    r.zip = zip;
    return r;
  }
};

TEST_F(DownloadTest, RangesUpTo4MiBAreServed) {
  const std::string content = Pattern(kRange + 1000, 1);
  site_.WriteFile("big.bin", content);
  site_.SetEntry(10, 3, "big.bin");
  auto c = LoggedIn();

  c->Send(FrameWriter("dload").Text("path", "D:\\DOCS\\big.bin").Int64("fid", 10).Int64("pos", 0)
              .Int32("ver", 3).Int32("size", kRange).Int32("zip", 0));
  Message m;
  ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Names(), Names({"cmd", "path", "fid", "pos", "ver", "len", "zip", "data"}));
  EXPECT_EQ(m.Text("path"), "D:\\DOCS\\big.bin");
  EXPECT_EQ(m.Int64("fid"), 10);
  EXPECT_EQ(m.Int32("ver"), 3);
  EXPECT_EQ(m.Int32("len"), kRange);
  EXPECT_TRUE(m.Find("data")->value == content.substr(0, kRange));

  // The rest of the file: shorter than asked.
  DloadResult r;
  ASSERT_TRUE(c->Dload(Request(10, 3, kRange, kRange), &r));
  EXPECT_EQ(r.len, 1000);
  EXPECT_EQ(r.data, content.substr(kRange));

  // One byte more than 4 MiB, and a negative size, are refused.
  for (int32_t size : {kRange + 1, -1}) {
    c->Send(FrameWriter("dload").Text("path", "p").Int64("fid", 10).Int64("pos", 0).Int32("ver", 3).Int32("size", size));
    ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
    EXPECT_EQ(m.Names(), Names({"cmd", "path", "fid", "pos", "err"}));
    EXPECT_EQ(m.Text("err"), "Invalid download request size=" + std::to_string(size) + ".\n");
  }
  EXPECT_TRUE(log_.Has("error: Invalid download request size=4194305.\n"));
}

TEST_F(DownloadTest, VersionAndCatalogAreChecked) {
  site_.WriteFile("a.txt", "hello");
  site_.SetEntry(5, 8, "a.txt");
  auto c = LoggedIn();
  c->Send(FrameWriter("dload").Text("path", "p").Int64("fid", 5).Int64("pos", 0).Int32("ver", 7).Int32("size", 5));
  Message m;
  ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Names(), Names({"cmd", "path", "fid", "pos", "err"}));
  EXPECT_EQ(m.Text("err"), "server-ver=8, client-ver=7, current does not need download.");

  DloadResult r;
  ASSERT_TRUE(c->Dload(Request(6, 1, 0, 5), &r));
  EXPECT_EQ(r.err, "file is not exists!");
  EXPECT_TRUE(log_.Has("error: file is not exists!\n"));
}

TEST_F(DownloadTest, FileStaysOpenUntilAnotherIsAsked) {
  const std::string a = Pattern(kRange + 10, 2);
  site_.WriteFile("a.bin", a);
  site_.WriteFile("b.bin", "bee");
  site_.SetEntry(1, 1, "a.bin");
  site_.SetEntry(2, 1, "b.bin");
  auto c = LoggedIn();
  DloadResult r;
  ASSERT_TRUE(c->Dload(Request(1, 1, 0, kRange), &r));
  EXPECT_EQ(r.len, kRange);
  // Gone from the disk, the file is still read through the open handle:
  // the second range does not open it again.
  std::filesystem::remove(site_.rootDir() + "/a.bin");
  ASSERT_TRUE(c->Dload(Request(1, 1, kRange, kRange), &r));
  EXPECT_EQ(r.data, a.substr(kRange));
  // Another file closes the first; asking for the first again opens it
  // anew, which now fails.
  ASSERT_TRUE(c->Dload(Request(2, 1, 0, 10), &r));
  EXPECT_EQ(r.data, "bee");
  ASSERT_TRUE(c->Dload(Request(1, 1, 0, 10), &r));
  EXPECT_EQ(r.err, "open file a.bin fail!");
  EXPECT_TRUE(log_.Has("open file error=2,D:\\DOCS\\a.bin\n"));
}

TEST_F(DownloadTest, ReadsThatYieldNothingReportTheErrorCode) {
  site_.WriteFile("s.txt", "short");
  site_.SetEntry(1, 1, "s.txt");
  auto c = LoggedIn();
  DloadResult r;
  ASSERT_TRUE(c->Dload(Request(1, 1, 100, 10), &r));  // past the end
  EXPECT_EQ(r.err, "error=0");
  EXPECT_FALSE(r.hasData);
  DloadRequest noSize = Request(1, 1, 0, 0);
  noSize.sendSize = false;
  ASSERT_TRUE(c->Dload(noSize, &r));
  EXPECT_EQ(r.err, "error=0");
  ASSERT_TRUE(c->Dload(Request(1, 1, -1, 10), &r));  // an offset no file has
  EXPECT_EQ(r.err, "error=22");
}

TEST_F(DownloadTest, ZippedRangeInflatesToTheFile) {
  site_.WriteFile("same.bin", std::string(100000, 'z'));
  site_.SetEntry(1, 1, "same.bin");
  auto c = LoggedIn();
  DloadResult r;
  ASSERT_TRUE(c->Dload(Request(1, 1, 0, 100000, 1), &r));
  EXPECT_EQ(r.len, 100000);
  EXPECT_EQ(r.zip, 1);
  EXPECT_LT(r.wireLength, 1000u);
  EXPECT_EQ(r.data, std::string(100000, 'z'));  // inflated by the client
  ASSERT_TRUE(c->Dload(Request(1, 1, 99990, 100, 3), &r));
  EXPECT_EQ(r.zip, 3);
  EXPECT_EQ(r.len, 10);
  EXPECT_EQ(r.data, std::string(10, 'z'));

  // Bytes that do not compress go out in stored blocks, which still
  // inflate, and cost at most the limit of n + n/1000 + 12 bytes; a range
  // that compresses only after a random start is still compressed.
  std::mt19937 random(5);
  std::string noise(300000, '\0');
  for (char& ch : noise) ch = static_cast<char>(random());
  const std::string mixed = noise.substr(0, 70000) + std::string(500000, 'q');
  site_.WriteFile("noise.bin", noise + mixed);
  site_.SetEntry(2, 1, "noise.bin");
  ASSERT_TRUE(c->Dload(Request(2, 1, 0, 300000, 1), &r));
  EXPECT_EQ(r.data, noise);
  EXPECT_LE(r.wireLength, 300000u + 300u + 12u);
  ASSERT_TRUE(c->Dload(Request(2, 1, 300000, 570000, 1), &r));
  EXPECT_EQ(r.data, mixed);
  EXPECT_LT(r.wireLength, 100000u);
}

// The client takes a zipped range only when the stream is whole, its
// checksum holds and it yields exactly the length the reply names; both
// compressed and stored streams.
TEST(ClientInflateTest, OnlyAWholeStreamOfTheNamedLengthIsTaken) {
  std::mt19937 random(9);
  std::string noise(200000, '\0');
  for (char& ch : noise) ch = static_cast<char>(random());
  for (const std::string& input : {std::string(200000, 'w'), noise}) {
    std::string zipped(CompressLimit(input.size()), '\0');
    zipped.resize(CompressInto(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                               reinterpret_cast<uint8_t*>(zipped.data())));
    ASSERT_GT(zipped.size(), 6u);
    std::string out;
    ASSERT_TRUE(dsclient::Inflate(zipped, input.size(), &out));
    EXPECT_EQ(out, input);
    EXPECT_FALSE(dsclient::Inflate(zipped, input.size() - 1, &out));
    EXPECT_FALSE(dsclient::Inflate(zipped, input.size() + 1, &out));
    EXPECT_FALSE(dsclient::Inflate(zipped.substr(0, zipped.size() - 5), input.size(), &out));
    std::string damaged = zipped;
    damaged.back() = static_cast<char>(damaged.back() ^ 1);  // the checksum
    EXPECT_FALSE(dsclient::Inflate(damaged, input.size(), &out));
  }
}

TEST(ClientInflateTest, AServerCannotNameMoreThanAReplyHolds) {
  // Zeros deflate to a few KiB: named as they are, the longest reply data
  // is taken; a byte more is refused before the client allocates it.
  for (const size_t length : {dsclient::kMostReplyBytes, dsclient::kMostReplyBytes + 1}) {
    const std::string zeros(length, '\0');
    std::string zipped(CompressLimit(zeros.size()), '\0');
    zipped.resize(CompressInto(reinterpret_cast<const uint8_t*>(zeros.data()), zeros.size(),
                               reinterpret_cast<uint8_t*>(zipped.data())));
    std::string out;
    EXPECT_EQ(dsclient::Inflate(zipped, length, &out), length == dsclient::kMostReplyBytes);
    EXPECT_EQ(out.size(), length == dsclient::kMostReplyBytes ? length : 0u);
  }
  // A frame that announces more is garbage at once, without waiting for
  // (and buffering) its bytes.
  std::string header = "T";
  const uint32_t total = static_cast<uint32_t>(dsclient::kMostReplyBytes + 1);
  for (int i = 0; i < 4; ++i) header += static_cast<char>(total >> (8 * i));
  header += '\0';
  dsclient::FrameReader reader;
  reader.Append(header);
  EXPECT_TRUE(reader.HasWholeFrame());
  dsclient::Message message;
  EXPECT_EQ(reader.Next(&message), dsclient::FrameReader::Status::kGarbage);
}

TEST_F(DownloadTest, OnlyRegularFilesBelowTheRootAreOpened) {
  site_.WriteFile("in.txt", "inside");
  std::filesystem::create_directories(site_.rootDir() + "/sub");
  // Outside the root, beside it on the same volume.
  {
    std::ofstream secret(site_.dir() + "/vol/secret.txt");
    secret << "secret";
  }
  std::filesystem::create_symlink("../in.txt", site_.rootDir() + "/sub/inner");
  std::filesystem::create_symlink("../secret.txt", site_.rootDir() + "/leaving");
  std::filesystem::create_symlink(site_.dir() + "/vol/secret.txt", site_.rootDir() + "/absolute");
  std::filesystem::create_symlink("sub", site_.rootDir() + "/linkdir");
  site_.WriteFile("sub/real.txt", "real");
  site_.SetEntry(1, 1, "sub\\inner");
  site_.SetEntry(2, 1, "leaving");
  site_.SetEntry(3, 1, "absolute");
  site_.SetEntry(4, 1, "..\\secret.txt");
  site_.SetEntry(5, 1, "sub", StateDirectory);
  site_.SetEntry(6, 1, "linkdir\\real.txt");
  site_.SetEntry(7, 1, "in.txt");
  auto c = LoggedIn();
  DloadResult r;
  ASSERT_TRUE(c->Dload(Request(7, 1, 0, 100), &r));
  EXPECT_EQ(r.data, "inside");
  // A link is an entry of its own (the catalog holds the link's size, not
  // its target's): it is not followed, even when it stays inside, and
  // neither is a link on the way to a file.
  const char* refused[][2] = {{"1", "sub\\inner"}, {"2", "leaving"}, {"3", "absolute"},
                              {"4", "..\\secret.txt"}, {"5", "sub"},
                              {"6", "linkdir\\real.txt"}};
  for (auto& k : refused) {
    ASSERT_TRUE(c->Dload(Request(std::stoi(k[0]), 1, 0, 100), &r));
    EXPECT_EQ(r.err, std::string("open file ") + k[1] + " fail!");
    EXPECT_FALSE(r.hasData);
  }
}

// While a batch waits, another file may stand at an entry's recorded path
// (a file renamed away and another renamed into its place): its bytes must
// not go out under the entry's version. The entry here carries the real
// reference of its file, as the journal gives it.
TEST_F(DownloadTest, AnotherFileAtTheEntrysPathIsNotServed) {
  site_.CheckDownloadIdentity();
  site_.WriteFile("a.txt", "the entry's bytes");
  struct stat st;
  ASSERT_EQ(::stat((site_.rootDir() + "/a.txt").c_str(), &st), 0);
  const int64_t ref = static_cast<int64_t>(st.st_ino);
  site_.SetEntry(static_cast<uint64_t>(ref), 1, "a.txt");
  auto c = LoggedIn();
  DloadResult r;
  ASSERT_TRUE(c->Dload(Request(ref, 1, 0, 100), &r));
  EXPECT_EQ(r.data, "the entry's bytes");

  // Moved away, and another file renamed into its place, before the
  // catalog hears of either. A new connection opens the file anew.
  std::filesystem::rename(site_.rootDir() + "/a.txt", site_.rootDir() + "/moved.txt");
  site_.WriteFile("other.tmp", "another file's bytes");
  std::filesystem::rename(site_.rootDir() + "/other.tmp", site_.rootDir() + "/a.txt");
  auto d = LoggedIn();
  ASSERT_TRUE(d->Dload(Request(ref, 1, 0, 100), &r));
  EXPECT_FALSE(r.hasData);
  EXPECT_EQ(r.err, "file a.txt is another entry now");

  // Once the catalog records where it went, it is served from there.
  site_.SetEntry(static_cast<uint64_t>(ref), 2, "moved.txt");
  ASSERT_TRUE(d->Dload(Request(ref, 2, 0, 100), &r));
  EXPECT_EQ(r.data, "the entry's bytes");
}

TEST_F(DownloadTest, LongNamesAreCutInTheErrorText) {
  const std::string name(1000, 'n');
  site_.SetEntry(1, 1, name);
  auto c = LoggedIn();
  DloadResult r;
  ASSERT_TRUE(c->Dload(Request(1, 1, 0, 10), &r));
  EXPECT_EQ(r.err.size(), 511u);
  EXPECT_EQ(r.err, ("open file " + name).substr(0, 511));
}

TEST_F(DownloadTest, BadRequestsAreOnlyLogged) {
  site_.WriteFile("a.txt", "a");
  site_.SetEntry(1, 1, "a.txt");
  auto c = LoggedIn();
  c->Send(FrameWriter("dload").Text("path", "p").Int64("fid", 1).Int64("pos", 0).Int32("size", 1));  // no ver
  c->Send(FrameWriter("dload").Text("path", "p").Int32("fid", 1).Int64("pos", 0).Int32("ver", 1));   // 4-byte fid
  c->Send(FrameWriter("dload").Text("path", "").Int64("fid", 1).Int64("pos", 0).Int32("ver", 1).Bytes("path", ""));
  c->Send(FrameWriter("-dload").Text("path", "p"));  // a reply word: nothing
  EXPECT_TRUE(Silent(*c));
  auto lines = log_.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("Invalid request_download_file param.\n") != std::string::npos;
                          }),
            3);
}

TEST_F(DownloadTest, EveryCommandBeforeLogin) {
  site_.WriteFile("a.txt", "a");
  site_.SetEntry(1, 1, "a.txt");
  auto c = Connect();
  // Reply words and "ping" get nothing and keep the connection.
  for (const char* word : {"-reg", "-list", "-dload", "pong", "ping"}) c->Send(FrameWriter(word).Int64("pos", 0));
  EXPECT_TRUE(Silent(*c));
  c->Send(FrameWriter("dload").Text("path", "p").Int64("fid", 1).Int64("pos", 0).Int32("ver", 1).Int32("size", 1));
  EXPECT_TRUE(c->WaitForClose());
  EXPECT_TRUE(log_.Has("用户还没有注册.\n"));
}

}  // namespace
}  // namespace dirsync
