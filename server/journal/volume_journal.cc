#include "journal/volume_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

#include "platform/little_endian.h"
#include "platform/log.h"
#include "platform/file_io.h"
#include "journal/entry_resolver.h"
#include "journal/event_parser.h"
#include "journal/event_translator.h"
#include "journal/fanotify_group.h"
#include "journal/file_handle.h"
#include "journal/tree_walk.h"

namespace dirsync {
namespace {

// One kernel read takes up to this many bytes of events.
constexpr size_t kReadBufferSize = 256 * 1024;
// No single event is longer: metadata, three handles, two names.
constexpr size_t kLongestEvent = 4096;
// Records per Enumerate call.
constexpr size_t kRecordsPerEnumerate = 1024;
// Pause after a kernel read that held no event of the volume.
constexpr int kPauseAfterForeignEventsMs = 1;

int64_t WallClockNanoseconds() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// "\\.\X:" names drive X.
bool ParseDevicePath(std::string_view devicePath, char* letter) {
  if (devicePath.size() != 6 || devicePath.substr(0, 4) != "\\\\.\\" ||
      devicePath[5] != ':') {
    return false;
  }
  char c = devicePath[4];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (c < 'A' || c > 'Z') return false;
  *letter = c;
  return true;
}

// Whether the output file open at fd may be left unreported by the kernel:
// a regular file on the volume's filesystem (elsewhere the mark sees
// nothing of it anyway) whose only name lies outside the volume, so that
// no change of it could ever be kept.
bool IsOutputOutsideVolume(int fd, dev_t volumeDevice,
                           const EntryResolver& resolver) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_dev != volumeDevice || st.st_nlink != 1) {
    return false;
  }
  std::string path = PathOfDescriptor(fd);
  return !path.empty() && path[0] == '/' && !resolver.IsInside(path);
}

}  // namespace

// ---- small value types ----------------------------------------------------

bool ReferenceSet::Contains(uint64_t ref) const {
  return std::binary_search(sorted.begin(), sorted.end(), ref);
}

void JournalBatch::Clear() {
  records.clear();
  caughtUp = false;
  met.sorted.clear();
  met.complete = false;
}

uint64_t ToFileTime(const struct timespec& t) {
  // 100 ns units from 1601-01-01 to 1970-01-01.
  constexpr int64_t kEpochDifference = 116444736000000000LL;
  int64_t units = static_cast<int64_t>(t.tv_sec) * 10000000LL +
                  t.tv_nsec / 100 + kEpochDifference;
  return units < 0 ? 0 : static_cast<uint64_t>(units);
}

