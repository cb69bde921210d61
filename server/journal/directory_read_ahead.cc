#include "journal/directory_read_ahead.h"

#include <dirent.h>

#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/env.h"
#include "platform/log.h"
#include "platform/signals_blocked.h"

namespace dirsync {
namespace {
constexpr size_t kChunkSize = 64 * 1024;

// Tells the processor that this thread spins, so that it spends less on
// the loop and hands more to a sibling thread of its core.
inline void SpinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}
}  // namespace

void ResolveEntry(EntryResolver* resolver, int dirfd, const char* name,
                  unsigned statMask, ResolvedEntry* out) {
  out->named = resolver->ReferenceAt(dirfd, name, &out->ref);
  out->statMask = 0;
  if (!out->named.ok() || statMask == 0) return;
  out->statMask = statMask;
  out->stat = resolver->env()->StatAt(
      dirfd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, statMask, &out->st);
}

unsigned StatMaskFor(unsigned char type, bool statEvery, bool readAttributes) {
  if (type != DT_UNKNOWN && !statEvery) return 0;
  return readAttributes ? STATX_BASIC_STATS | STATX_BTIME
                        : STATX_TYPE | STATX_CTIME | STATX_NLINK;
}

DirectoryReadAhead::DirectoryReadAhead(EntryResolver* resolver,
                                       bool readAttributes)
    : resolver_(resolver), readAttributes_(readAttributes) {}

DirectoryReadAhead::~DirectoryReadAhead() {
  {
    MutexLock guard(&lock_);
    stopping_ = true;
    changes_.fetch_add(1, std::memory_order_release);
  }
  changed_.SignalAll();
  if (thread_.joinable()) thread_.join();
}

bool DirectoryReadAhead::Start() {
  // Born with every signal blocked: the program's signals go to the
  // thread that waits for them.
  SignalsBlocked blocked;
  try {
    thread_ = std::thread(&DirectoryReadAhead::Run, this);
  } catch (const std::system_error& e) {
    LogPrint("%D walk: no thread to read ahead (%s); the walk reads alone\n",
             e.what());
    return false;
  }
  return true;
}

void DirectoryReadAhead::Request(uint64_t ref, bool statEvery) {
  {
    MutexLock guard(&lock_);
    if (wanted_ != 0) return;
    wanted_ = ref;
    statEvery_ = statEvery;
    changes_.fetch_add(1, std::memory_order_release);
  }
  changed_.SignalAll();
}

// Each side usually answers the other within tens of microseconds, about
// what it costs to put a thread to sleep and wake it again (far more on a
// virtual machine whose idle processor the host must wake). A directory is
// handed over both ways, so a walk of many small directories that slept
// at every handover spent much of its time waking up.
template <class Done>
void DirectoryReadAhead::WaitUntil(Done done) {
  if (done()) return;
  const uint32_t seen = changes_.load(std::memory_order_acquire);
  lock_.Unlock();
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (int i = 1; changes_.load(std::memory_order_acquire) == seen; ++i) {
    SpinPause();
    if (i % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
  }
  lock_.Lock();
  while (!done()) changed_.Wait(&lock_);
}

bool DirectoryReadAhead::Take(uint64_t ref, Directory* out) {
  MutexLock guard(&lock_);
  if (wanted_ != ref) return false;
  WaitUntil([this]() REQUIRES(lock_) { return ready_; });
  *out = std::move(done_);
  done_ = Directory();
  wanted_ = 0;
  ready_ = false;
  return true;
}

void DirectoryReadAhead::Run() {
  for (;;) {
    Directory dir;
    bool statEvery;
    {
      MutexLock guard(&lock_);
      WaitUntil([this]() REQUIRES(lock_) {
        return stopping_ || (wanted_ != 0 && !reading_ && !ready_);
      });
      if (stopping_) return;
      reading_ = true;
      dir.ref = wanted_;
      statEvery = statEvery_;
    }
    ReadDirectory(&dir, statEvery);
    {
      MutexLock guard(&lock_);
      reading_ = false;
      ready_ = true;
      done_ = std::move(dir);
      changes_.fetch_add(1, std::memory_order_release);
    }
    changed_.SignalAll();
  }
}

void DirectoryReadAhead::ReadDirectory(Directory* dir, bool statEvery) {
  dir->opened = resolver_->Open(dir->ref, O_RDONLY | O_DIRECTORY, &dir->fd);
  if (!dir->opened.ok()) return;
  std::vector<unsigned char> buffer(kChunkSize);
  while (dir->entries.size() < kMaxEntries) {
    {
      MutexLock guard(&lock_);
      if (stopping_) return;
    }
    size_t n = 0;
    dir->read = resolver_->env()->ReadDirectory(dir->fd.get(), buffer.data(),
                                                buffer.size(), &n);
    if (!dir->read.ok() || n == 0) {
      dir->ended = true;
      return;
    }
    // A chunk is taken whole: the descriptor's position is past it.
    size_t at = 0;
    const char* name;
    unsigned char type;
    while (NextDirectoryEntry(buffer.data(), n, &at, &name, &type)) {
      Entry& e = dir->entries.emplace_back();
      e.name = name;
      e.type = type;
      ResolveEntry(resolver_, dir->fd.get(), name,
                   StatMaskFor(e.type, statEvery, readAttributes_), &e.resolved);
    }
  }
}

}  // namespace dirsync
