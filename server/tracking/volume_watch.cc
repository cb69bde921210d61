#include "tracking/volume_watch.h"

#include <cassert>

#include "platform/log.h"
#include "tracking/volume_monitor.h"

namespace dirsync {

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
  LogPrint("%D [%c] %d pending changes applied before exit\n", driveLetter,
           static_cast<int>(waiting));
}

// The monitor's volume is this one, so its lock is held; the analysis
// cannot follow the monitor's pointer back here.
bool VolumeWatch::ApplyBatch(bool force) NO_THREAD_SAFETY_ANALYSIS {
  if (monitor_ != nullptr) return monitor_->ApplyBatch(force);
  ApplyPending();
  return true;
}

void VolumeWatch::ApplyPending(const BatchExtras& extras) {
  if (pending.empty()) return;
  // A failed write is logged by the store; the catalogs keep the changes.
  ApplyPendingChanges(tasks, pending, lastReadUsn,
                      StoreWriteMode::kOneWritePerBatch, extras)
      .IgnoreError();
  changesSinceSave.fetch_add(static_cast<uint32_t>(pending.size()));
  pending.clear();
  lastChangeTick = 0;
  firstPendingTick = 0;
}

void VolumeWatch::SaveJournalPosition(int64_t usn, bool force) {
  MutexLock guard(&lock);
  if (RecordJournalPosition(tasks, usn, force)) changesSinceSave.store(0);
}

}  // namespace dirsync
