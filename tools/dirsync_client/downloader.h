// Downloads file versions into place, many at once on one connection.
//
// Each file is fetched in ranges of at most 4 MiB ("dload" with the file
// reference and the version the mirror saw, compressed on request), up to
// the size its record gives and never beyond it. Requests go out ahead of
// their replies within a bounded window (a number of requests and of bytes
// asked for or received and not yet written), ranges of a large file and
// many small files alike; the server answers a connection's requests in
// order, so each reply is matched with the oldest request in flight (a
// reply for another file or position ends the connection).
//
// A writer thread puts the bytes on disk while the network goes on: it
// creates the target's parents when asked, writes a temporary file in the
// target's directory, gives it the catalog's write time and renames it
// over the target, so a reader of the mirror never sees a half-written
// file. A file with permissions is written readable by its owner alone
// and takes its permissions before the rename. A link's target text is
// collected and the link made the same way. An empty file is asked for as well (one byte): only a server that
// finds it a readable, empty regular file makes one, so that a FIFO,
// socket or device in the tree is never made into a file here.
//
// Outcomes are told on the calling thread, each file once, in the order
// the files finish. Not thread safe; uses one Connection.
#ifndef DIRSYNC_TOOLS_DOWNLOADER_H_
#define DIRSYNC_TOOLS_DOWNLOADER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "connection.h"
#include "local_tree.h"

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
  // The content is the target text of a symbolic link: the link is made
  // (under a temporary name, then renamed into place), never a file.
  bool link = false;
  // A link whose target is absolute or leads out of the mirror (judged
  // with local) is not made: kSkipped, and a link left at target goes.
  bool skipOutsideLink = false;
  // The permission bits the file takes (never wider than mode & 0777);
  // without, a new file gets 0644 less the umask.
  bool hasMode = false;
  uint32_t mode = 0;
  // When set, the writer creates the missing parents of local (target's
  // path relative to the tree) first, through the tree's checks.
  LocalTree* tree = nullptr;
  std::string local;
};

enum class DownloadOutcome {
  kDone,
  kVersionChanged,  // the catalog holds a newer version: a newer record follows
  kGone,            // the server cannot read the file (deleted, not a file)
  kShort,           // the file ended before the recorded size: it is changing
  kLonger,          // the server holds more than the recorded size: a newer
                    // record follows (nothing was written)
  kLocalError,      // the file could not be written here
  kNoRoom,          // no room to write: the filesystem full (or over quota),
                    // descriptors or memory used up (IsLackOfRoom)
  kConnectionLost,
  kCancelled,       // the run was stopped before the file was whole
  kSkipped,         // a link pointing outside the mirror, left out on request
};

const char* DownloadOutcomeName(DownloadOutcome outcome);

// How much may be under way at once.
struct DownloadWindow {
  size_t requests = 128;
  uint64_t bytes = 32 * 1024 * 1024;
};

class Downloader {
 public:
  using OnDone = std::function<void(const DownloadRequest& request,
                                    DownloadOutcome outcome, const std::string& detail)>;
  enum class End { kDone, kConnectionLost, kStopped };

  // onBytes is told the file bytes of each range received (progress).
  Downloader(dsclient::Connection& connection, bool zip,
             std::function<void(uint64_t)> onBytes = nullptr,
             DownloadWindow window = {});

  // Queues a file for the next Run.
  void Add(DownloadRequest request);
  // Fetches every queued file and tells each outcome through onDone.
  // kConnectionLost: the connection failed (files under way are told
  // kConnectionLost, files not begun are not told at all); kStopped:
  // stop() turned true, no new file was begun, files under way were
  // finished or told kCancelled. The queue is empty afterwards.
  End Run(const OnDone& onDone, const std::function<bool()>& stop = nullptr);

  // One file on its own; *detail explains any outcome but kDone.
  DownloadOutcome Fetch(const DownloadRequest& request, std::string* detail);

 private:
  dsclient::Connection& connection_;
  bool zip_;
  std::function<void(uint64_t)> onBytes_;
  DownloadWindow window_;
  std::vector<DownloadRequest> queue_;
};

// An errno that tells of the machine running out of room (disk, quota,
// descriptors, memory) rather than of a fault of one file.
bool IsLackOfRoom(int error);

// The temporary name used for a download of fileRef beside target.
std::string TemporaryNameFor(const std::string& target, uint64_t fileRef);

// How a "dload" error text is to be read.
DownloadOutcome ClassifyDownloadError(const std::string& err, int64_t pos);

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_DOWNLOADER_H_
