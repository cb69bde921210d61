// "reg" and "ping" over loopback connections.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "protocol/login_handler.h"
#include "protocol/protocol_fixture.h"

namespace dirsync {
namespace {

using dsclient::FrameWriter;
using dsclient::Message;

class LoginTest : public ProtocolTest {
 protected:
  // Sends a "reg" with the given raw uid value and expects the server to
  // refuse it as an unknown user and close.
  void ExpectInvalidUser(const std::string& uidValue, const std::string& logged) {
    auto c = Connect();
    c->Send(FrameWriter("reg").Bytes("uid", uidValue).Text("token", kToken).Text("path", "docs"));
    EXPECT_TRUE(c->WaitForClose()) << logged;
    EXPECT_TRUE(log_.Has("Invalid UserID=" + logged + "\n")) << logged;
  }
};

TEST_F(LoginTest, SuccessSendsStoreLengthAndIdentity) {
  site_.AppendStore(TestSite::MakeRecord(0, 0x5e5e1234, StateHeader, ""));
  site_.WriteCredential("docs", kUid, kToken);
  auto c = Connect();
  c->Send(FrameWriter("reg").Text("uid", kUid).Text("token", kToken).Text("path", "docs"));
  Message m;
  ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Names(), Names({"cmd", "data", "max", "ver"}));
  EXPECT_EQ(m.Command(), "-reg");
  EXPECT_EQ(m.Find("data")->value, std::string("ok\0", 3));
  EXPECT_EQ(m.Int64("max"), 66);
  EXPECT_EQ(m.Int32("ver"), 0x5e5e1234);
  EXPECT_TRUE(log_.Has("UID=alice Remote=127.0.0.1:"));
  EXPECT_TRUE(log_.Has("Login OK.\n"));
  // Logged in: "ping" is answered with the same length.
  dsclient::PingResult p;
  ASSERT_TRUE(c->Ping(0, 9, &p));
  EXPECT_EQ(p.max, 66);
  EXPECT_EQ(p.val, 9);
}

// A task whose store is not open is not served: an empty catalog would
// tell clients to delete their copies. The login is refused and closed
// like one to an unknown task, and the log names the cause.
TEST_F(LoginTest, TaskWhoseStoreIsNotOpenIsRefused) {
  site_.WriteCredential("docs", kUid, kToken);
  site_.task().storeOpen = false;
  site_.task().storeError = EISDIR;
  auto c = Connect();
  c->Send(FrameWriter("reg").Text("uid", kUid).Text("token", kToken).Text("path", "docs"));
  EXPECT_TRUE(c->WaitForClose());
  EXPECT_TRUE(log_.Has("Register error: [docs] is not served now: its store "
                       "cannot be opened (Is a directory)\n"));
  EXPECT_FALSE(log_.Has("Login OK."));

  site_.task().storeOpen = true;
  auto again = Connect();
  dsclient::LoginResult r;
  ASSERT_TRUE(again->Login(kUid, kToken, "docs", &r));
  EXPECT_EQ(r.data, "ok");
}

TEST_F(LoginTest, TokenMustEqualTheFirstLineExactly) {
  struct Case {
    std::string file, token;
    bool accepted;
  } cases[] = {
      {"s3cret\n", "s3cret", false},     // the line end is part of the stored token
      {"s3cret\nmore", "s3cret\n", true},
      {"s3cret\r\n", "s3cret\n", true},  // CR LF reads as LF
      {"s3cret", "S3CRET", false},
      {"s3cret", "s3cret ", false},
      {"", "", false},                    // an empty file rejects every token
      {"", "x", false},
      {"\nsecond", "\n", false},          // so does an empty first line
      {"\r\nsecond", "\n", false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.file + "|" + k.token);
    site_.WriteCredential("docs", kUid, k.file);
    auto c = Connect();
    dsclient::LoginResult r;
    bool replied = c->Login(kUid, k.token, "docs", &r);
    if (k.accepted) {
      ASSERT_TRUE(replied);
      EXPECT_EQ(r.data, "ok");
      EXPECT_TRUE(Silent(*c, 50));
    } else {
      // The "fail" reply may be lost to the close that follows it.
      if (replied) {
        EXPECT_EQ(r.data, "fail");
      }
      EXPECT_TRUE(c->WaitForClose());
      EXPECT_TRUE(log_.Has("Invalid Password.UserID=alice\n"));
    }
  }
}

TEST_F(LoginTest, LongFirstLineIsCutTo1023Bytes) {
  std::string line(1100, 'k');
  site_.WriteCredential("docs", kUid, line + "\n");
  auto whole = Connect();
  dsclient::LoginResult r;
  whole->Login(kUid, line, "docs", &r);
  EXPECT_TRUE(whole->WaitForClose());

  auto cut = Connect();
  ASSERT_TRUE(cut->Login(kUid, line.substr(0, 1023), "docs", &r));
  EXPECT_EQ(r.data, "ok");
}

TEST_F(LoginTest, TaskNamesAreCaseSensitive) {
  site_.WriteCredential("docs", kUid, kToken);
  site_.WriteCredential("DOCS", kUid, kToken);
  auto c = Connect();
  c->Send(FrameWriter("reg").Text("uid", kUid).Text("token", kToken).Text("path", "DOCS"));
  EXPECT_TRUE(c->WaitForClose());
  EXPECT_TRUE(log_.Has("Register error: [DOCS] is not exists!\n"));
}

TEST_F(LoginTest, UnsafeUserIdsAreUnknownUsers) {
  // Each refused value names a file that holds the right token, so only
  // the refusal keeps the login out. sub/../../docs-leak would reach a file
  // outside user/.
  ::mkdir((site_.dir() + "/user/docs-sub").c_str(), 0755);
  {
    std::ofstream leak(site_.dir() + "/docs-leak");
    leak << kToken;
  }
  for (const char* uid : {".", "..", "", "a\\b", "x\n2020-01-01 00:00:00 forged"}) {
    site_.WriteCredential("docs", uid, kToken);
  }
  ExpectInvalidUser(std::string("sub/../../docs-leak\0", 20), "sub/../../docs-leak");
  ExpectInvalidUser(std::string("a\\b\0", 4), "a\\b");
  ExpectInvalidUser(std::string(".\0", 2), ".");
  ExpectInvalidUser(std::string("..\0", 3), "..");
  ExpectInvalidUser(std::string("\0", 1), "");
  ExpectInvalidUser(std::string("x\0tail\0", 7), "x\\x00tail");  // NUL before the end
  // Control characters are refused, and escaped in the log so that the
  // client cannot start a line of its own.
  ExpectInvalidUser(std::string("x\n2020-01-01 00:00:00 forged\0", 29),
                    "x\\x0a2020-01-01 00:00:00 forged");
  for (const std::string& line : log_.Lines()) {
    EXPECT_EQ(line.find("\n2020-01-01"), std::string::npos) << line;
  }
  // A credential "file" that is a directory is no credential.
  ExpectInvalidUser(std::string("sub\0", 4), "sub");
  // Nor is a FIFO, which must not stall the server.
  ASSERT_EQ(::mkfifo((site_.dir() + "/user/docs-pipe").c_str(), 0644), 0);
  ExpectInvalidUser(std::string("pipe\0", 5), "pipe");
  ExpectInvalidUser(std::string("nobody\0", 7), "nobody");
}

TEST_F(LoginTest, OneCredentialOpensOneTaskAndUser) {
  // With tasks "docs" and "docs-y", the old name docs-y-carol could be
  // carol's of docs-y or y-carol's of docs: it opens neither.
  site_.AddTask("docs-y");
  site_.WriteUserFile("docs-y-carol", kToken);
  auto login = [&](const char* uid, const char* task, const char* token) {
    auto c = Connect();
    dsclient::LoginResult r;
    return c->Login(uid, token, task, &r) && r.data == "ok";
  };
  EXPECT_FALSE(login("y-carol", "docs", kToken));
  EXPECT_TRUE(log_.Has("Credential docs-y-carol refused: it could also belong to "
                       "task docs-y; move it to user/docs/y-carol\n"));
  EXPECT_FALSE(login("carol", "docs-y", kToken));
  EXPECT_TRUE(log_.Has("Credential docs-y-carol refused: it could also belong to "
                       "task docs; move it to user/docs-y/carol\n"));

  // The task's own directory names the pair without doubt; the tool
  // writes it there (the token's line end is not part of it).
  const std::string add = std::string("printf '%s\\n' ") + kToken + " | " + DIRSYNC_USER_TOOL +
                          " add --dir " + site_.dir() + " docs-y carol";
  ASSERT_EQ(std::system(add.c_str()), 0);
  struct stat st;
  ASSERT_EQ(::stat((site_.dir() + "/user/docs-y/carol").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(login("carol", "docs-y", kToken));
  EXPECT_FALSE(login("y-carol", "docs", kToken));

  // An old name that only one task can claim still works, until a file
  // in the task's directory takes its place.
  site_.WriteUserFile("docs-bob", kToken);
  EXPECT_TRUE(login("bob", "docs", kToken));
  site_.WriteUserFile("docs/bob", "newer");
  EXPECT_FALSE(login("bob", "docs", kToken));
  EXPECT_TRUE(login("bob", "docs", "newer"));
}

TEST_F(LoginTest, NameSafetyRules) {
  auto safe = [](const std::string& v) { return IsSafeNameValue(v.data(), v.size()); };
  EXPECT_TRUE(safe(std::string("docs\0", 5)));
  EXPECT_TRUE(safe(std::string("...\0", 4)));
  EXPECT_TRUE(safe(std::string("\xe4\xb8\xad\0", 4)));  // non-ASCII bytes are fine
  EXPECT_FALSE(safe(std::string("docs", 4)));           // no NUL at its end
  EXPECT_FALSE(safe(std::string("a\x7f\0", 3)));
  EXPECT_FALSE(safe(std::string("a\tb\0", 4)));
}

TEST_F(LoginTest, MissingParametersAreOnlyLogged) {
  site_.WriteCredential("docs", kUid, kToken);
  auto c = Connect();
  c->Send(FrameWriter("reg").Text("uid", kUid).Text("path", "docs"));
  c->Send(FrameWriter("reg").Bytes("uid", "alice").Text("token", kToken).Text("path", "docs"));  // no NUL
  c->Send(FrameWriter("reg").Text("uid", kUid).Text("token", kToken).Bytes("path", ""));
  EXPECT_TRUE(Silent(*c));
  auto lines = log_.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("Invalid request_reg param.\n") != std::string::npos; }),
            3);
  dsclient::LoginResult r;
  ASSERT_TRUE(c->Login(kUid, kToken, "docs", &r));
  EXPECT_EQ(r.data, "ok");
}

