#include "tracking/volume_monitor.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "catalog/catalog_changes.h"
#include "catalog/catalog_store.h"
#include "catalog/entry_links.h"
#include "platform/allocator.h"
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
// A catch-up walk applies what it found whenever this many changes wait,
// so that pending never holds the records of a whole volume at once.
constexpr size_t kCatchUpChunk = 20000;
// Pauses between attempts to open the volume or a store (from 1 s,
// doubling up to 10 s), or to walk for a rebuild (up to a minute).
constexpr uint32_t kFirstMaintenanceDelayMs = 1000;
constexpr uint32_t kLongestOpenDelayMs = 10000;
constexpr uint32_t kLongestWalkDelayMs = 60000;
// The catch-up margin for ctime's coarse clock.
constexpr int64_t kCtimeMargin = 1000000000;

int ElapsedMs(uint64_t since) {
  return static_cast<int>(GetTickCount64() - since);
}

uint32_t NextDelay(uint32_t delay, uint32_t longest) {
  return delay == 0 ? kFirstMaintenanceDelayMs : std::min(delay * 2, longest);
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
      // A further name of a file stands for the file's own reference.
      uint64_t file = FileOfEntry(entry);
      if (!met.Contains(file)) refs.push_back(file);
    }
  }
  std::sort(refs.begin(), refs.end());
  refs.erase(std::unique(refs.begin(), refs.end()), refs.end());
  return refs;
}

// The open tasks of the volume waiting for a rebuild, and not merely for
// the changes of a finished one to be applied.
std::vector<SyncTask*> RebuildsWanted(VolumeWatch& volume)
    REQUIRES(volume.lock) {
  std::vector<SyncTask*> wanted;
  for (auto& [name, task] : volume.tasks) {
    if (!task->storeOpen.load() || !task->needsRebuild.load()) continue;
    if (std::find(volume.rebuildsAwaitingApply.begin(),
                  volume.rebuildsAwaitingApply.end(),
                  task.get()) == volume.rebuildsAwaitingApply.end()) {
      wanted.push_back(task.get());
    }
  }
  return wanted;
}

