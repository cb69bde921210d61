#include "tracking/volume_monitor.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/catalog_changes.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "tracking/file_ref_lookup.h"

namespace dirsync {
namespace {

// Longest pause between two failed journal reads.
constexpr uint32_t kLongestReadPauseMs = 1000;
constexpr uint32_t kFirstReadPauseMs = 10;
// The position is saved while following the journal once more changes
// than this were applied since the last save.
constexpr uint32_t kChangesBetweenSaves = 2000;
// Passes that check a batch's resolved places before it is applied.
constexpr int kMaxResolvePasses = 4;
// Longest time a batch waits for the tree to hold still.
constexpr uint64_t kLongestDeferralMs = 2000;

int ElapsedMs(uint64_t since) {
  return static_cast<int>(GetTickCount64() - since);
}

// The references of every live entry (file or directory) of the volume's
// tasks that met does not hold, each once.
std::vector<uint64_t> LiveReferencesNotMet(VolumeWatch& volume,
                                           const ReferenceSet& met) {
  std::vector<uint64_t> refs;
  for (auto& [name, task] : volume.tasks) {
    ReaderLock lock(&task->catalogLock);
    for (const auto& [ref, entry] : task->entries) {
      uint8_t state = entry.state();
      if (!IsLiveFileState(state) && state != StateDirectory) continue;
      if (!met.Contains(ref)) refs.push_back(ref);
    }
  }
  std::sort(refs.begin(), refs.end());
  refs.erase(std::unique(refs.begin(), refs.end()), refs.end());
  return refs;
}

}  // namespace

VolumeMonitor::VolumeMonitor(VolumeWatch* volume, const DriveMap& drives,
                             const VolumeJournal::Options& options)
    : volume_(volume), drives_(drives), options_(options) {}

VolumeMonitor::~VolumeMonitor() = default;

void VolumeMonitor::Stop() {
  stopping_ = true;
  MutexLock guard(&controlLock_);
  if (journal_ != nullptr) journal_->Stop();
  pauseWake_.SignalAll();
}

bool VolumeMonitor::Pause(uint32_t ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  MutexLock guard(&controlLock_);
  while (!stopping_.load()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pauseWake_.WaitFor(&controlLock_, left);
  }
  return false;
}

void VolumeMonitor::Run() {
  char device[8];
  std::snprintf(device, sizeof device, "\\\\.\\%c:", volume_->driveLetter);
  std::unique_ptr<VolumeJournal> journal;
  Status opened = VolumeJournal::Open(device, drives_, options_, &journal);
  if (!opened.ok()) {
    LogPrint("%D open %s fail!\n", device);
    LogPrint("%D %s\n", opened.ToString().c_str());
    return;
  }
  {
    MutexLock guard(&controlLock_);
    journal_ = std::move(journal);
  }
  if (stopping_) return;

  uint64_t journalId = 0;
  int64_t nextUsn = 0;
  if (!journal_->Query(&journalId, &nextUsn)) {
    bool created = journal_->Create();
    LogPrint("%D DeviceIoControl(FSCTL_CREATE_USN_JOURNAL)=%d,first=%L,max=%L,rtn=%d\n",
             created ? 1 : 0, int64_t{0}, int64_t{0}, 0);
    return;
  }
  if (!StartUpScan(nextUsn)) return;
  volume_->SaveJournalPosition(nextUsn, true);
  volume_->journalPos = nextUsn;
  {
    MutexLock guard(&volume_->lock);
    appliedUsn_ = nextUsn;
  }
  following_ = true;
  FollowJournal();
}

bool VolumeMonitor::StartUpScan(int64_t nextUsn) {
  // Only this thread changes the catalogs until the scan is over.
  int64_t saved = 0;
  for (auto& [name, task] : volume_->tasks) saved = std::max(saved, task->lastUsn);
  if (saved != 0) {
    int64_t oldest = 0;
    if (saved > nextUsn) {
      // A position beyond the journal's end (the clock was set back, or
      // the store came from elsewhere) is not covered either.
      LogPrint("%D LastUsn < First: %L  %L\n", saved, nextUsn);
      saved = 0;
    } else if (journal_->OldestPosition(&oldest) && oldest > saved) {
      LogPrint("%D LastUsn < First: %L  %L\n", saved, oldest);
      saved = 0;
    }
  }
  const bool full = saved == 0;
  LogPrint("%D Start Scan [%c] From %L\n", volume_->driveLetter, saved);
  const uint64_t started = GetTickCount64();

  EnumerationCursor cursor = journal_->StartEnumeration(!full, !full);
  SubtreeExpander expander(journal_.get());
  VolumeScan scan;
  JournalBatch batch;
  int32_t count = 0;
  while (journal_->Enumerate(&cursor, saved, nextUsn, &batch)) {
    if (stopping_) return false;
    for (const JournalRecord& record : batch.records) {
      if (count % 100001 == 0) {
        LogPrint("%D add %d: FileReferenceNumber=%L\n", count,
                 static_cast<int64_t>(record.fileRef));
      }
      ++count;
      if (full) {
        TakeScanRecord(record, &scan);
      } else {
        CatchUp(record, &expander);
      }
    }
  }
  if (stopping_) return false;
  if (!full) ReportVanished(cursor.met(), &expander);
  LogPrint("%D begin = %L, filecount=%d, time=%dms, LastUsn=%L\n", saved, count,
           ElapsedMs(started), nextUsn);
  if (full) {
    int32_t built = InitVolume(volume_->tasks, &scan, *journal_);
    LogPrint("%D Init_Volume filecount=%d, time=%dms\n", built, ElapsedMs(started));
  }
  return true;
}

void VolumeMonitor::TakeScanRecord(const JournalRecord& record,
                                   VolumeScan* scan) {
  if (record.directory) {
    auto [it, added] = scan->dirNodes.try_emplace(record.fileRef);
    it->second.name = record.name;
    it->second.parentRef = record.parentRef;
    if (!added) LogPrint("%D upd Directory = %s\n", record.name.c_str());
  }
  if (record.deleted) {
    auto it = scan->fileNodes.find(record.fileRef);
    if (it != scan->fileNodes.end()) {
      it->second.state = -1;
      it->second.parentRef = record.parentRef;
    }
    return;
  }
  auto [it, added] = scan->fileNodes.try_emplace(record.fileRef);
  FileNode& node = it->second;
  if (added) {
    node.parentRef = record.parentRef;
    node.name = record.name;
    node.state = record.directory ? 6 : 1;
    return;
  }
  node.state = record.directory ? 6 : 2;
  if (node.name != record.name) {
    LogPrint("%D change filename: %s->%s\n", node.name.c_str(),
             record.name.c_str());
    node.name = record.name;
  }
  node.parentRef = record.parentRef;
}

void VolumeMonitor::CatchUp(const JournalRecord& record,
                            SubtreeExpander* expander) {
  // Brought in already, current, below a directory the catch-up moved.
  if (expander->Collected(record.fileRef)) return;
  CatalogRecord change = MakeChange(*journal_, record);
  if (change) ApplyOneChange(change, expander);
}

void VolumeMonitor::ApplyOneChange(const CatalogRecord& change,
                                   SubtreeExpander* expander) {
  expander->Prepare(volume_->tasks, {&change});
  // A failed write is logged by the store; the catalogs keep the change.
  ApplyCatchUpChange(volume_->tasks, change, StoreWriteMode::kOneWritePerBatch,
                     [&](SyncTask& task, std::vector<CatalogRecord>* extra) {
                       expander->Expand(task, extra);
                     })
      .IgnoreError();
  expander->Forget();
}

CatalogRecord VolumeMonitor::VanishedChange(uint64_t ref) {
  // It may live on outside the walked tree (or have come back meanwhile):
  // then its path tells the catalogs where it is.
  CatalogRecord change = ChangeByReference(*journal_, ref);
  return change ? std::move(change) : MakeDeleteChange(ref, 0);
}

void VolumeMonitor::ReportVanished(const ReferenceSet& met,
                                   SubtreeExpander* expander) {
  if (!met.complete) {
    LogPrint("%D [%c] the walk did not see the whole volume: entries that "
             "vanished meanwhile stay as they are\n",
             volume_->driveLetter);
    return;
  }
  std::vector<uint64_t> gone = LiveReferencesNotMet(*volume_, met);
  for (uint64_t ref : gone) {
    if (expander->Collected(ref)) continue;  // resolved with a directory
    ApplyOneChange(VanishedChange(ref), expander);
  }
  if (!gone.empty()) {
    LogPrint("%D [%c] %d entries are no longer in the volume\n",
             volume_->driveLetter, static_cast<int>(gone.size()));
  }
}

void VolumeMonitor::FollowJournal() {
  uint32_t pause = 0;
  JournalBatch batch;
  while (!stopping_) {
    int64_t next = 0;
    VolumeJournal::ReadResult result =
        journal_->Read(volume_->journalPos, &next, &batch);
    if (result == VolumeJournal::ReadResult::kStopped) return;
    if (result != VolumeJournal::ReadResult::kRecords) {
      LogPrint("%D failed to read journal records:%L.\n", volume_->journalPos);
      LogPrint("%D %s\n", std::strerror(journal_->lastReadError().error()));
      pause = pause == 0 ? kFirstReadPauseMs
                         : std::min(pause * 2, kLongestReadPauseMs);
      if (!Pause(pause)) return;
      continue;
    }
    pause = 0;
    TakeBatch(batch, next);
    if (next > volume_->journalPos) {
      volume_->journalPos = next;
      if (volume_->changesSinceSave.load() > kChangesBetweenSaves) {
        SaveAppliedPosition();
      }
    }
  }
}

void VolumeMonitor::TakeBatch(const JournalBatch& batch, int64_t nextUsn) {
  MutexLock guard(&volume_->lock);
  // Nothing waits: every change read so far is applied.
  if (volume_->pending.empty()) {
    appliedUsn_ = std::max(appliedUsn_, volume_->lastReadUsn);
  }
  for (const JournalRecord& record : batch.records) {
    CatalogRecord change = MakeChange(*journal_, record);
    if (change) PutPending(std::move(change));
  }
  if (batch.caughtUp) {
    // Events were lost: what the catch-up walk did not meet is gone.
    if (batch.met.complete) {
      std::vector<uint64_t> gone = LiveReferencesNotMet(*volume_, batch.met);
      for (uint64_t ref : gone) PutPending(VanishedChange(ref));
      LogPrint("%D [%c] caught up after lost events: %d changes, %d entries "
               "no longer in the volume\n",
               volume_->driveLetter, static_cast<int>(batch.records.size()),
               static_cast<int>(gone.size()));
    } else {
      LogPrint("%D [%c] the catch-up walk did not see the whole volume: "
               "entries that vanished meanwhile stay as they are\n",
               volume_->driveLetter);
    }
  }
  volume_->lastReadUsn = nextUsn;
}

void VolumeMonitor::PutPending(CatalogRecord change) {
  // The flush thread resolves pending changes through the journal.
  assert(journal_ != nullptr);
  uint64_t now = GetTickCount64();
  volume_->lastChangeTick = now;
  auto it = volume_->pending.find(change.fileRef());
  if (it != volume_->pending.end()) {
    it->second = std::move(change);
    volume_->changed.Signal();
    return;
  }
  if (volume_->pending.empty()) volume_->firstPendingTick = now;
  uint64_t ref = change.fileRef();
  volume_->pending.emplace(ref, std::move(change));
  volume_->changed.Signal();
}

void VolumeMonitor::SaveAppliedPosition() {
  int64_t usn;
  {
    MutexLock guard(&volume_->lock);
    if (volume_->pending.empty()) {
      appliedUsn_ = std::max(appliedUsn_, volume_->lastReadUsn);
    }
    usn = appliedUsn_;
  }
  volume_->SaveJournalPosition(usn, false);
}

bool VolumeMonitor::ApplyBatch(bool force) {
  if (volume_->pending.empty()) return true;
  if (journal_ == nullptr) {
    volume_->ApplyPending();
    return true;
  }
  // Changes wait a quiet period: the tree may have moved on since each
  // was read, so each is resolved again by its reference. Resolving takes
  // one entry after the other while the tree may still change: a directory
  // renamed meanwhile would leave the batch with paths of before and after
  // the rename side by side, and the subtree renames that follow could not
  // match them up. So the batch is resolved until a pass finds every place
  // as the pass before it did (or the passes run out).
  // The entries below directories that enter a root are resolved with
  // them.
  for (auto& [ref, change] : volume_->pending) RefreshChange(*journal_, &change);
  SubtreeExpander expander(journal_.get());
  std::vector<const CatalogRecord*> changes;
  for (const auto& [ref, change] : volume_->pending) changes.push_back(&change);
  expander.Prepare(volume_->tasks, changes);
  bool stable = false;
  for (int pass = 0; pass < kMaxResolvePasses && !stable; ++pass) {
    bool moved = expander.RefreshAll();
    for (auto& [ref, change] : volume_->pending) {
      if (RefreshChange(*journal_, &change)) moved = true;
    }
    stable = !moved;
  }
  if (!stable && !force) {
    // The tree is still on the move: the batch waits for the next sweep,
    // and grows meanwhile, though never for longer than a bound.
    uint64_t now = GetTickCount64();
    if (deferredSince_ == 0) deferredSince_ = now;
    if (now - deferredSince_ < kLongestDeferralMs) return false;
  }
  deferredSince_ = 0;
  volume_->ApplyPending([&](SyncTask& task, std::vector<CatalogRecord>* extra) {
    expander.Expand(task, extra);
  });
  return true;
}

}  // namespace dirsync
