#include "downloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "file_time.h"
#include "local_path.h"
#include "write_all.h"

namespace dsclient_tool {
namespace {

constexpr int kReplyWaitMs = 60000;

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// A local failure that is the machine's, not the file's (the filesystem
// full, descriptors or memory used up): no other file would fare better now.
DownloadOutcome LocalOutcome(int error) {
  return IsLackOfRoom(error) ? DownloadOutcome::kNoRoom : DownloadOutcome::kLocalError;
}

// One file of a run. The network side owns the fields above `fd`, the
// writer thread those from `fd` on.
struct FileSlot {
  DownloadRequest request;
  uint64_t nextPos = 0;     // where the next range to ask for begins
  bool allAsked = false;    // every range is asked for
  bool closed = false;      // finish or abort handed to the writer
  uint64_t received = 0;    // bytes received so far

  int fd = -1;
  std::string temp;
  std::string linkText;  // a link's target text as it arrives
  bool localFailed = false;
  int localErrno = 0;
  std::string localDetail;
};

// A request in flight.
struct Asked {
  size_t file;
  uint64_t pos;
  int32_t wanted;  // bytes that belong to the file's recorded size
  int32_t asked;   // bytes asked for (one more where that shows growth)
};

// Work for the writer thread, done in order.
struct WriteJob {
  enum class Kind { kWrite, kFinish, kAbort } kind;
  size_t file;
  std::string data;               // kWrite
  DownloadOutcome outcome{};      // kAbort: what the network side found
  std::string detail;             // kAbort
};

struct Completion {
  size_t file;
  DownloadOutcome outcome;
  std::string detail;
};

// One Run: the window on the network side and the writer thread.
class Transfer {
 public:
  Transfer(dsclient::Connection& connection, bool zip, DownloadWindow window,
           const std::function<void(uint64_t)>& onBytes, std::vector<DownloadRequest> files)
      : connection_(connection), zip_(zip), window_(window), onBytes_(onBytes) {
    slots_.reserve(files.size());
    for (DownloadRequest& request : files) {
      slots_.emplace_back();
      slots_.back().request = std::move(request);
    }
  }

  Downloader::End Run(const Downloader::OnDone& onDone, const std::function<bool()>& stop);

 private:
  void WriterLoop();
  void DoWrite(FileSlot& slot, const std::string& data);
  Completion DoFinish(size_t index);
  void Discard(FileSlot& slot);
  bool OpenTemporary(FileSlot& slot);
  bool MakeLink(FileSlot& slot);
  // Renames the finished temporary over the target.
  Completion RenameIntoPlace(size_t index);

  // Jobs collect in batch_ and go to the writer together (one lock and at
  // most one wake-up for many), before the network side would wait.
  void Enqueue(WriteJob job);
  void Flush();
  void Abort(size_t index, DownloadOutcome outcome, std::string detail);
  // Takes a reply for the oldest request; false when the connection is
  // unusable (detail says why).
  bool TakeReply(dsclient::Message& message, std::string* detail);
  void Deliver(const Downloader::OnDone& onDone);
  // Half the window's bytes are free, with queued bytes waiting for the
  // writer: the condition for asking for more.
  bool HalfFree(uint64_t queued) const {
    return inFlightBytes_ + queued <= window_.bytes / 2;
  }
  bool Stopping(const std::function<bool()>& stop) {
    stopped_ = stopped_ || (stop && stop());
    return stopped_;
  }

  dsclient::Connection& connection_;
  bool zip_;
  DownloadWindow window_;
  const std::function<void(uint64_t)>& onBytes_;
  std::vector<FileSlot> slots_;
  size_t nextFile_ = 0;
  std::deque<Asked> inFlight_;
  uint64_t inFlightBytes_ = 0;
  size_t told_ = 0;        // outcomes told
  size_t handedOver_ = 0;  // files fully asked for: each gets an outcome
  bool stopped_ = false;
  std::string lastParent_;  // writer thread: the parent made last

  std::vector<WriteJob> batch_;
  uint64_t batchBytes_ = 0;

