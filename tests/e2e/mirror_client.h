// The real dirsync-client program mirroring the task into a directory:
// started following (polling until stopped) or catching up once. Not
// thread safe.
#ifndef DIRSYNC_TESTS_E2E_MIRROR_CLIENT_H_
#define DIRSYNC_TESTS_E2E_MIRROR_CLIENT_H_

#include <chrono>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "e2e/server_under_test.h"

namespace dirsync::e2e {

struct MirrorOptions {
  bool zip = false;
  int intervalMs = 100;
  // Connects to the server's encrypted port with these options (--tls,
  // --ca, ...) when not empty.
  std::vector<std::string> tlsArgs = {};
};

class MirrorClient {
 public:
  MirrorClient(const ServerUnderTest& server, std::string mirrorDir,
               std::string logPath);

  // Starts "mirror --follow"; false when the program cannot be started.
  bool StartFollowing(const MirrorOptions& options = {});
  // Runs "mirror" without --follow to its end; returns the wait status, or
  // -1 when it still ran after limit (it is then killed).
  int CatchUpOnce(const MirrorOptions& options = {},
                  std::chrono::milliseconds limit = std::chrono::seconds(60));
  bool running() { return process_.running(); }
  int status() const { return process_.status(); }
  // SIGTERM, then SIGKILL; returns the wait status.
  int Stop() { return process_.Stop(std::chrono::seconds(10)); }

  std::string Log() const;
  std::string LogTail(size_t lines = 40) const;

 private:
  bool Launch(const MirrorOptions& options, bool follow);

  const ServerUnderTest& server_;
  std::string mirrorDir_;
  std::string logPath_;
  ChildProcess process_;
};

}  // namespace dirsync::e2e

#endif  // DIRSYNC_TESTS_E2E_MIRROR_CLIENT_H_
