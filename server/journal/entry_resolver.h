// Opens entries of one volume by file reference and finds their paths.
// Every lookup tells a missing entry (kNotFound: ESTALE, ENOENT, or no
// path left to name it) from a failed one (kIOError: no descriptors, no
// memory, an I/O error), so that only the first ever becomes a deletion.
//
// Holds the volume's directory descriptor (the mount that handles are
// opened through), the handle codec, the memory of (parent, name) per
// reference and a cache of directory reference -> Linux path. The path
// rule: a directory resolves by its handle; a file is its remembered parent
// directory's path joined with its remembered name, when name_to_handle_at
// confirms that this path names the entry; else the entry's own handle
// path when that is a real path; else it has no path. Paths longer than
// the kernel resolves from "/" are found too: a directory's is built
// upwards from its parents, a file's is its remembered place, checked
// relative to its directory.
//
// Thread safe: lock_ guards the name memory and the directory path cache
// (held for map work only, never across a system call). The drive map is
// read-only while the resolver lives.
#ifndef DIRSYNC_JOURNAL_ENTRY_RESOLVER_H_
#define DIRSYNC_JOURNAL_ENTRY_RESOLVER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "journal/file_handle.h"
#include "journal/name_memory.h"
#include "platform/drive_map.h"
#include "platform/env.h"
#include "platform/mutex.h"
#include "platform/status.h"
#include "platform/thread_annotations.h"
#include "platform/unique_fd.h"

namespace dirsync {

class EntryResolver {
 public:
  // kUnknown: the directory no longer exists, or has no path; kUnreadable:
  // looking it up failed (no descriptors, no memory, ...), so where it is
  // cannot be told now but may be later.
  enum class Place { kInside, kOutside, kUnknown, kUnreadable };

  // Takes volumeFd, an O_RDONLY|O_DIRECTORY descriptor of the volume's
  // directory whose canonical path is volumeDirectory. drives gives the
  // Windows form of paths in other mapped directories; it must outlive the
  // resolver. Entries are opened and named through env.
  EntryResolver(UniqueFd volumeFd, const FileHandleCodec& codec,
                std::string volumeDirectory, char driveLetter,
                uint64_t volumeRef, int mountId, const DriveMap& drives,
                Env* env = Env::Default());
  EntryResolver(const EntryResolver&) = delete;
  EntryResolver& operator=(const EntryResolver&) = delete;

  const FileHandleCodec& codec() const { return codec_; }
  int volumeFd() const { return volumeFd_.get(); }
  uint64_t volumeRef() const { return volumeRef_; }
  int mountId() const { return mountId_; }
  const std::string& volumeDirectory() const { return volumeDirectory_; }
  Env* env() const { return env_; }

  // open_by_handle_at through the volume's mount. The failure tells why:
  // kNotFound (ESTALE) for an entry that no longer exists, kIOError for
  // EMFILE, ENOMEM, ...
  Status Open(uint64_t ref, int flags, UniqueFd* fd) const;
  // The reference of the entry at path (relative to dirfd; a final symbolic
  // link is not followed) when it lies on the volume's mount and packs.
  bool ReferenceOf(int dirfd, const char* path, uint64_t* ref) const;
  // The same with the reason of a failure: kNotFound when nothing is
  // there, kMismatch when the entry is no entry of this volume (another
  // mount, a handle that does not pack), kIOError when the call failed.
  Status ReferenceAt(int dirfd, const char* path, uint64_t* ref) const;

  // The Linux path of a directory, cached. kNotFound when the directory no
  // longer exists (or never did, or has no path), kIOError when it could
  // not be looked up.
  Status DirectoryPath(uint64_t dirRef, std::string* path);
  // Drops the cached directory paths (after a directory rename).
  void ForgetDirectoryPaths();
  // The path of the directory open at fd (any open mode). A path longer
  // than a descriptor's path can be read (4,095 bytes) is built upwards,
  // each directory's name found in its parent by its inode number, up to
  // 64 KiB; deeper ones have none (kNotFound).
  Status PathOfDirectory(int fd, std::string* path);
  // The reference of the entry name in directory dirRef, whose path is
  // dirPath: looked up by the full path when the kernel resolves it, else
  // relative to the directory opened by its reference.
  Status ReferenceBelow(uint64_t dirRef, const std::string& dirPath,
                        std::string_view name, uint64_t* ref) const;
  // Whether a directory lies inside the volume's directory (the directory
  // itself counts as inside); kUnknown when its path cannot be had.
  Place PlaceOfDirectory(uint64_t dirRef);
  bool IsInside(std::string_view linuxPath) const;

  void Remember(uint64_t ref, uint64_t parentRef, std::string_view name);
  // Remembers many (ref, parent, name) at once, under one lock.
  struct Sighting {
    uint64_t ref;
    uint64_t parentRef;
    std::string_view name;
  };
  void RememberAll(const std::vector<Sighting>& sightings);
  bool Recall(uint64_t ref, uint64_t* parentRef, std::string* name) const;
  // Drops what is remembered of entries that no longer exist (their names
  // and, for directories, their cached paths), so that files created and
  // deleted by the thousand do not fill the name memory.
  void ForgetAll(const std::vector<uint64_t>& refs);

  // The path rule for an entry open at fd (any open mode, O_PATH will do).
  // *parentRef gets the directory the path lies in (0 for the volume's own
  // directory or when it cannot be told). kNotFound when the entry has no
  // path to be had, kIOError when a lookup on the way failed.
  Status Locate(uint64_t ref, int fd, bool directory, std::string* linuxPath,
                uint64_t* parentRef);

  // The path as the catalog sees it: "\\?\X:\..." inside the volume (the
  // volume's directory itself is "\\?\X:"), inside another mapped directory
  // with that drive's letter, else "\\?\" + the Linux path. A path inside
  // the volume with a backslash in a name below the volume's directory
  // also takes the Linux form: the catalogs cannot name it.
  std::string WindowsForm(std::string_view linuxPath) const;

 private:
  // OK when the remembered place names the entry; kIOError when a lookup
  // failed on the way; kNotFound otherwise.
  Status TryRememberedPlace(uint64_t ref, std::string* linuxPath,
                            uint64_t* parentRef);
  uint64_t ParentOfPath(const std::string& linuxPath) const;
  // The name under which directory dirFd (open for reading, at its start)
  // holds inode; kNotFound when none.
  Status NameOfInode(int dirFd, uint64_t inode, std::string* name) const;
  // Caches a path found while the cache was in generation.
  void CacheDirectoryPath(uint64_t dirRef, const std::string& path,
                          uint64_t generation) EXCLUDES(lock_);
  uint64_t PathGeneration() const EXCLUDES(lock_);

  UniqueFd volumeFd_;
  FileHandleCodec codec_;
  std::string volumeDirectory_;
  char letter_;
  uint64_t volumeRef_;
  int mountId_;
  const DriveMap& drives_;
  Env* const env_;

  mutable Mutex lock_;
  NameMemory names_ GUARDED_BY(lock_);
  std::unordered_map<uint64_t, std::string> directoryPaths_ GUARDED_BY(lock_);
  // Raised by every ForgetDirectoryPaths: a path found in an older
  // generation is not cached.
  uint64_t pathGeneration_ GUARDED_BY(lock_) = 0;
};

// The path an open descriptor stands for (readlink of /proc/self/fd/N);
// empty on failure.
std::string PathOfDescriptor(int fd);
// The same with the failure: kIOError when readlink fails.
Status ReadDescriptorPath(int fd, std::string* path);

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_ENTRY_RESOLVER_H_
