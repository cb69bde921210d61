// Downloads one file version into place: ranges of at most 4 MiB ("dload"
// with the file reference and the version the mirror saw, compressed on
// request), up to the size the record gives and never beyond it, are
// written to a temporary file in the target's directory,
// which then takes the catalog's write time and is renamed over the
// target, so a reader of the mirror never sees a half-written file.
//
// Not thread safe; uses one Connection.
#ifndef DIRSYNC_TOOLS_DOWNLOADER_H_
#define DIRSYNC_TOOLS_DOWNLOADER_H_

#include <cstdint>
#include <functional>
#include <string>

#include "connection.h"

namespace dsclient_tool {

constexpr int32_t kDownloadRange = 4 * 1024 * 1024;

struct DownloadRequest {
  uint64_t fileRef = 0;
  uint32_t version = 0;
  uint64_t size = 0;           // as the record gives it
  uint64_t lastWriteTime = 0;  // catalog time; 0 leaves the time alone
  std::string catalogName;     // sent as "path" (it names nothing to the server)
  std::string target;          // full local path to write
  // A directory standing at target is removed first (the mirror, where
  // the catalog now has a file in its place); otherwise it fails the
  // download.
  bool replaceDirectory = false;
};

enum class DownloadOutcome {
  kDone,
  kVersionChanged,  // the catalog holds a newer version: a newer record follows
  kGone,            // the server cannot read the file (deleted, not a file)
  kShort,           // the file ended before the recorded size: it is changing
  kLonger,          // the server holds more than the recorded size: a newer
                    // record follows (nothing was written)
  kLocalError,      // the file could not be written here
  kConnectionLost,
};

const char* DownloadOutcomeName(DownloadOutcome outcome);

class Downloader {
 public:
  // onBytes is told the file bytes of each range received (progress).
  Downloader(dsclient::Connection& connection, bool zip,
             std::function<void(uint64_t)> onBytes = nullptr);

  // Fetches the file; *detail explains any outcome but kDone.
  DownloadOutcome Fetch(const DownloadRequest& request, std::string* detail);

 private:
  dsclient::Connection& connection_;
  bool zip_;
  std::function<void(uint64_t)> onBytes_;
};

// The temporary name used for a download of fileRef beside target.
std::string TemporaryNameFor(const std::string& target, uint64_t fileRef);

// How a "dload" error text is to be read.
DownloadOutcome ClassifyDownloadError(const std::string& err, int64_t pos);

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_DOWNLOADER_H_