// After a rebuild walk for the tasks flagged: when it saw the whole
// volume, their rebuild is over once its changes are applied (now, if
// nothing waits); when it did not, every open task may lack what it
// missed.
void FinishRebuild(VolumeWatch& volume, const std::vector<SyncTask*>& flagged,
                   bool complete) REQUIRES(volume.lock) {
  if (!complete) {
    for (auto& [name, task] : volume.tasks) {
      if (task->storeOpen.load()) task->needsRebuild.store(true);
    }
    return;
  }
  for (SyncTask* task : flagged) {
    if (volume.pending.empty()) {
      task->needsRebuild.store(false);
    } else {
      volume.rebuildsAwaitingApply.push_back(task);
    }
  }
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

bool VolumeMonitor::OpenJournal(const char* device) {
  uint32_t delay = 0;
  while (!stopping_) {
    std::unique_ptr<VolumeJournal> journal;
    Status opened = VolumeJournal::Open(device, drives_, options_, &journal);
    if (opened.ok()) {
      if (delay != 0) LogPrint("%D open %s works now\n", device);
      MutexLock guard(&controlLock_);
      journal_ = std::move(journal);
      return !stopping_;
    }
    if (!IsResourceShortage(opened.error())) {
      LogPrint("%D open %s fail!\n", device);
      LogPrint("%D %s\n", opened.ToString().c_str());
      return false;
    }
    // Out of descriptors or memory: nothing wrong with the volume itself.
    if (delay == 0) {
      LogPrint("%D open %s fail! %s; trying again\n", device,
               opened.ToString().c_str());
    }
    delay = NextDelay(delay, kLongestOpenDelayMs);
    if (!Pause(delay)) return false;
  }
  return false;
}

void VolumeMonitor::Run() {
  char device[8];
  std::snprintf(device, sizeof device, "\\\\.\\%c:", volume_->driveLetter);
  if (!OpenJournal(device)) return;

  uint64_t journalId = 0;
  int64_t nextUsn = 0;
  if (!journal_->Query(&journalId, &nextUsn)) {
    bool created = journal_->Create();
    LogPrint("%D DeviceIoControl(FSCTL_CREATE_USN_JOURNAL)=%d,first=%L,max=%L,rtn=%d\n",
             created ? 1 : 0, int64_t{0}, int64_t{0}, 0);
    return;
  }
  if (!StartUpScan(nextUsn)) return;
  following_ = true;
  FollowJournal();
}

bool VolumeMonitor::StartUpScan(int64_t nextUsn) {
  // Only this thread changes the catalogs until the scan is over, but the
  // flush thread may apply what the walk put into pending.
  bool anyEntries = false;
  int64_t lowest = std::numeric_limits<int64_t>::max();
  int64_t highest = 0;
  for (auto& [name, task] : volume_->tasks) {
    if (!task->storeOpen.load()) continue;
    {
      ReaderLock lock(&task->catalogLock);
      if (!task->entries.empty()) anyEntries = true;
    }
    if (task->lastUsn > nextUsn) {
      // A position beyond the journal's end (the clock was set back, or
      // the store came from elsewhere) is not covered either.
      LogPrint("%D LastUsn < First: %L  %L\n", task->lastUsn, nextUsn);
      task->needsRebuild.store(true);
    } else if (task->lastUsn == 0) {
      task->needsRebuild.store(true);
    }
    if (!task->needsRebuild.load()) {
      lowest = std::min(lowest, task->lastUsn);
      highest = std::max(highest, task->lastUsn);
    }
  }
  const bool positioned = highest != 0;
  const uint64_t started = GetTickCount64();

  if (!anyEntries) {
    // Every catalog is empty: a full scan and the initial build.
    LogPrint("%D Start Scan [%c] From 0\n", volume_->driveLetter);
    // The walk reads each entry's size and times as it goes, so that the
    // build need not open every entry again.
    EnumerationCursor cursor = journal_->StartEnumeration(false, false, true);
    VolumeScan scan;
    JournalBatch batch;
    int32_t count = 0;
    while (journal_->Enumerate(&cursor, 0, nextUsn, &batch)) {
      if (stopping_) return false;
      constexpr size_t kPrefetchAhead = 8;
      for (size_t i = 0; i < batch.records.size(); ++i) {
        if (i + kPrefetchAhead < batch.records.size()) {
          scan.fileNodes.Prefetch(batch.records[i + kPrefetchAhead].fileRef);
        }
        const JournalRecord& record = batch.records[i];
        if (count % 100001 == 0) {
          LogPrint("%D add %d: FileReferenceNumber=%L\n", count,
                   static_cast<int64_t>(record.fileRef));
        }
        ++count;
        TakeScanRecord(record, &scan);
      }
    }
    if (stopping_) return false;
    if (!cursor.complete()) scan.incomplete = true;
    LogPrint("%D begin = %L, filecount=%d, time=%dms, LastUsn=%L\n", int64_t{0},
             count, ElapsedMs(started), nextUsn);
    int32_t built = InitVolume(volume_->tasks, &scan, *journal_);
    // The scan's maps are gone; their memory would stay resident.
    ReturnFreeMemoryToSystem();
    LogPrint("%D Init_Volume filecount=%d, time=%dms\n", built, ElapsedMs(started));
    if (!FlushBuffers()) return false;
    for (auto& [name, task] : volume_->tasks) {
      if (task->storeOpen.load()) task->needsRebuild.store(scan.incomplete);
    }
    if (scan.incomplete) {
      LogPrint("%D [%c] the initial build could not see everything; a "
               "catch-up walk follows\n",
               volume_->driveLetter);
    }
  } else {
    std::vector<SyncTask*> flagged;
    for (auto& [name, task] : volume_->tasks) {
      if (task->storeOpen.load() && task->needsRebuild.load()) {
        flagged.push_back(task.get());
      }
    }
    WalkPlan plan;
    plan.high = nextUsn;
    // A task to rebuild needs the whole tree; the others need what changed
    // since their positions. What changed before the latest of those
    // positions is known to some catalog already: it is applied where it
    // tells something new.
    plan.low = flagged.empty() && positioned ? lowest : 0;
    plan.freshFrom = positioned ? highest : std::numeric_limits<int64_t>::max();
    LogPrint("%D Start Scan [%c] From %L\n", volume_->driveLetter, plan.low);
    int32_t walked = 0;
    bool complete = CatchUpWalk(plan, &walked);
    if (stopping_) return false;
    LogPrint("%D begin = %L, filecount=%d, time=%dms, LastUsn=%L\n", plan.low,
             walked, ElapsedMs(started), nextUsn);
    MutexLock guard(&volume_->lock);
    FinishRebuild(*volume_, flagged, complete);
  }

  bool allApplied;
  {
    MutexLock guard(&volume_->lock);
    volume_->lastReadUsn = nextUsn;
    allApplied = volume_->pending.empty();
    // While changes of the catch-up wait, only the positions the stores
    // already record are known to be applied.
    appliedUsn_ = allApplied ? nextUsn : (positioned ? lowest : 0);
  }
  if (allApplied) volume_->SaveJournalPosition(nextUsn, true);
  volume_->journalPos = nextUsn;
  return true;
}

bool VolumeMonitor::FlushBuffers() {
  uint32_t delay = 0;
  while (!stopping_) {
    bool written = true;
    for (auto& [name, task] : volume_->tasks) {
      if (!task->storeOpen.load() || task->store.buffer.empty()) continue;
      // Failures are logged by the store, once until it recovers.
      if (!FlushBuffer(task->store, true).ok()) written = false;
    }
    if (written) return true;
    delay = delay == 0 ? 100 : std::min<uint32_t>(delay * 2, 5000);
    if (!Pause(delay)) return false;
  }
  return false;
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
    FileNode* met = scan->fileNodes.find(record.fileRef);
    if (met != nullptr) {
      met->state = -1;
      met->parentRef = record.parentRef;
    }
    return;
  }
  auto [met, added] = scan->fileNodes.try_emplace(record.fileRef);
  FileNode& node = *met;
  node.hasAttributes = record.hasAttributes;
  node.fileSize = record.fileSize;
  node.creationTime = record.creationTime;
  node.lastWriteTime = record.lastWriteTime;
  node.mode = record.mode;
  if (added) {
    node.parentRef = record.parentRef;
    node.name = record.name;
    node.state = record.directory ? 6 : 1;
    return;
  }
  node.state = record.directory ? 6 : 2;
  if (record.directory) {
    if (node.name != record.name) {
      LogPrint("%D change filename: %s->%s\n", node.name.c_str(),
               record.name.c_str());
      node.name = record.name;
    }
    node.parentRef = record.parentRef;
    return;
  }
  // A file met again under another place: a further name, or the place
  // it was renamed to during the scan. The build checks each.
  if (node.name == record.name && node.parentRef == record.parentRef) return;
  std::pair<uint64_t, std::string> place(record.parentRef, record.name);
  if (std::find(node.otherNames.begin(), node.otherNames.end(), place) ==
      node.otherNames.end()) {
    node.otherNames.push_back(std::move(place));
  }
}