EntryAttributes AttributesOf(const struct statx& st) {
  EntryAttributes a;
  a.directory = S_ISDIR(st.stx_mode);
  a.mode = st.stx_mode;
  a.fileSize = st.stx_size;
  struct statx_timestamp created =
      (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime;
  a.creationTime = ToFileTime({created.tv_sec, created.tv_nsec});
  a.lastWriteTime = ToFileTime({st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec});
  return a;
}

EnumerationCursor::EnumerationCursor() = default;
EnumerationCursor::EnumerationCursor(EnumerationCursor&&) noexcept = default;
EnumerationCursor& EnumerationCursor::operator=(EnumerationCursor&&) noexcept =
    default;
EnumerationCursor::~EnumerationCursor() = default;

bool EnumerationCursor::complete() const {
  return walk_ != nullptr && walk_->ended() && walk_->complete();
}

const ReferenceSet& EnumerationCursor::met() const {
  static const ReferenceSet kEmpty;
  return walk_ ? walk_->met() : kEmpty;
}

// ---- the journal ----------------------------------------------------------

// State of the reading side, kept out of the header.
struct VolumeJournal::ReadState {
  ReadState(const FileHandleCodec& codec, const unsigned char fsid[8],
            EntryResolver* resolver, pid_t ownPid)
      : parser(codec, fsid), translator(resolver, ownPid) {}
  FanotifyEventParser parser;
  JournalEventTranslator translator;
  std::vector<unsigned char> buffer;
  std::vector<FanotifyEvent> events;
};

VolumeJournal::VolumeJournal() = default;
VolumeJournal::~VolumeJournal() = default;

Status VolumeJournal::Open(std::string_view devicePath, const DriveMap& drives,
                           const Options& options,
                           std::unique_ptr<VolumeJournal>* opened) {
  char letter = 0;
  if (!ParseDevicePath(devicePath, &letter)) {
    return Status::InvalidArgument("not a volume path: " +
                                   std::string(devicePath));
  }
  const std::string directory = drives.DirectoryOf(letter);
  UniqueFd fd;
  Status status = OpenFile(directory, O_RDONLY | O_DIRECTORY, 0, &fd);
  if (!status.ok()) return Status::FromErrno("directory " + directory, status.error());

  FileHandleCodec codec;
  status = codec.Learn(fd.get());
  if (!status.ok()) return status;
  FileHandleBuffer handle;
  int mountId = -1;
  uint64_t volumeRef = 0;
  if (::name_to_handle_at(fd.get(), "", handle.get(), &mountId, AT_EMPTY_PATH) != 0 ||
      !codec.Pack(*handle.get(), &volumeRef)) {
    return Status::FromErrno("name_to_handle_at " + directory, errno);
  }
  UniqueFd probe(::open_by_handle_at(fd.get(), handle.get(), O_PATH | O_CLOEXEC));
  if (!probe.valid()) {
    const int err = errno;
    status = Status::FromErrno("open_by_handle_at", err);
    return err == EPERM ? status.WithNote(" (needs CAP_DAC_READ_SEARCH)") : status;
  }
  probe.reset();
  struct statfs fs;
  if (::fstatfs(fd.get(), &fs) != 0) {
    return Status::FromErrno("statfs " + directory, errno);
  }
  unsigned char fsid[8];
  static_assert(sizeof fs.f_fsid == sizeof fsid, "fsid is two 32-bit words");
  std::memcpy(fsid, &fs.f_fsid, sizeof fsid);
  std::string canonical = PathOfDescriptor(fd.get());
  if (canonical.empty() || canonical[0] != '/') canonical = directory;

  std::unique_ptr<VolumeJournal> journal(new VolumeJournal);
  journal->group_ = std::make_unique<FanotifyGroup>(options.env);
  status = journal->group_->Open(fd.get(), options.unlimitedQueue);
  if (!status.ok()) return status;
  struct stat volumeStat;
  const bool statted = ::fstat(fd.get(), &volumeStat) == 0;
  journal->letter_ = letter;
  journal->journalId_ = LoadLE64(fsid);
  journal->resolver_ = std::make_unique<EntryResolver>(
      std::move(fd), codec, std::move(canonical), letter, volumeRef, mountId,
      drives, options.env);
  journal->read_ = std::make_unique<ReadState>(
      codec, fsid, journal->resolver_.get(),
      options.dropOwnEvents ? ::getpid() : 0);
  journal->read_->buffer.resize(kReadBufferSize);
  if (statted) {
    for (int output : options.ownOutputs) {
      if (IsOutputOutsideVolume(output, volumeStat.st_dev, *journal->resolver_)) {
        // Best effort: without the exclusion its events are dropped later,
        // by the pid of the event.
        journal->group_->IgnoreChangesOf(output).IgnoreError();
      }
    }
  }
  // The mark is in place: nothing that happens from now on is missed, and
  // the queue is empty.
  journal->lastDrained_ = journal->NextPosition();
  *opened = std::move(journal);
  return Status::OK();
}

int64_t VolumeJournal::NextPosition() {
  int64_t now = WallClockNanoseconds();
  int64_t last = lastPosition_.load();
  while (true) {
    int64_t next = std::max(now, last + 1);
    if (lastPosition_.compare_exchange_weak(last, next)) {
      assert(next > last);  // never below one handed out before
      return next;
    }
  }
}

bool VolumeJournal::Query(uint64_t* journalId, int64_t* nextUsn) {
  *journalId = journalId_;
  *nextUsn = NextPosition();
  return true;
}

bool VolumeJournal::Create() { return true; }

bool VolumeJournal::OldestPosition(int64_t* oldest) {
  *oldest = 0;
  return true;
}

EnumerationCursor VolumeJournal::StartEnumeration(bool keepMet,
                                                  bool rememberNames,
                                                  bool readAttributes) {
  TreeWalk::Options options;
  options.reportStart = true;
  options.keepMet = keepMet;
  options.rememberNames = rememberNames;
  options.readAttributes = readAttributes;
  // A walk of the whole volume is long enough to share with a second
  // thread.
  options.readAhead = true;
  EnumerationCursor cursor;
  cursor.walk_ = std::make_unique<TreeWalk>(resolver_.get(),
                                            resolver_->volumeRef(), options);
  return cursor;
}

EnumerationCursor VolumeJournal::EnumerateBelow(uint64_t dirRef,
                                                bool rememberNames) {
  TreeWalk::Options options;
  options.rememberNames = rememberNames;
  EnumerationCursor cursor;
  cursor.walk_ = std::make_unique<TreeWalk>(resolver_.get(), dirRef, options);
  return cursor;
}

bool VolumeJournal::Enumerate(EnumerationCursor* cursor, int64_t lowUsn,
                              int64_t highUsn, JournalBatch* out) {
  out->Clear();
  if (cursor->walk_ == nullptr) return false;
  return cursor->walk_->Next(lowUsn, highUsn, out, kRecordsPerEnumerate);
}

VolumeJournal::ReadResult VolumeJournal::Read(int64_t startUsn,
                                              int64_t* nextUsn,
                                              JournalBatch* out,
                                              int timeoutMs) {
  // The queue itself knows where the reader stands; startUsn is kept for
  // the shape of the call.
  (void)startUsn;
  out->Clear();
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  // The mark reports the whole filesystem: wait on until a kernel read
  // yields a record of this volume.
  while (true) {
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = left.count() < 0 ? 0 : static_cast<int>(left.count());
    }
    switch (group_->WaitForEvents(wait, &lastReadError_)) {
      case FanotifyGroup::Wait::kReady:
        break;
      case FanotifyGroup::Wait::kStopped:
        return ReadResult::kStopped;
      case FanotifyGroup::Wait::kTimedOut:
        return ReadResult::kTimedOut;
      case FanotifyGroup::Wait::kFailed:
        return ReadResult::kFailed;
    }
    int64_t position = NextPosition();
    if (!ReadOnce(position, out)) return ReadResult::kFailed;
    if (!out->records.empty() || out->caughtUp) {
      *nextUsn = position;
      return ReadResult::kRecords;
    }
    // Only events of elsewhere on the filesystem: let the next ones gather
    // for a moment, so that a busy filesystem wakes this thread about once
    // a millisecond instead of once per event. A change of the volume that
    // comes meanwhile waits that long at most.
    if (!group_->Pause(kPauseAfterForeignEventsMs)) return ReadResult::kStopped;
  }
}