  // Shared with the writer thread.
  std::mutex mutex_;
  std::condition_variable workReady_;  // the writer waits for jobs
  std::condition_variable progress_;   // the network side waits for room or results
  std::vector<WriteJob> jobs_;         // guarded by mutex_
  // Data handed to the writer and not yet written (read without the lock
  // to size the window; changed under it).
  std::atomic<uint64_t> queuedBytes_{0};
  std::deque<Completion> done_;        // guarded by mutex_
  std::atomic<size_t> doneCount_{0};   // done_.size(), to look without the lock
  bool quit_ = false;                  // guarded by mutex_
  // Who sleeps on a condition now (guarded by mutex_): a wake-up costs a
  // system call, so it is made only for a thread that waits.
  bool writerWaits_ = false;
  bool networkWaits_ = false;
};

void Transfer::Enqueue(WriteJob job) {
  batchBytes_ += job.data.size();
  batch_.push_back(std::move(job));
  if (batch_.size() >= 64 || batchBytes_ >= (4u << 20)) Flush();
}

void Transfer::Flush() {
  if (batch_.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  queuedBytes_ += batchBytes_;
  for (WriteJob& job : batch_) jobs_.push_back(std::move(job));
  batch_.clear();
  batchBytes_ = 0;
  if (writerWaits_) workReady_.notify_one();
}

void Transfer::Abort(size_t index, DownloadOutcome outcome, std::string detail) {
  FileSlot& slot = slots_[index];
  slot.closed = true;
  if (!slot.allAsked) {
    // Only the file being asked for has ranges left to ask.
    slot.allAsked = true;
    ++handedOver_;
    if (nextFile_ == index) ++nextFile_;
  }
  Enqueue({WriteJob::Kind::kAbort, index, {}, outcome, std::move(detail)});
}

bool Transfer::TakeReply(dsclient::Message& message, std::string* detail) {
  if (message.Command() != "-dload") return true;  // not ours: passed over
  if (inFlight_.empty()) {
    *detail = "a dload reply that was not asked for";
    return false;
  }
  Asked asked = inFlight_.front();
  inFlight_.pop_front();
  inFlightBytes_ -= static_cast<uint64_t>(asked.asked);
  FileSlot& slot = slots_[asked.file];
  dsclient::DloadResult reply;
  bool inflated = dsclient::ParseDloadReply(message, &reply);
  if (static_cast<uint64_t>(reply.fid) != slot.request.fileRef ||
      static_cast<uint64_t>(reply.pos) != asked.pos) {
    *detail = "dload replies out of order";
    return false;
  }
  if (!inflated) {
    *detail = "malformed dload reply";
    return false;
  }
  if (slot.closed) return true;  // the file failed already
  if (!reply.err.empty() || !reply.hasData) {
    // Nothing left to read at the start of an empty file is that file.
    if (slot.request.size == 0 && reply.err == "error=0") {
      slot.closed = true;
      Enqueue({WriteJob::Kind::kFinish, asked.file, {}, {}, {}});
      return true;
    }
    Abort(asked.file, ClassifyDownloadError(reply.err, static_cast<int64_t>(asked.pos)),
          reply.err.empty() ? "reply without data" : reply.err);
    return true;
  }
  if (reply.len < 0 || static_cast<size_t>(reply.len) != reply.data.size()) {
    *detail = "malformed dload reply";
    return false;
  }
  if (reply.len > asked.wanted) {
    Abort(asked.file, DownloadOutcome::kLonger,
          "the server holds more than the recorded " + std::to_string(slot.request.size) +
              " bytes");
    return true;
  }
  if (onBytes_) onBytes_(reply.data.size());
  slot.received += static_cast<uint64_t>(reply.len);
  if (reply.len < asked.wanted) {
    // The file shrank after its record: what came is not that version.
    Abort(asked.file, DownloadOutcome::kShort,
          "the file ended at " + std::to_string(asked.pos + static_cast<uint64_t>(reply.len)) +
              " of " + std::to_string(slot.request.size) + " bytes");
    return true;
  }
  Enqueue({WriteJob::Kind::kWrite, asked.file, std::move(reply.data), {}, {}});
  if (slot.received == slot.request.size) {
    slot.closed = true;
    Enqueue({WriteJob::Kind::kFinish, asked.file, {}, {}, {}});
  }
  return true;
}

void Transfer::Deliver(const Downloader::OnDone& onDone) {
  if (doneCount_.load(std::memory_order_acquire) == 0) return;
  std::deque<Completion> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done.swap(done_);
    doneCount_ = 0;
  }
  for (Completion& c : done) {
    ++told_;
    onDone(slots_[c.file].request, c.outcome, c.detail);
  }
}

Downloader::End Transfer::Run(const Downloader::OnDone& onDone,
                              const std::function<bool()>& stop) {
  std::thread writer([this] { WriterLoop(); });
  bool lost = false;
  std::string lostDetail;
  while (true) {
    Deliver(onDone);
    if (!lost && !Stopping(stop)) {
      // Fill the window.
      std::string frames;
      const uint64_t queued = queuedBytes_.load(std::memory_order_relaxed) + batchBytes_;
      // Refilled once half of it is free, so that requests go out many to
      // a send rather than one for every reply.
      const bool refill = inFlight_.size() <= window_.requests / 2 && HalfFree(queued);
      while (refill && nextFile_ < slots_.size() && inFlight_.size() < window_.requests &&
             inFlightBytes_ + queued < window_.bytes) {
        FileSlot& slot = slots_[nextFile_];
        const uint64_t remaining = slot.request.size - slot.nextPos;
        const int32_t wanted =
            static_cast<int32_t>(std::min<uint64_t>(kDownloadRange, remaining));
        // The range that ends the file asks for one byte more (when the
        // range has room for it): a reply that holds it shows a file that
        // grew after its record.
        const int32_t asked =
            remaining < static_cast<uint64_t>(kDownloadRange) ? wanted + 1 : wanted;
        dsclient::DloadRequest range;
        range.path = slot.request.catalogName.empty() ? "x" : slot.request.catalogName;
        range.fid = static_cast<int64_t>(slot.request.fileRef);
        range.pos = static_cast<int64_t>(slot.nextPos);
        range.ver = static_cast<int32_t>(slot.request.version);
        range.size = asked;
        range.zip = zip_ ? 1 : 0;
        frames += dsclient::BuildDloadFrame(range);
        inFlight_.push_back({nextFile_, slot.nextPos, wanted, asked});
        inFlightBytes_ += static_cast<uint64_t>(asked);
        slot.nextPos += static_cast<uint64_t>(wanted);
        if (slot.nextPos >= slot.request.size) {
          slot.allAsked = true;
          ++nextFile_;
          ++handedOver_;
        }
      }
      if (!frames.empty() && !connection_.SendBytes(frames)) {
        lost = true;
        lostDetail = "cannot send dload requests";
      }
    }
    if (lost || stopped_) {
      // No more requests; what is in flight is either read (stopped) or
      // given up (lost). A file partly asked for is cancelled.
      if (nextFile_ < slots_.size() && slots_[nextFile_].nextPos > 0) {
        if (lost) {
          Abort(nextFile_, DownloadOutcome::kConnectionLost, lostDetail);
        } else {
          Abort(nextFile_, DownloadOutcome::kCancelled, "the run was stopped");
        }
      }
      nextFile_ = slots_.size();
    }
    if (lost) {
      for (const Asked& asked : inFlight_) {
        if (!slots_[asked.file].closed) {
          Abort(asked.file, DownloadOutcome::kConnectionLost, lostDetail);
        }
      }
      inFlight_.clear();
      inFlightBytes_ = 0;
    }
    if (inFlight_.empty()) {
      Flush();
      std::unique_lock<std::mutex> lock(mutex_);
      if (nextFile_ >= slots_.size()) {
        // Everything is asked for and answered: wait for the writer.
        if (told_ + done_.size() >= handedOver_ && jobs_.empty()) {
          lock.unlock();
          Deliver(onDone);
          break;
        }
        networkWaits_ = true;
        progress_.wait(lock, [this] { return !done_.empty(); });
        networkWaits_ = false;
      } else {
        // The window is full of bytes the writer has not written yet: wait
        // until the refill above has room again.
        networkWaits_ = true;
        progress_.wait(lock, [this] { return !done_.empty() || HalfFree(queuedBytes_.load()); });
        networkWaits_ = false;
      }
      continue;
    }
    // Before waiting for the network, the writer gets what is collected.
    if (!connection_.HasWholeMessage()) Flush();
    dsclient::Message message;
    dsclient::Connection::Status status = connection_.Receive(&message, kReplyWaitMs);
    if (status != dsclient::Connection::Status::kOk) {
      lost = true;
      lostDetail = status == dsclient::Connection::Status::kTimeout ? "no reply to dload"
                                                                   : "the connection closed";
      continue;
    }
    if (!TakeReply(message, &lostDetail)) lost = true;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    workReady_.notify_one();  // unconditionally: the writer may be between jobs
  }
  writer.join();
  if (lost) return Downloader::End::kConnectionLost;
  return stopped_ ? Downloader::End::kStopped : Downloader::End::kDone;
}

void Transfer::WriterLoop() {
  std::vector<WriteJob> jobs;
  std::vector<Completion> finished;
  while (true) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      writerWaits_ = true;
      workReady_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
      writerWaits_ = false;
      if (jobs_.empty()) return;
      jobs.swap(jobs_);
    }
    uint64_t written = 0;
    for (WriteJob& job : jobs) {
      FileSlot& slot = slots_[job.file];
      switch (job.kind) {
        case WriteJob::Kind::kWrite:
          DoWrite(slot, job.data);
          break;
        case WriteJob::Kind::kFinish:
          finished.push_back(DoFinish(job.file));
          break;
        case WriteJob::Kind::kAbort:
          Discard(slot);
          finished.push_back(Completion{job.file, job.outcome, std::move(job.detail)});
          break;
      }
      written += job.data.size();
    }
    jobs.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    queuedBytes_ -= written;
    for (Completion& c : finished) done_.push_back(std::move(c));
    doneCount_ = done_.size();
    finished.clear();
    if (networkWaits_) progress_.notify_one();
  }
}

