#include "e2e/mirror_client.h"

#include <vector>

namespace dirsync::e2e {

MirrorClient::MirrorClient(const ServerUnderTest& server, std::string mirrorDir,
                           std::string logPath)
    : server_(server), mirrorDir_(std::move(mirrorDir)), logPath_(std::move(logPath)) {}

bool MirrorClient::Launch(const MirrorOptions& options, bool follow) {
  std::vector<std::string> argv = {
      DIRSYNC_CLIENT_PATH, "mirror",
      "--host", "127.0.0.1",
      "--port",
      std::to_string(options.tlsArgs.empty() ? server_.port() : server_.tlsPort()),
      "--task", server_.settings().task,
      "--user", server_.settings().user,
      "--token-file", server_.tokenFile(),
      "--interval-ms", std::to_string(options.intervalMs)};
  if (options.zip) argv.push_back("--zip");
  argv.insert(argv.end(), options.tlsArgs.begin(), options.tlsArgs.end());
  if (follow) argv.push_back("--follow");
  argv.push_back(mirrorDir_);
  return process_.Start(argv, logPath_);
}

bool MirrorClient::StartFollowing(const MirrorOptions& options) {
  return Launch(options, true);
}

int MirrorClient::CatchUpOnce(const MirrorOptions& options,
                              std::chrono::milliseconds limit) {
  if (!Launch(options, false)) return -1;
  int status = process_.Wait(limit);
  if (status == -1) process_.Kill();
  return status;
}

std::string MirrorClient::Log() const { return ReadText(logPath_); }

std::string MirrorClient::LogTail(size_t lines) const {
  return LastLines(Log(), lines);
}

}  // namespace dirsync::e2e
