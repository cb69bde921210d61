// ProtocolTest: a test site, the server on loopback, a log capture and
// clients of the client library.
#ifndef DIRSYNC_TESTS_PROTOCOL_PROTOCOL_FIXTURE_H_
#define DIRSYNC_TESTS_PROTOCOL_PROTOCOL_FIXTURE_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection.h"
#include "platform/log.h"
#include "protocol/test_server.h"
#include "protocol/test_site.h"

namespace dirsync {

// Collects every log line. Installed once and never destroyed: a server
// thread may still be writing a line when a test ends. Thread safe.
class LogCapture final : public LogTee {
 public:
  static LogCapture& Installed() {
    static LogCapture* capture = [] {
      auto* c = new LogCapture;
      SetLogTee(c);
      return c;
    }();
    return *capture;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
  }
  void Write(const char* line, size_t length) override {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.emplace_back(line, length);
  }
  // Whether a line holds text; waits briefly, since the server thread may
  // log after its reply is out.
  bool Has(const std::string& text, int waitMs = 2000) {
    for (int waited = 0;; waited += 10) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& l : lines_) {
          if (l.find(text) != std::string::npos) return true;
        }
      }
      if (waited >= waitMs) return false;
      ::usleep(10000);
    }
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
};

class ProtocolTest : public ::testing::Test {
 protected:
  static constexpr const char* kUid = "alice";
  static constexpr const char* kToken = "s3cret";

  std::unique_ptr<dsclient::Connection> Connect() {
    auto c = std::make_unique<dsclient::Connection>();
    EXPECT_TRUE(c->Connect("127.0.0.1", TestServerPort()));
    return c;
  }
  // A connection logged in as alice.
  std::unique_ptr<dsclient::Connection> LoggedIn() {
    site_.WriteCredential(TestSite::kTaskName, kUid, kToken);
    auto c = Connect();
    dsclient::LoginResult r;
    EXPECT_TRUE(c->Login(kUid, kToken, TestSite::kTaskName, &r));
    EXPECT_EQ(r.data, "ok");
    return c;
  }
  // True when nothing arrives for a short while and the link stays open.
  static bool Silent(dsclient::Connection& c, int ms = 300) {
    dsclient::Message m;
    return c.Receive(&m, ms) == dsclient::Connection::Status::kTimeout;
  }
  static std::vector<std::string> Names(std::initializer_list<const char*> names) {
    return std::vector<std::string>(names.begin(), names.end());
  }

  ProtocolTest() : log_(LogCapture::Installed()) { log_.Clear(); }

  TestSite site_;
  LogCapture& log_;
};

}  // namespace dirsync

#endif  // DIRSYNC_TESTS_PROTOCOL_PROTOCOL_FIXTURE_H_
