// Reads directories of a walk ahead of it, on a thread of its own, so that
// a walk of a large tree keeps two processors busy with its system calls.
//
// A walk spends most of its time in the kernel: naming every entry
// (name_to_handle_at) and reading its attributes (statx), one entry after
// the other. The walk asks for one directory it will reach soon
// (Request); this thread opens it by reference, reads its entries (at most
// kMaxEntries of them, whole getdents64 chunks) and resolves each, while
// the walk resolves another directory itself. When the walk reaches that
// directory it takes what was read (Take), with the descriptor positioned
// after it, and goes on exactly as if it had made the calls itself: the
// records, their order and every failure are the same. One directory is
// read ahead at a time; one that waits to be taken holds its place until
// the walk reaches it.
//
// Threads: Request and Take are called by the walk's thread; the reading
// runs on the thread this object owns, which ends with it.
#ifndef DIRSYNC_JOURNAL_DIRECTORY_READ_AHEAD_H_
#define DIRSYNC_JOURNAL_DIRECTORY_READ_AHEAD_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "journal/entry_resolver.h"
#include "platform/mutex.h"
#include "platform/status.h"
#include "platform/unique_fd.h"

namespace dirsync {

// What the system says of one entry of a directory: its reference and,
// when asked for, its attributes.
struct ResolvedEntry {
  uint64_t ref = 0;
  Status named;           // name_to_handle_at
  unsigned statMask = 0;  // what statx was asked for; 0: not called
  Status stat;
  struct statx st;
};

// Names the entry name of directory dirfd and, when statMask is not 0 and
// naming worked, reads its attributes. Any thread.
void ResolveEntry(EntryResolver* resolver, int dirfd, const char* name,
                  unsigned statMask, ResolvedEntry* out);

// The next entry of a getdents64 chunk of length bytes, from *at on: its
// name (pointing into the chunk) and the type the kernel told. "." and
// "..", and records without their closing NUL, are passed over. Advances
// *at past the entry; false at the chunk's end or at a broken record
// (then *at is length, so the caller reads the next chunk).
inline bool NextDirectoryEntry(const unsigned char* chunk, size_t length,
                               size_t* at, const char** name,
                               unsigned char* type) {
  while (*at < length) {
    // struct linux_dirent64: u64 ino, s64 off, u16 reclen, u8 type, name.
    const unsigned char* entry = chunk + *at;
    uint16_t reclen;
    std::memcpy(&reclen, entry + 16, sizeof reclen);
    if (reclen < 20 || reclen > length - *at) break;
    *at += reclen;
    const char* entryName = reinterpret_cast<const char*>(entry + 19);
    if (strnlen(entryName, reclen - 19) == reclen - 19u) continue;  // no NUL
    if (std::strcmp(entryName, ".") == 0 ||
        std::strcmp(entryName, "..") == 0) {
      continue;
    }
    *name = entryName;
    *type = entry[18];
    return true;
  }
  *at = length;
  return false;
}

// The statx mask a walk asks of an entry of the type getdents64 told
// (0: no statx) when every entry's attributes are wanted or not.
unsigned StatMaskFor(unsigned char type, bool statEvery, bool readAttributes);

class DirectoryReadAhead {
 public:
  // Entries read ahead of one directory at most; the walk reads the rest.
  static constexpr size_t kMaxEntries = 8192;
  // How long a side that waits for the other spins before it sleeps.
  static constexpr std::chrono::microseconds kSpin{50};

  struct Entry {
    std::string name;
    unsigned char type = 0;  // as getdents64 told it
    ResolvedEntry resolved;
  };
  struct Directory {
    uint64_t ref = 0;
    Status opened;  // opening it by reference
    UniqueFd fd;    // positioned after the entries read
    std::vector<Entry> entries;
    bool ended = false;  // read to its end, or reading it failed
    Status read;         // a failed getdents64
  };

  // readAttributes: entries are statted for their size and times, as the
  // walk does.
  DirectoryReadAhead(EntryResolver* resolver, bool readAttributes);
  ~DirectoryReadAhead();
  DirectoryReadAhead(const DirectoryReadAhead&) = delete;
  DirectoryReadAhead& operator=(const DirectoryReadAhead&) = delete;

  // Starts the thread; false (nothing is ever read ahead) when none could
  // be started.
  bool Start();
  // Reads directory ref ahead, statting every entry when statEvery is set
  // (else only those of unknown type), unless another directory is being
  // read or waits to be taken.
  void Request(uint64_t ref, bool statEvery);
  // When ref is the directory read (or being read) ahead: waits until it
  // is read, moves it to *out and returns true.
  bool Take(uint64_t ref, Directory* out);

 private:
  void Run();
  // Waits, lock_ held, until done() holds: first for up to kSpin with the
  // lock released, watching changes_, then on changed_.
  template <class Done>
  void WaitUntil(Done done) REQUIRES(lock_);
  // Opens and reads one directory. No lock held.
  void ReadDirectory(Directory* dir, bool statEvery);

  EntryResolver* const resolver_;
  const bool readAttributes_;
  std::thread thread_;

  // lock_ guards the request and its result, handed between the walk's
  // thread and the reading thread.
  Mutex lock_;
  CondVar changed_;
  bool stopping_ GUARDED_BY(lock_) = false;
  uint64_t wanted_ GUARDED_BY(lock_) = 0;  // 0: no directory asked for
  bool statEvery_ GUARDED_BY(lock_) = false;
  bool reading_ GUARDED_BY(lock_) = false;
  bool ready_ GUARDED_BY(lock_) = false;
  Directory done_ GUARDED_BY(lock_);
  // Counts the changes above (made under lock_), so that a waiter can
  // watch for one without the lock.
  std::atomic<uint32_t> changes_{0};
};

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_DIRECTORY_READ_AHEAD_H_