bool Transfer::OpenTemporary(FileSlot& slot) {
  const DownloadRequest& request = slot.request;
  if (request.tree != nullptr) {
    // Files of one directory come one after another: its parents are
    // made (and checked) once for them all.
    std::string parent = ParentOf(request.local);
    if (parent != lastParent_ || parent.empty()) {
      lastParent_.clear();
      if (!request.tree->MakeParents(request.local, &slot.localDetail)) {
        slot.localFailed = true;
        slot.localErrno = errno;
        return false;
      }
      lastParent_ = parent;
    }
  }
  slot.temp = TemporaryNameFor(request.target, request.fileRef);
  if (request.link) return true;  // made at the finish, from its text
  // A new file of its own, never one that a link or an earlier run left
  // under the name: that one is removed and the creation tried again.
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
  // A file with permissions of its own is nobody else's while written.
  const mode_t createMode = request.hasMode ? 0600 : 0644;
  slot.fd = ::open(slot.temp.c_str(), kFlags, createMode);
  if (slot.fd < 0 && errno == EEXIST && ::unlink(slot.temp.c_str()) == 0) {
    slot.fd = ::open(slot.temp.c_str(), kFlags, createMode);
  }
  if (slot.fd < 0) {
    slot.localFailed = true;
    slot.localErrno = errno;
    slot.localDetail = SystemError("cannot create", slot.temp);
    slot.temp.clear();
    return false;
  }
  return true;
}