bool VolumeMonitor::CatchUpWalk(const WalkPlan& plan, int32_t* walked) {
  EnumerationCursor cursor = journal_->StartEnumeration(true, true);
  JournalBatch batch;
  int32_t& count = *walked;
  count = 0;
  // Once a chunk could not be applied whole, the rest waits for the flush
  // thread, which tries again after a pause.
  bool applying = true;
  std::vector<std::pair<CatalogRecord, bool>> found;
  const int64_t freshFrom =
      plan.freshFrom == std::numeric_limits<int64_t>::max()
          ? plan.freshFrom
          : plan.freshFrom - kCtimeMargin;
  while (journal_->Enumerate(&cursor, plan.low, plan.high, &batch)) {
    if (stopping_) return false;
    found.clear();
    for (const JournalRecord& record : batch.records) {
      if (count % 100001 == 0) {
        LogPrint("%D add %d: FileReferenceNumber=%L\n", count,
                 static_cast<int64_t>(record.fileRef));
      }
      ++count;
      CatalogRecord change = MakeChange(*journal_, record);
      if (change) found.emplace_back(std::move(change), record.changeTime < freshFrom);
    }
    MutexLock guard(&volume_->lock);
    for (const JournalRecord& record : batch.records) {
      NoteLinkPlaces(record, &volume_->linkHints);
    }
    for (auto& [change, confirm] : found) PutPending(std::move(change), confirm);
    if (applying && volume_->pending.size() >= kCatchUpChunk) {
      ApplyBatch(true);
      applying = volume_->pending.empty();
    }
  }
  if (stopping_) return false;
  const bool complete = cursor.complete();
  if (complete) {
    std::vector<uint64_t> gone = LiveReferencesNotMet(*volume_, cursor.met());
    std::vector<CatalogRecord> vanished;
    for (uint64_t ref : gone) vanished.push_back(VanishedChange(ref));
    if (!gone.empty()) {
      LogPrint("%D [%c] %d entries are no longer in the volume\n",
               volume_->driveLetter, static_cast<int>(gone.size()));
    }
    MutexLock guard(&volume_->lock);
    for (CatalogRecord& change : vanished) {
      if (change) PutPending(std::move(change));
    }
  } else {
    LogPrint("%D [%c] the walk did not see the whole volume: entries that "
             "vanished meanwhile stay as they are, and the walk is made again "
             "later\n",
             volume_->driveLetter);
  }
  MutexLock guard(&volume_->lock);
  ApplyBatch(true);
  return complete;
}

