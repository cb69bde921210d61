// One mirror directory and its link to the server: loads the saved state,
// logs in (rebuilding the copy when the server's store is a new one),
// reads the store from the saved position and applies its records up to
// the store's end, then downloads what they call for (many files at once,
// Downloader), and saves the state (a change log append, StateFile) after
// every block of records and every second of downloads.
//
// The steps report kLost when the connection is gone (the caller decides
// between giving up and reconnecting), kNoRoom when there is no room to
// write (the filesystem full, descriptors or memory used up: what could not
// be written waits, nothing is lost, a later attempt goes on), kFatal for failures that another attempt will
// not mend, and kStopped when the stop flag was raised (the state is saved
// first). Not thread safe, except that the stop flag may
// be raised from anywhere (a signal handler).
#ifndef DIRSYNC_TOOLS_MIRROR_SESSION_H_
#define DIRSYNC_TOOLS_MIRROR_SESSION_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_set>

#include "connection.h"
#include "local_tree.h"
#include "mirror_state.h"
#include "options.h"
#include "progress_line.h"
#include "record_applier.h"
#include "server_session.h"
#include "state_file.h"

namespace dsclient_tool {

class MirrorSession {
 public:
  enum class Step { kOk, kLost, kFatal, kStopped, kNoRoom };

  // stop, when given, is polled between records blocks and downloads.
  MirrorSession(const Options& options, std::string token, std::string dir,
                ProgressLine& progress, const std::atomic<bool>* stop = nullptr);

  // Creates the directory when missing and loads its state.
  Step Prepare();
  // Connects and logs in; *status tells how a failure came about and
  // *message says it in words (the caller logs it).
  Step Connect(LoginStatus* status, std::string* message);
  void Disconnect() { connection_.Close(); }
  bool connected() const { return connection_.connected(); }

  // Reads and applies records until the end of the store, downloading
  // after each block.
  Step CatchUp();
  // Downloads every file that waits for its content.
  Step DownloadPending();
  // Asks the server how long the store is now.
  Step Ping(int64_t* max);
  // Whether the server answers "wait" (learnt at each login).
  bool serverWaits() const { return serverWaits_; }
  // Waits until the server's store holds more than the mirror's position,
  // or at most waitMs, and tells its length in *max. Only when
  // serverWaits(); a stop asked for meanwhile returns kStopped.
  Step WaitForGrowth(int waitMs, int64_t* max);
  bool Save();
  // Files wait for their content and have not failed here.
  bool HasDownloadsToTry() const;

  int64_t position() const { return state_.position; }
  // Files whose download the server refused for a newer version in this
  // run and whose newer record has not arrived yet.
  size_t VersionWaits() const;
  // Records applied and files downloaded since the last call.
  void TakeCounts(uint64_t* records, uint64_t* files);

 private:
  const Options& options_;
  std::string token_;
  // A login of this run succeeded: a later close without an answer is a
  // server going down (or coming up), not a refusal.
  bool loggedIn_ = false;
  std::string dir_;
  ProgressLine& progress_;
  LocalTree tree_;
  MirrorState state_;
  StateFile stateFile_;
  RecordApplier applier_;
  dsclient::Connection connection_;
  std::set<uint64_t> versionWaits_;
  std::set<uint64_t> localFailures_;  // not retried in this run
  std::set<uint64_t> notFiles_;       // the server could not read them (logged)
  bool noRoomLogged_ = false;         // a full filesystem was told of
  int32_t pingCounter_ = 0;
  bool serverWaits_ = false;
  const std::atomic<bool>* stop_;
  uint64_t recordsApplied_ = 0;
  uint64_t filesDownloaded_ = 0;

  // The server's store is another one than the state's (a compaction
  // replaced it): its records are compared with what the mirror holds
  // instead of starting over.
  bool comparing_ = false;
  uint32_t comparedStoreId_ = 0;
  // References the new store has records of, so far.
  std::unordered_set<uint64_t> listed_;

  void BeginComparison(uint32_t storeId);
  // At the end of the new store: removes what it does not list and makes
  // it the state's store.
  Step FinishComparison();
  // Saves: onSuccess, or kNoRoom for a full filesystem, kFatal otherwise.
  Step SaveStep(Step onSuccess);
  void RemoveLeftoverDownloads();
  bool Stopping() const { return stop_ != nullptr && stop_->load(); }
};

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_MIRROR_SESSION_H_