TEST_F(LoginTest, PingBeforeLoginIsNotAnswered) {
  auto c = Connect();
  c->Send(FrameWriter("ping").Int64("pos", 5).Int32("val", 1));
  EXPECT_TRUE(Silent(*c));
  EXPECT_FALSE(log_.Has("pong(", 0));
}

TEST_F(LoginTest, PingRaisesTheClientPositionOnly) {
  site_.AppendStore(std::string(500, '\0'));
  auto c = LoggedIn();
  // A "pos" of 4 bytes counts as 0.
  c->Send(FrameWriter("ping").Int32("pos", 300).Int32("val", 5));
  Message m;
  ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Names(), Names({"cmd", "max", "val"}));
  EXPECT_EQ(m.Int64("max"), 500);
  EXPECT_EQ(m.Int32("val"), 5);
  EXPECT_TRUE(log_.Has("pong(svr=500, client=0, ping=5)...\n"));

  dsclient::PingResult p;
  ASSERT_TRUE(c->Ping(300, 6, &p));
  EXPECT_TRUE(log_.Has("pong(svr=500, client=300, ping=6)...\n"));
  ASSERT_TRUE(c->Ping(100, 7, &p));  // smaller: unchanged
  EXPECT_TRUE(log_.Has("pong(svr=500, client=300, ping=7)...\n"));
  // "val" of another width is 0.
  c->Send(FrameWriter("ping").Int64("pos", 0).Int64("val", 8));
  ASSERT_EQ(c->Receive(&m), dsclient::Connection::Status::kOk);
  EXPECT_EQ(m.Int32("val"), 0);
}

}  // namespace
}  // namespace dirsync