int VolumeMonitor::MaintenanceDueInMs() const {
  const uint64_t now = GetTickCount64();
  int64_t due = -1;
  auto consider = [&](uint64_t tick) {
    int64_t wait = tick > now ? static_cast<int64_t>(tick - now) : 0;
    if (due < 0 || wait < due) due = wait;
  };
  bool closed = false;
  bool rebuild = false;
  {
    MutexLock guard(&volume_->lock);
    for (auto& [name, task] : volume_->tasks) {
      if (!task->storeOpen.load()) closed = true;
    }
    rebuild = !RebuildsWanted(*volume_).empty();
  }
  if (closed) consider(nextOpenTick_);
  if (rebuild) consider(nextRebuildTick_);
  return static_cast<int>(due);
}

void VolumeMonitor::Maintain() {
  uint64_t now = GetTickCount64();
  if (now >= nextOpenTick_) {
    bool stillClosed = false;
    for (auto& [name, task] : volume_->tasks) {
      if (task->storeOpen.load()) continue;
      // Loaded under the volume's lock: no batch reaches the task before
      // its catalog is read back, and the rebuild walk below catches it
      // up with everything that happened while it was closed.
      MutexLock guard(&volume_->lock);
      if (OpenTaskStore(*task, volume_->storeOptions)) {
        task->needsRebuild.store(true);
      } else {
        stillClosed = true;
      }
    }
    openDelayMs_ = stillClosed ? NextDelay(openDelayMs_, kLongestOpenDelayMs) : 0;
    nextOpenTick_ = now + openDelayMs_;
  }
  now = GetTickCount64();
  if (now < nextRebuildTick_) return;
  std::vector<SyncTask*> flagged;
  {
    MutexLock guard(&volume_->lock);
    flagged = RebuildsWanted(*volume_);
  }
  if (flagged.empty()) return;
  uint64_t journalId = 0;
  int64_t nextUsn = 0;
  journal_->Query(&journalId, &nextUsn);
  LogPrint("%D [%c] catching up %d task(s) against the tree\n",
           volume_->driveLetter, static_cast<int>(flagged.size()));
  const uint64_t started = GetTickCount64();
  WalkPlan plan;
  plan.low = 0;
  plan.high = nextUsn;
  plan.freshFrom = std::numeric_limits<int64_t>::max();
  int32_t walked = 0;
  bool complete = CatchUpWalk(plan, &walked);
  if (stopping_) return;
  {
    MutexLock guard(&volume_->lock);
    FinishRebuild(*volume_, flagged, complete);
  }
  if (complete) {
    rebuildDelayMs_ = 0;
    LogPrint("%D [%c] caught up against the tree: %d entries in %d ms\n",
             volume_->driveLetter, walked, ElapsedMs(started));
  } else {
    rebuildDelayMs_ = NextDelay(rebuildDelayMs_, kLongestWalkDelayMs);
  }
  nextRebuildTick_ = GetTickCount64() + rebuildDelayMs_;
}