void Transfer::DoWrite(FileSlot& slot, const std::string& data) {
  if (slot.localFailed) return;
  if (slot.request.link) {
    slot.linkText += data;
    return;
  }
  if (slot.fd < 0 && !OpenTemporary(slot)) return;
  if (!WriteAll(slot.fd, data)) {
    slot.localFailed = true;
    slot.localErrno = errno;
    slot.localDetail = SystemError("cannot write", slot.temp);
    Discard(slot);
  }
}

void Transfer::Discard(FileSlot& slot) {
  if (slot.fd >= 0) ::close(slot.fd);
  slot.fd = -1;
  if (!slot.temp.empty()) ::unlink(slot.temp.c_str());
  slot.temp.clear();
  slot.linkText.clear();
}

bool Transfer::MakeLink(FileSlot& slot) {
  if (slot.temp.empty() && !OpenTemporary(slot)) return false;
  if (slot.linkText.empty() || slot.linkText.find('\0') != std::string::npos) {
    slot.localFailed = true;
    slot.localErrno = EINVAL;
    slot.localDetail = "the link target of " + slot.request.target + " is not a path";
    return false;
  }
  // symlink never follows what stands at its name: a leftover of an
  // earlier run is removed and the creation tried again.
  int made = ::symlink(slot.linkText.c_str(), slot.temp.c_str());
  if (made != 0 && errno == EEXIST && ::unlink(slot.temp.c_str()) == 0) {
    made = ::symlink(slot.linkText.c_str(), slot.temp.c_str());
  }
  if (made != 0) {
    slot.localFailed = true;
    slot.localErrno = errno;
    slot.localDetail = SystemError("cannot create link", slot.temp);
    slot.temp.clear();
    return false;
  }
  struct timespec times[2];
  if (FileTimeToTimespec(slot.request.lastWriteTime, &times[1])) {
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    ::utimensat(AT_FDCWD, slot.temp.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  return true;
}

Completion Transfer::DoFinish(size_t index) {
  FileSlot& slot = slots_[index];
  const DownloadRequest& request = slot.request;
  if (request.link && request.skipOutsideLink && !slot.localFailed &&
      LinkLeavesTree(request.local, slot.linkText)) {
    // What an earlier run made there goes: only a link, never a file.
    struct stat st;
    if (::lstat(request.target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      ::unlink(request.target.c_str());
    }
    std::string detail = "the link points outside the mirror (" + slot.linkText + ")";
    Discard(slot);
    return {index, DownloadOutcome::kSkipped, detail};
  }
  if (request.link) {
    if (!slot.localFailed) MakeLink(slot);
  } else if (!slot.localFailed && slot.fd < 0) {
    OpenTemporary(slot);  // an empty file
  }
  if (slot.localFailed) {
    Discard(slot);
    return {index, LocalOutcome(slot.localErrno), slot.localDetail};
  }
  if (request.link) return RenameIntoPlace(index);
  if (request.hasMode && ::fchmod(slot.fd, static_cast<mode_t>(request.mode & 0777)) != 0) {
    const int error = errno;
    std::string detail = SystemError("cannot set the permissions of", slot.temp);
    Discard(slot);
    return {index, LocalOutcome(error), detail};
  }
  struct timespec times[2];
  if (FileTimeToTimespec(request.lastWriteTime, &times[1])) {
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    ::futimens(slot.fd, times);
  }
  int closed = ::close(slot.fd);
  slot.fd = -1;
  if (closed != 0) {
    const int error = errno;
    std::string detail = SystemError("cannot write", slot.temp);
    Discard(slot);
    return {index, LocalOutcome(error), detail};
  }
  return RenameIntoPlace(index);
}

Completion Transfer::RenameIntoPlace(size_t index) {
  FileSlot& slot = slots_[index];
  const DownloadRequest& request = slot.request;
  bool renamed = ::rename(slot.temp.c_str(), request.target.c_str()) == 0;
  struct stat st;
  if (!renamed && request.replaceDirectory && ::lstat(request.target.c_str(), &st) == 0 &&
      S_ISDIR(st.st_mode)) {
    // The catalog has a file where the mirror still has a directory.
    std::error_code ec;
    std::filesystem::remove_all(request.target, ec);
    lastParent_.clear();
    renamed = ::rename(slot.temp.c_str(), request.target.c_str()) == 0;
  }
  if (!renamed) {
    std::string detail = SystemError("cannot rename into place", request.target);
    Discard(slot);
    return {index, DownloadOutcome::kLocalError, detail};
  }
  slot.temp.clear();
  return {index, DownloadOutcome::kDone, {}};
}

}  // namespace

const char* DownloadOutcomeName(DownloadOutcome outcome) {
  switch (outcome) {
    case DownloadOutcome::kDone: return "done";
    case DownloadOutcome::kVersionChanged: return "version changed";
    case DownloadOutcome::kGone: return "gone";
    case DownloadOutcome::kShort: return "shorter than recorded";
    case DownloadOutcome::kLonger: return "longer than recorded";
    case DownloadOutcome::kLocalError: return "local error";
    case DownloadOutcome::kNoRoom: return "no room";
    case DownloadOutcome::kConnectionLost: return "connection lost";
    case DownloadOutcome::kCancelled: return "cancelled";
    case DownloadOutcome::kSkipped: return "skipped";
  }
  return "?";
}

bool IsLackOfRoom(int error) {
  return error == ENOSPC || error == EDQUOT || error == EMFILE || error == ENFILE ||
         error == ENOMEM;
}

std::string TemporaryNameFor(const std::string& target, uint64_t fileRef) {
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  return dir + ".dirsync-download-" + std::to_string(fileRef) + ".tmp";
}

DownloadOutcome ClassifyDownloadError(const std::string& err, int64_t pos) {
  if (err.rfind("server-ver=", 0) == 0) return DownloadOutcome::kVersionChanged;
  if (err.rfind("file is not exists", 0) == 0 || err.rfind("open file", 0) == 0) {
    return DownloadOutcome::kGone;
  }
  // A read that yields nothing past the start means the file ended early.
  return pos > 0 ? DownloadOutcome::kShort : DownloadOutcome::kGone;
}

Downloader::Downloader(dsclient::Connection& connection, bool zip,
                       std::function<void(uint64_t)> onBytes, DownloadWindow window)
    : connection_(connection), zip_(zip), onBytes_(std::move(onBytes)), window_(window) {}

void Downloader::Add(DownloadRequest request) { queue_.push_back(std::move(request)); }

Downloader::End Downloader::Run(const OnDone& onDone, const std::function<bool()>& stop) {
  std::vector<DownloadRequest> files;
  files.swap(queue_);
  Transfer transfer(connection_, zip_, window_, onBytes_, std::move(files));
  return transfer.Run(onDone, stop);
}

DownloadOutcome Downloader::Fetch(const DownloadRequest& request, std::string* detail) {
  Add(request);
  DownloadOutcome outcome = DownloadOutcome::kConnectionLost;
  *detail = "no reply to dload";
  Run([&](const DownloadRequest&, DownloadOutcome o, const std::string& d) {
    outcome = o;
    *detail = d;
  });
  return outcome;
}

}  // namespace dsclient_tool
