// The real dirsync program run from a private program directory: lays out
// dirsync.ini (one drive, one task with a short quiet period), the user's
// credential and a free port, then starts, stops and kills the server and
// reads its log. Not thread safe.
#ifndef DIRSYNC_TESTS_E2E_SERVER_UNDER_TEST_H_
#define DIRSYNC_TESTS_E2E_SERVER_UNDER_TEST_H_

#include <chrono>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "e2e/sandbox.h"

namespace dirsync::e2e {

struct ServerSettings {
  std::string task = "mirror";
  std::string user = "alice";
  std::string token = "e2e-token";
  int timeoutMs = 200;  // the drive's quiet period
  // The task's exclude list: paths relative to the root, ';'-separated,
  // '\\' between their parts.
  std::string exclude;
  // A program the server is started through, with its arguments (such as
  // {"prlimit", "--nofile=128"}); empty: started directly.
  std::vector<std::string> launcher;
  // The port; 0 takes a free one.
  int port = 0;
  // [DB] COMPACTMINKB when not negative: the dead KiB a store may hold
  // beyond its live ones before it is compacted.
  int compactMinKiB = -1;
  // An encrypted port (a free one) with this certificate and key, when
  // tlsCert is set; tlsClientCa: clients need a certificate it signed.
  std::string tlsCert;
  std::string tlsKey;
  std::string tlsClientCa;
};

class ServerUnderTest {
 public:
  ServerUnderTest(const Sandbox& sandbox, ServerSettings settings = {});
  ~ServerUnderTest() = default;

  // Copies the program beside its configuration and credential. False,
  // with error() set, when the directory cannot be laid out.
  bool Prepare();

  // Starts the program and waits until it listens and has finished its
  // start-up scan. False, with error() set, when it does not get there.
  bool Start(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return Launch() && WaitReady(limit);
  }
  // The two halves of Start.
  bool Launch();
  bool WaitReady(std::chrono::milliseconds limit);
  // SIGTERM and wait: true when it ended with status 0 after "Exit!".
  bool Stop();
  // SIGKILL, as a crash.
  void Kill() { process_.Kill(); }
  // Waits until the program ends by itself; its wait status, or -1.
  int WaitForExit(std::chrono::milliseconds limit) { return process_.Wait(limit); }
  // The process id of the program (of the launcher, when there is one:
  // it becomes the program).
  int pid() const { return process_.pid(); }
  bool running() { return process_.running(); }

  int port() const { return port_; }
  // The encrypted port; 0 without one.
  int tlsPort() const { return tlsPort_; }
  const ServerSettings& settings() const { return settings_; }
  std::string tokenFile() const { return sandbox_.base() + "/token"; }
  std::string storePath() const {
    return sandbox_.serverDir() + "/data/" + settings_.task + ".db";
  }
  const std::string& error() const { return error_; }

  // The whole log of every run so far, and the part of the current run.
  std::string Log() const;
  std::string LogOfThisRun() const;
  // Whether text appears in the log of this run within limit: a line
  // logged after what a test waited for may still be on its way.
  bool LogOfThisRunShows(const std::string& text,
                         std::chrono::milliseconds limit =
                             std::chrono::seconds(5)) const;
  // Log lines that tell of a damaged or unreadable store.
  std::vector<std::string> StoreFailures() const;
  // The last lines of the log, for failure messages.
  std::string LogTail(size_t lines = 60) const;

 private:
  std::string logPath() const { return sandbox_.serverDir() + "/server.log"; }

  const Sandbox& sandbox_;
  ServerSettings settings_;
  ChildProcess process_;
  int port_ = 0;
  int tlsPort_ = 0;
  size_t runStart_ = 0;
  std::string error_;
};

// A TCP port that nothing listens on now.
int FreePort();

// Whether something accepts connections on 127.0.0.1:port.
bool Listens(int port);

}  // namespace dirsync::e2e

#endif  // DIRSYNC_TESTS_E2E_SERVER_UNDER_TEST_H_
