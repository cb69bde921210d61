#include "tracking/volume_watch.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "catalog/store_compaction.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "tracking/file_ref_lookup.h"
#include "tracking/volume_monitor.h"

namespace dirsync {
namespace {

constexpr uint32_t kFirstRetryDelayMs = 100;
constexpr uint32_t kLongestRetryDelayMs = 5000;
// An entry that cannot be looked up for another reason than a shortage of
// descriptors or memory (an I/O error, say) is tried this long; then its
// change is dropped and the catalogs keep the entry as they hold it.
constexpr uint64_t kGiveUpLookupMs = 10 * 60 * 1000;

}  // namespace

VolumeWatch::VolumeWatch(char letter, int32_t quietPeriod)
    : driveLetter(letter), timeout(quietPeriod) {}

VolumeWatch::~VolumeWatch() {
  if (monitor_ != nullptr) monitor_->Stop();
  if (monitorThread_.joinable()) monitorThread_.join();
}

void VolumeWatch::StartMonitor(const DriveMap& drives,
                               const VolumeJournal::Options& options) {
  assert(monitor_ == nullptr);
  monitor_ = std::make_unique<VolumeMonitor>(this, drives, options);
  monitorThread_ = std::thread([this] { monitor_->Run(); });
}

bool VolumeWatch::Following() const {
  return monitor_ != nullptr && monitor_->following();
}

void VolumeWatch::StopMonitor() {
  if (monitor_ != nullptr) monitor_->Stop();
  if (monitorThread_.joinable()) monitorThread_.join();
  MutexLock guard(&lock);
  const size_t waiting = pending.size();
  if (waiting == 0) return;
  ApplyBatch(true);
  if (pending.empty()) {
    LogPrint("%D [%c] %d pending changes applied before exit\n", driveLetter,
             static_cast<int>(waiting));
  } else {
    LogPrint("%D [%c] %d changes could not be applied before exit; the next "
             "start catches up with them\n",
             driveLetter, static_cast<int>(pending.size()));
  }
}

// The monitor's volume is this one, so its lock is held; the analysis
// cannot follow the monitor's pointer back here.
bool VolumeWatch::ApplyBatch(bool force) NO_THREAD_SAFETY_ANALYSIS {
  if (monitor_ != nullptr) return monitor_->ApplyBatch(force);
  ApplyPending();
  return true;
}

bool VolumeWatch::ApplyPending(const BatchExtras& extras, bool stamp) {
  if (pending.empty()) return true;
  Status written =
      ApplyPendingChanges(tasks, pending, stamp ? lastReadUsn : 0,
                          StoreWriteMode::kOneWritePerBatch, extras, &confirmOnly);
  if (!written.ok()) {
    // Logged by the store. Tasks that wrote the batch have its changes:
    // applied again, the changes record only what a task still lacks.
    for (auto& [name, task] : tasks) ForgetDeparted(*task);
    for (const auto& [ref, change] : pending) confirmOnly.insert(ref);
    Delay();
    return false;
  }
  changesSinceSave.fetch_add(static_cast<uint32_t>(pending.size()));
  for (const auto& [ref, change] : pending) confirmOnly.erase(ref);
  pending.clear();
  lastChangeTick = 0;
  firstPendingTick = 0;
  holdUntilTick = 0;
  retryDelayMs = 0;
  // Rebuilds whose changes were waiting are over now.
  for (SyncTask* task : rebuildsAwaitingApply) task->needsRebuild.store(false);
  rebuildsAwaitingApply.clear();
  // Entries that left are forgotten, and a store mostly made of dead
  // records is written anew.
  for (auto& [name, task] : tasks) MaintainStore(*task, storeOptions);
  return true;
}

void VolumeWatch::Delay() {
  retryDelayMs = retryDelayMs == 0
                     ? kFirstRetryDelayMs
                     : std::min(retryDelayMs * 2, kLongestRetryDelayMs);
  holdUntilTick = GetTickCount64() + retryDelayMs;
}

void VolumeWatch::HoldBack(PendingChanges held) {
  if (held.empty()) return;
  const uint64_t now = GetTickCount64();
  if (lookupFailures_.empty()) lookupFailingSince_ = now;
  for (auto& [ref, change] : held) {
    if (IsUnresolved(change)) {
      int error = UnresolvedError(change);
      if (lookupFailures_.insert(error).second) {
        LogPrint("%D [%c] entries cannot be looked up: %s; %d changes wait "
                 "and are tried again\n",
                 driveLetter, std::strerror(error), static_cast<int>(held.size()));
      }
      // The unresolved form keeps the tick of its first failure.
      if (change.creationTime() == 0) change.set_creationTime(now);
      if (!IsResourceShortage(error) &&
          now - change.creationTime() > kGiveUpLookupMs) {
        LogPrint("%D [%c] entry %L could not be looked up for %d minutes (%s); "
                 "the catalogs keep it as they hold it\n",
                 driveLetter, static_cast<int64_t>(ref),
                 static_cast<int>(kGiveUpLookupMs / 60000), std::strerror(error));
        confirmOnly.erase(ref);
        continue;
      }
    }
    // A change read meanwhile is newer: it stands.
    if (pending.count(ref) == 0) {
      if (pending.empty()) firstPendingTick = GetTickCount64();
      pending.emplace(ref, std::move(change));
    }
  }
  if (lastChangeTick == 0) lastChangeTick = GetTickCount64();
  Delay();
}

void VolumeWatch::Recovered() {
  if (lookupFailures_.empty()) return;
  LogPrint("%D [%c] entries can be looked up again after %d s\n", driveLetter,
           static_cast<int>((GetTickCount64() - lookupFailingSince_) / 1000));
  lookupFailures_.clear();
}

void VolumeWatch::SaveJournalPosition(int64_t usn, bool force) {
  MutexLock guard(&lock);
  if (RecordJournalPosition(tasks, usn, force)) changesSinceSave.store(0);
}

}  // namespace dirsync