bool VolumeJournal::ReadOnce(int64_t position, JournalBatch* out) {
  size_t n = 0;
  Status read = group_->Read(read_->buffer.data(), read_->buffer.size(), &n);
  if (!read.ok()) {
    lastReadError_ = read;
    return false;
  }
  read_->events.clear();
  size_t left = read_->parser.Parse(read_->buffer.data(), n, &read_->events);
  if (left != 0) {
    LogPrint("%D journal [%c]: %d bytes of events could not be parsed\n",
             letter_, static_cast<int>(left));
  }
  bool overflowed = false;
  int foreign = read_->translator.Translate(read_->events, out, &overflowed);
  if (foreign != 0) {
    LogPrint("%D journal [%c]: %d events with unusable file handles dropped\n",
             letter_, foreign);
  }
  // A directory that may have come in from outside the volume brings what
  // was made in it out there, which no event reported: everything below it
  // is reported as if made in place.
  for (uint64_t dirRef : read_->translator.enteredVolume()) {
    EnumerationCursor cursor = EnumerateBelow(dirRef, true);
    JournalBatch below;
    while (Enumerate(&cursor, 0, 0, &below)) {
      for (JournalRecord& r : below.records) out->records.push_back(std::move(r));
    }
  }
  if (overflowed) {
    CatchUpAfterOverflow(out);
    // The walk began after this read made room in the queue: every change
    // before it is now handed out.
    lastDrained_ = position;
  } else if (n + kLongestEvent <= read_->buffer.size()) {
    // The read took everything queued: no event before it can be lost.
    lastDrained_ = position;
  }
  return true;
}

