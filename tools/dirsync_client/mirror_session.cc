#include "mirror_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "client_log.h"
#include "downloader.h"
#include "printable.h"
#include "store_reader.h"

namespace dsclient_tool {

namespace {

using Clock = std::chrono::steady_clock;
// During downloads the state is saved this often (a change log append of
// the files finished meanwhile).
constexpr auto kSaveEvery = std::chrono::seconds(1);
// Blocks of records read and applied before the files they call for are
// downloaded (a bound for a store that grows as fast as it is read).
constexpr int kBlocksPerRound = 256;

}  // namespace

MirrorSession::MirrorSession(const Options& options, std::string token,
                             std::string dir, ProgressLine& progress,
                             const std::atomic<bool>* stop)
    : options_(options),
      token_(std::move(token)),
      dir_(std::move(dir)),
      progress_(progress),
      tree_(dir_),
      stateFile_(dir_),
      applier_(tree_, state_),
      stop_(stop) {}

MirrorSession::Step MirrorSession::Prepare() {
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  struct stat st;
  if (::stat(dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    Log("cannot use %s as the mirror directory: %s", dir_.c_str(),
        ec ? ec.message().c_str() : std::strerror(errno));
    return Step::kFatal;
  }
  std::string error;
  if (!stateFile_.Load(&state_, &error)) {
    Log("%s; remove %s/.dirsync to rebuild the mirror from scratch", error.c_str(),
        dir_.c_str());
    return Step::kFatal;
  }
  if (!state_.task.empty() && state_.task != options_.task) {
    // Mirroring another task here would throw the copy away.
    Log("%s mirrors task '%s', not '%s'; choose another directory",
        dir_.c_str(), Printable(state_.task).c_str(), Printable(options_.task).c_str());
    return Step::kFatal;
  }
  state_.task = options_.task;
  applier_.Reindex();
  RemoveLeftoverDownloads();
  return SaveStep(Step::kOk);
}

void MirrorSession::RemoveLeftoverDownloads() {
  // A run that ended during a download left its temporary file beside the
  // target; the entry still waits for its content in the saved state.
  for (uint64_t ref : applier_.PendingDownloads()) {
    std::string local = LocalName(state_.Find(ref)->name);
    if (local.empty() || !tree_.AncestorsAreDirectories(local)) continue;
    ::unlink(TemporaryNameFor(tree_.Full(local), ref).c_str());
  }
}

MirrorSession::Step MirrorSession::Connect(LoginStatus* status,
                                           std::string* message) {
  SessionInfo info;
  *status = OpenSession(connection_, options_, token_, &info, message);
  if (*status != LoginStatus::kOk) {
    // The server took these credentials before; closing now without an
    // answer, it was killed or stopped while it answered: try again.
    bool serverWentDown = *status == LoginStatus::kClosed && loggedIn_;
    return IsTransient(*status) || serverWentDown ? Step::kLost : Step::kFatal;
  }
  loggedIn_ = true;
  if (!connection_.ProbeWait(state_.position, &serverWaits_)) {
    *message = "no answer to ping";
    connection_.Close();
    return Step::kLost;
  }
  bool newStore = state_.hasStore && info.storeId != state_.storeId;
  bool shrunk = state_.hasStore && !newStore && state_.position > info.max;
  if (newStore || shrunk) {
    if (newStore) {
      Log("the server's store is a new one (id %u, was %u): comparing %s with it",
          info.storeId, state_.storeId, dir_.c_str());
    } else {
      Log("the server's store is shorter than the saved position (%lld < %lld): "
          "comparing %s with it", static_cast<long long>(info.max),
          static_cast<long long>(state_.position), dir_.c_str());
    }
    BeginComparison(info.storeId);
  } else if (!state_.hasStore) {
    state_.Reset(info.storeId);
  }
  return SaveStep(Step::kOk);
}

void MirrorSession::BeginComparison(uint32_t storeId) {
  // The new store is read from its start and its records applied to what
  // the mirror holds: a file held with the size and write time a record
  // gives is kept as it is, one that differs is downloaded. Until the end
  // of the store is reached the saved state names no store, so a run cut
  // short compares again from the start.
  comparing_ = true;
  comparedStoreId_ = storeId;
  listed_.clear();
  state_.storeId = 0;
  state_.position = 0;
  versionWaits_.clear();
  localFailures_.clear();
  notFiles_.clear();
}

MirrorSession::Step MirrorSession::FinishComparison() {
  // Every live entry has a record in the new store; what the mirror holds
  // beyond those left the tree while the old store was followed.
  size_t removed = applier_.RemoveUnlisted(listed_);
  Log("compared %s with the new store (id %u): %zu entries held, %zu removed",
      dir_.c_str(), comparedStoreId_, state_.entries().size(), removed);
  state_.storeId = comparedStoreId_;
  comparing_ = false;
  listed_.clear();
  return SaveStep(Step::kOk);
}

MirrorSession::Step MirrorSession::CatchUp() {
  while (true) {
    // Every record up to the store's end is applied before anything is
    // downloaded: the state keeps one entry per reference, so later
    // records of a file replace earlier ones and no version already
    // superseded in the listing is asked for.
    bool any = false;
    for (int blocks = 0; blocks < kBlocksPerRound; ++blocks) {
      if (Stopping()) return SaveStep(Step::kStopped);
      StoreChunk chunk = ReadStoreChunk(connection_, options_.task, state_.position,
                                        options_.zip);
      if (chunk.status == StoreChunk::Status::kAtEnd) {
        if (comparing_) {
          if (Step done = FinishComparison(); done != Step::kOk) return done;
        }
        break;
      }
      switch (chunk.status) {
        case StoreChunk::Status::kLost:
          Log("lost the connection while reading the store: %s", chunk.message.c_str());
          connection_.Close();
          return Step::kLost;
        case StoreChunk::Status::kError:
          Log("the server could not list its store at %lld: %s",
              static_cast<long long>(state_.position), chunk.message.c_str());
          connection_.Close();
          return Step::kLost;
        default:
          break;
      }
      for (const dsclient::StoreRecord& record : chunk.records) {
        if (comparing_ && record.kind() != dsclient::RecordState::kFiller &&
            record.kind() != dsclient::RecordState::kHeader) {
          listed_.insert(record.fileRef);
        }
        applier_.Apply(record);
        // A newer record of the entry: its next download may work.
        versionWaits_.erase(record.fileRef);
        localFailures_.erase(record.fileRef);
      }
      any = any || !chunk.records.empty();
      recordsApplied_ += chunk.records.size();
      progress_.AddRecords(chunk.records.size());
      progress_.Tick();
      state_.position = chunk.next;
      // Saved after each block: a change log append of what it changed.
      if (Step saved = SaveStep(Step::kOk); saved != Step::kOk) return saved;
    }
    // Downloads left over from a lost connection are due as well.
    if (!HasDownloadsToTry()) return Step::kOk;
    Step step = DownloadPending();
    if (step != Step::kOk) return step;
    // Records that arrived during the downloads come next; a run that
    // read nothing new and downloaded what it could is done.
    if (!any && !HasDownloadsToTry()) return Step::kOk;
  }
}

MirrorSession::Step MirrorSession::DownloadPending() {
  Downloader downloader(connection_, options_.zip, [this](uint64_t bytes) {
    progress_.AddBytes(bytes);
    progress_.Tick();
  });
  auto lastSave = Clock::now();
  uint64_t pendingBytes = applier_.PendingBytes();
  progress_.SetPendingBytes(pendingBytes);
  // Files of one directory one after another: the writer makes (and
  // checks) their parents once, and both sides find them near each other.
  struct Pending {
    uint64_t parent;
    uint64_t ref;
    const MirrorEntry* entry;  // stays put: nothing is added or removed meanwhile
  };
  std::vector<Pending> order;
  for (uint64_t ref : applier_.PendingDownloads()) {
    if (localFailures_.count(ref) != 0) continue;
    const MirrorEntry* entry = state_.Find(ref);
    order.push_back({entry->parentRef, ref, entry});
  }
  std::sort(order.begin(), order.end(), [](const Pending& a, const Pending& b) {
    return a.parent != b.parent ? a.parent < b.parent : a.ref < b.ref;
  });
  for (const Pending& pending : order) {
    const uint64_t ref = pending.ref;
    const MirrorEntry& entry = *pending.entry;
    std::string local = LocalName(entry.name);
    if (local.empty()) {
      localFailures_.insert(ref);
      continue;
    }
    DownloadRequest request;
    request.fileRef = ref;
    request.version = entry.version;
    request.size = entry.size;
    request.lastWriteTime = entry.lastWriteTime;
    request.catalogName = entry.name;
    request.target = tree_.Full(local);
    request.replaceDirectory = true;
    request.link = entry.link();
    request.skipOutsideLink = options_.skipOutsideLinks;
    request.hasMode = entry.mode != 0;
    request.mode = entry.mode;
    request.tree = &tree_;
    request.local = local;
    downloader.Add(std::move(request));
  }
  bool saveFailed = false;
  bool noRoom = false;
  auto onDone = [&](const DownloadRequest& request, DownloadOutcome outcome,
                    const std::string& detail) {
    const uint64_t ref = request.fileRef;
    switch (outcome) {
      case DownloadOutcome::kDone:
        applier_.MarkDownloaded(ref);
        ++filesDownloaded_;
        break;
      case DownloadOutcome::kVersionChanged:
      case DownloadOutcome::kLonger:
      case DownloadOutcome::kShort:
        // The catalog has moved on (or is about to: the file changed after
        // its record); its next record brings the new version.
        applier_.MarkWaiting(ref);
        versionWaits_.insert(ref);
        break;
      case DownloadOutcome::kGone:
        // Deleted meanwhile, or no regular file at all (a FIFO, socket or
        // device): one line for the entry, whatever the attempts.
        if (notFiles_.insert(ref).second) {
          Log("%s: %s (%s); skipped until the server records it again",
              Printable(request.catalogName).c_str(), DownloadOutcomeName(outcome),
              detail.c_str());
        }
        applier_.MarkWaiting(ref);
        break;
      case DownloadOutcome::kSkipped:
        // Left out on request; fetched again only with its next record.
        Log("%s: %s", Printable(request.catalogName).c_str(), detail.c_str());
        applier_.MarkDownloaded(ref);
        break;
      case DownloadOutcome::kLocalError:
        Log("%s", detail.c_str());
        localFailures_.insert(ref);
        break;
      case DownloadOutcome::kNoRoom:
        // The filesystem is full: no other file would fare better now.
        // The pass ends; the files stay pending for a later one.
        if (!noRoom && !noRoomLogged_) {
          Log("%s; downloads wait until there is room", detail.c_str());
        }
        noRoom = true;
        noRoomLogged_ = true;
        break;
      case DownloadOutcome::kConnectionLost:
      case DownloadOutcome::kCancelled:
        break;  // still pending: the next pass fetches it
    }
    pendingBytes -= std::min(pendingBytes, request.size);
    progress_.SetPendingBytes(pendingBytes);
    if (!saveFailed && Clock::now() - lastSave >= kSaveEvery) {
      saveFailed = !Save();
      lastSave = Clock::now();
    }
  };
  Downloader::End end = downloader.Run(onDone, [this, &saveFailed, &noRoom] {
    return Stopping() || saveFailed || noRoom;
  });
  if (end == Downloader::End::kConnectionLost) {
    Log("lost the connection while downloading");
    connection_.Close();
    Save();
    return Step::kLost;
  }
  Step saved = SaveStep(Step::kOk);
  if (saved != Step::kOk) return saved;
  if (noRoom) return Step::kNoRoom;
  noRoomLogged_ = false;
  return end == Downloader::End::kStopped ? Step::kStopped : Step::kOk;
}

MirrorSession::Step MirrorSession::Ping(int64_t* max) {
  dsclient::PingResult pong;
  if (!connection_.Ping(state_.position, ++pingCounter_, &pong)) {
    Log("lost the connection (no answer to ping)");
    connection_.Close();
    return Step::kLost;
  }
  *max = pong.max;
  return Step::kOk;
}

MirrorSession::Step MirrorSession::WaitForGrowth(int waitMs, int64_t* max) {
  const int32_t val = ++pingCounter_;
  if (!connection_.SendWait(state_.position, val, waitMs)) {
    Log("lost the connection (while waiting for changes)");
    connection_.Close();
    return Step::kLost;
  }
  // The reply comes when the store grows or the wait ends; meanwhile a
  // stop is looked for every kStopLookMs.
  constexpr int kStopLookMs = 200;
  const int64_t giveUpAfter = static_cast<int64_t>(waitMs) + 10000;
  dsclient::PingResult reply;
  for (int64_t waited = 0;; waited += kStopLookMs) {
    if (Stopping()) {
      // The answer would come on a connection that is not used again.
      connection_.Close();
      return Step::kStopped;
    }
    auto status = connection_.TakeWaitReply(&reply, kStopLookMs);
    if (status == dsclient::Connection::Status::kOk && reply.val == val) break;
    if (status == dsclient::Connection::Status::kOk) continue;  // an old one
    if (status != dsclient::Connection::Status::kTimeout || waited > giveUpAfter) {
      Log("lost the connection (no answer to wait)");
      connection_.Close();
      return Step::kLost;
    }
  }
  *max = reply.max;
  return Step::kOk;
}

bool MirrorSession::Save() {
  std::string error;
  if (stateFile_.Save(state_, &error)) return true;
  Log("%s", error.c_str());
  return false;
}

MirrorSession::Step MirrorSession::SaveStep(Step onSuccess) {
  if (Save()) return onSuccess;
  return IsLackOfRoom(stateFile_.lastError()) ? Step::kNoRoom : Step::kFatal;
}

bool MirrorSession::HasDownloadsToTry() const {
  // Files that failed here stay pending but are not tried again in this
  // run; with more pending than failed, some are to try.
  if (applier_.PendingCount() > localFailures_.size()) return true;
  for (uint64_t ref : applier_.PendingDownloads()) {
    if (localFailures_.count(ref) == 0) return true;
  }
  return false;
}

void MirrorSession::TakeCounts(uint64_t* records, uint64_t* files) {
  *records = recordsApplied_;
  *files = filesDownloaded_;
  recordsApplied_ = 0;
  filesDownloaded_ = 0;
}

size_t MirrorSession::VersionWaits() const {
  size_t count = 0;
  for (uint64_t ref : versionWaits_) {
    const MirrorEntry* entry = state_.Find(ref);
    if (entry != nullptr && entry->waiting) ++count;
  }
  return count;
}

}  // namespace dsclient_tool