CatalogRecord VolumeMonitor::VanishedChange(uint64_t ref) {
  // It may live on outside the walked tree (or have come back meanwhile):
  // then its path tells the catalogs where it is. Only proof that it is
  // gone makes a deletion; a failed lookup is tried again later.
  CatalogRecord change = ChangeByReference(*journal_, ref);
  return change ? std::move(change) : MakeDeleteChange(ref, 0);
}

void VolumeMonitor::FollowJournal() {
  uint32_t pause = 0;
  JournalBatch batch;
  while (!stopping_) {
    Maintain();
    if (stopping_) return;
    int64_t next = 0;
    VolumeJournal::ReadResult result = journal_->Read(
        volume_->journalPos, &next, &batch, MaintenanceDueInMs());
    if (result == VolumeJournal::ReadResult::kStopped) return;
    if (result == VolumeJournal::ReadResult::kTimedOut) continue;
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
    NoteLinkPlaces(record, &volume_->linkHints);
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
               "entries that vanished meanwhile stay as they are, and the "
               "tasks are caught up again later\n",
               volume_->driveLetter);
      for (auto& [name, task] : volume_->tasks) {
        if (task->storeOpen.load()) task->needsRebuild.store(true);
      }
    }
  }
  volume_->lastReadUsn = nextUsn;
}

void VolumeMonitor::PutPending(CatalogRecord change, bool confirm) {
  // The flush thread resolves pending changes through the journal.
  assert(journal_ != nullptr);
  uint64_t now = GetTickCount64();
  volume_->lastChangeTick = now;
  const uint64_t ref = change.fileRef();
  auto it = volume_->pending.find(ref);
  if (it != volume_->pending.end()) {
    // What a walk found says no more than a change the journal reported.
    if (confirm && volume_->confirmOnly.count(ref) == 0) return;
    it->second = std::move(change);
  } else {
    if (volume_->pending.empty()) volume_->firstPendingTick = now;
    volume_->pending.emplace(ref, std::move(change));
  }
  if (confirm) {
    volume_->confirmOnly.insert(ref);
  } else {
    volume_->confirmOnly.erase(ref);
  }
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
  for (const auto& [ref, change] : volume_->pending) {
    if (change && !IsUnresolved(change)) changes.push_back(&change);
  }
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
  // A file with several names: every name is looked at.
  GatherLinkNames(*journal_, volume_->tasks, volume_->linkHints,
                  &volume_->pending);
  expander.GatherLinkNames(volume_->tasks, volume_->linkHints);
  // What cannot be applied now waits: changes whose entries could not be
  // looked up, and directories entering a root whose contents could not
  // all be walked (applied, they would never be walked again).
  PendingChanges held;
  for (auto it = volume_->pending.begin(); it != volume_->pending.end();) {
    if (!it->second) {
      // It exists without a path to be had: nothing to tell.
      volume_->confirmOnly.erase(it->first);
      it = volume_->pending.erase(it);
    } else if (IsUnresolved(it->second)) {
      held.emplace(it->first, std::move(it->second));
      it = volume_->pending.erase(it);
    } else {
      ++it;
    }
  }
  expander.TakeUnresolved(&held);
  for (uint64_t dir : expander.IncompleteWalks()) {
    auto it = volume_->pending.find(dir);
    if (it == volume_->pending.end()) continue;
    held.emplace(dir, std::move(it->second));
    volume_->pending.erase(it);
  }
  // A position is stamped only when nothing read before it waits.
  bool written = volume_->ApplyPending(
      [&](SyncTask& task, std::vector<CatalogRecord>* extra) {
        expander.Expand(task, extra);
      },
      held.empty());
  if (!held.empty()) {
    volume_->HoldBack(std::move(held));
  } else if (written) {
    volume_->Recovered();
  }
  PruneLinkHints(volume_->pending, &volume_->linkHints);
  return true;
}

}  // namespace dirsync