void VolumeJournal::CatchUpAfterOverflow(JournalBatch* out) {
  LogPrint("%D journal [%c]: event queue overflowed, catching up from %L\n",
           letter_, lastDrained_);
  EnumerationCursor cursor = StartEnumeration(true, true);
  JournalBatch part;
  while (Enumerate(&cursor, lastDrained_, std::numeric_limits<int64_t>::max(),
                   &part)) {
    for (JournalRecord& r : part.records) out->records.push_back(std::move(r));
  }
  out->caughtUp = true;
  out->met = cursor.met();
}

void VolumeJournal::Stop() { group_->Stop(); }

Status VolumeJournal::OpenEntry(uint64_t fileRef, EntryHandle* entry) {
  *entry = EntryHandle();
  UniqueFd fd;
  Status opened = resolver_->Open(fileRef, O_PATH, &fd);
  if (!opened.ok()) return opened;
  struct statx st;
  Status statted = resolver_->env()->StatAt(
      fd.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &st);
  if (!statted.ok()) return statted;
  // Unlinked but still open somewhere: it no longer exists.
  if (st.stx_nlink == 0) return Status::NotFound("no link left");
  entry->fd_ = std::move(fd);
  entry->ref_ = fileRef;
  entry->attributes_ = AttributesOf(st);
  return Status::OK();
}

EntryHandle VolumeJournal::OpenEntry(uint64_t fileRef) {
  EntryHandle entry;
  OpenEntry(fileRef, &entry).IgnoreError();  // invalid on failure
  return entry;
}

Status VolumeJournal::FindPath(const EntryHandle& entry, std::string* path,
                               uint64_t* parentRef) {
  if (!entry.valid()) return Status::InvalidArgument("entry not open");
  std::string linuxPath;
  uint64_t parent = 0;
  Status located = resolver_->Locate(entry.ref_, entry.fd_.get(),
                                     entry.directory(), &linuxPath, &parent);
  if (!located.ok()) return located;
  *path = resolver_->WindowsForm(linuxPath);
  if (parentRef != nullptr) *parentRef = parent;
  return Status::OK();
}

Status VolumeJournal::PlaceOfName(uint64_t fileRef, uint64_t parentRef,
                                  std::string_view name, std::string* path) {
  if (name.empty() || name.find('/') != std::string_view::npos) {
    return Status::NotFound("no such name");
  }
  std::string directory;
  Status found = resolver_->DirectoryPath(parentRef, &directory);
  if (!found.ok()) return found;
  std::string linuxPath = directory == "/" ? "/" + std::string(name)
                                           : directory + "/" + std::string(name);
  uint64_t named = 0;
  Status at = resolver_->ReferenceBelow(parentRef, directory, name, &named);
  if (at.code() == Status::Code::kMismatch) return Status::NotFound("another entry");
  if (!at.ok()) return at;
  if (named != fileRef) return Status::NotFound("another entry");
  *path = resolver_->WindowsForm(linuxPath);
  return Status::OK();
}

bool VolumeJournal::Attributes(const EntryHandle& entry,
                               EntryAttributes* attributes) {
  if (!entry.valid()) return false;
  *attributes = entry.attributes_;
  return true;
}

}  // namespace dirsync
