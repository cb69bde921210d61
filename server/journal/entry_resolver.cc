#include "journal/entry_resolver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/file_io.h"

namespace dirsync {
namespace {

// Cached directory paths kept at most; the cache starts over past it.
constexpr size_t kMaxCachedDirectories = 16384;

constexpr std::string_view kDeletedSuffix = " (deleted)";

// Lookups of a file's path, when renames keep overtaking them.
constexpr int kLocateAttempts = 3;

// The longest path the kernel resolves from "/" (PATH_MAX less its NUL);
// longer ones are looked up relative to their directory.
constexpr size_t kLongestResolvedPath = PATH_MAX - 1;
// Paths built upwards past the longest resolved one end here: a deeper
// entry has no path the catalog takes.
constexpr size_t kLongestComposedPath = 64 * 1024;
// Bytes of one getdents64 while a directory's name is looked for.
constexpr size_t kNameSearchBuffer = 16 * 1024;

bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.substr(s.size() - suffix.size()) == suffix;
}

// A path a descriptor gives that names a place in the tree: absolute, not
// an unlinked entry's "... (deleted)".
bool IsLivePath(std::string_view path) {
  return !path.empty() && path[0] == '/' && !EndsWith(path, kDeletedSuffix);
}

std::string Join(const std::string& dir, std::string_view name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace

Status ReadDescriptorPath(int fd, std::string* path) {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char buffer[4096];
  ssize_t n = ::readlink(link, buffer, sizeof buffer);
  if (n < 0) return Status::IOError("readlink", errno);
  path->clear();
  // An empty or overlong link names no place the catalog could use.
  if (n == 0 || static_cast<size_t>(n) >= sizeof buffer) return Status::OK();
  path->assign(buffer, static_cast<size_t>(n));
  return Status::OK();
}

std::string PathOfDescriptor(int fd) {
  std::string path;
  return ReadDescriptorPath(fd, &path).ok() ? path : std::string();
}

EntryResolver::EntryResolver(UniqueFd volumeFd, const FileHandleCodec& codec,
                             std::string volumeDirectory, char driveLetter,
                             uint64_t volumeRef, int mountId,
                             const DriveMap& drives, Env* env)
    : volumeFd_(std::move(volumeFd)),
      codec_(codec),
      volumeDirectory_(std::move(volumeDirectory)),
      letter_(driveLetter),
      volumeRef_(volumeRef),
      mountId_(mountId),
      drives_(drives),
      env_(env) {}

Status EntryResolver::Open(uint64_t ref, int flags, UniqueFd* fd) const {
  FileHandleBuffer handle;
  codec_.Unpack(ref, &handle);
  return env_->OpenByHandle(volumeFd_.get(), handle.get(), flags, fd);
}

bool EntryResolver::ReferenceOf(int dirfd, const char* path,
                                uint64_t* ref) const {
  return ReferenceAt(dirfd, path, ref).ok();
}

Status EntryResolver::ReferenceAt(int dirfd, const char* path,
                                  uint64_t* ref) const {
  FileHandleBuffer handle;
  int mountId = -1;
  Status named = env_->HandleAt(dirfd, path, 0, handle.get(), &mountId);
  if (!named.ok()) {
    // A filesystem without handles, or a handle too big to take: no entry
    // this volume can name.
    if (named.error() == EOPNOTSUPP || named.error() == EOVERFLOW) {
      return Status::Mismatch("no usable file handle");
    }
    return named;
  }
  if (mountId != mountId_) return Status::Mismatch("another mount");
  if (!codec_.Pack(*handle.get(), ref)) {
    return Status::Mismatch("a file handle that does not pack");
  }
  return Status::OK();
}

Status EntryResolver::DirectoryPath(uint64_t dirRef, std::string* path) {
  uint64_t generation;
  {
    MutexLock guard(&lock_);
    auto it = directoryPaths_.find(dirRef);
    if (it != directoryPaths_.end()) {
      *path = it->second;
      return Status::OK();
    }
    generation = pathGeneration_;
  }
  UniqueFd fd;
  Status opened = Open(dirRef, O_PATH | O_DIRECTORY, &fd);
  if (!opened.ok()) return opened;
  std::string found;
  Status read = PathOfDirectory(fd.get(), &found);
  if (!read.ok()) return read;
  CacheDirectoryPath(dirRef, found, generation);
  *path = std::move(found);
  return Status::OK();
}

Status EntryResolver::PathOfDirectory(int fd, std::string* path) {
  // The names below the deepest ancestor whose path can be read, deepest
  // first.
  std::vector<std::string> below;
  size_t belowBytes = 0;
  UniqueFd ancestor;
  int at = fd;
  while (true) {
    std::string found;
    Status read = ReadDescriptorPath(at, &found);
    if (read.ok()) {
      if (!IsLivePath(found)) return Status::NotFound("directory without a path");
      for (auto name = below.rbegin(); name != below.rend(); ++name) {
        found = Join(found, *name);
      }
      *path = std::move(found);
      return Status::OK();
    }
    if (read.error() != ENAMETOOLONG) return read;
    if (belowBytes > kLongestComposedPath) {
      return Status::NotFound("path too long to be built");
    }
    // Longer than a descriptor's path can be: one level up, and this
    // directory's name is the one its parent holds under its inode.
    struct statx st;
    Status statted = env_->StatAt(at, "", AT_EMPTY_PATH, STATX_INO, &st);
    if (!statted.ok()) return statted;
    uint64_t parentRef = 0;
    Status up = ReferenceAt(at, "..", &parentRef);
    if (up.code() == Status::Code::kMismatch) return Status::NotFound("no parent");
    if (!up.ok()) return up;
    UniqueFd parent;
    Status opened = Open(parentRef, O_RDONLY | O_DIRECTORY, &parent);
    if (!opened.ok()) return opened;
    std::string name;
    Status named = NameOfInode(parent.get(), st.stx_ino, &name);
    if (!named.ok()) return named;
    belowBytes += name.size() + 1;
    below.push_back(std::move(name));
    ancestor = std::move(parent);
    at = ancestor.get();
  }
}

Status EntryResolver::NameOfInode(int dirFd, uint64_t inode,
                                  std::string* name) const {
  std::vector<char> buffer(kNameSearchBuffer);
  while (true) {
    size_t got = 0;
    Status read = env_->ReadDirectory(dirFd, buffer.data(), buffer.size(), &got);
    if (!read.ok()) return read;
    if (got == 0) return Status::NotFound("no longer in its directory");
    // struct linux_dirent64: u64 ino, s64 off, u16 reclen, u8 type, name.
    for (size_t pos = 0; pos + 20 <= got;) {
      const char* entry = buffer.data() + pos;
      uint64_t ino;
      uint16_t reclen;
      std::memcpy(&ino, entry, sizeof ino);
      std::memcpy(&reclen, entry + 16, sizeof reclen);
      if (reclen < 20 || reclen > got - pos) break;
      pos += reclen;
      const char* found = entry + 19;
      size_t length = strnlen(found, reclen - 19u);
      if (ino != inode || length == reclen - 19u) continue;
      std::string_view text(found, length);
      if (text == "." || text == "..") continue;
      name->assign(text);
      return Status::OK();
    }
  }
}

Status EntryResolver::ReferenceBelow(uint64_t dirRef, const std::string& dirPath,
                                     std::string_view name, uint64_t* ref) const {
  std::string path = Join(dirPath, name);
  if (path.size() <= kLongestResolvedPath) {
    return ReferenceAt(AT_FDCWD, path.c_str(), ref);
  }
  UniqueFd dir;
  Status opened = Open(dirRef, O_PATH | O_DIRECTORY, &dir);
  if (!opened.ok()) return opened;
  return ReferenceAt(dir.get(), std::string(name).c_str(), ref);
}

void EntryResolver::CacheDirectoryPath(uint64_t dirRef, const std::string& path,
                                       uint64_t generation) {
  MutexLock guard(&lock_);
  // Found before the cache was last cleared: it may predate a rename.
  if (generation != pathGeneration_) return;
  if (directoryPaths_.size() >= kMaxCachedDirectories) directoryPaths_.clear();
  directoryPaths_[dirRef] = path;
}

uint64_t EntryResolver::PathGeneration() const {
  MutexLock guard(&lock_);
  return pathGeneration_;
}

void EntryResolver::ForgetDirectoryPaths() {
  MutexLock guard(&lock_);
  directoryPaths_.clear();
  ++pathGeneration_;
}

EntryResolver::Place EntryResolver::PlaceOfDirectory(uint64_t dirRef) {
  std::string path;
  Status found = DirectoryPath(dirRef, &path);
  if (!found.ok()) {
    return found.IsNotFound() ? Place::kUnknown : Place::kUnreadable;
  }
  return IsInside(path) ? Place::kInside : Place::kOutside;
}

bool EntryResolver::IsInside(std::string_view linuxPath) const {
  const std::string& dir = volumeDirectory_;
  if (dir == "/") return !linuxPath.empty() && linuxPath[0] == '/';
  if (linuxPath.substr(0, dir.size()) != dir) return false;
  return linuxPath.size() == dir.size() || linuxPath[dir.size()] == '/';
}

void EntryResolver::Remember(uint64_t ref, uint64_t parentRef,
                             std::string_view name) {
  MutexLock guard(&lock_);
  names_.Remember(ref, parentRef, name);
}

void EntryResolver::RememberAll(const std::vector<Sighting>& sightings) {
  MutexLock guard(&lock_);
  for (const Sighting& s : sightings) names_.Remember(s.ref, s.parentRef, s.name);
}

bool EntryResolver::Recall(uint64_t ref, uint64_t* parentRef,
                           std::string* name) const {
  MutexLock guard(&lock_);
  return names_.Recall(ref, parentRef, name);
}

void EntryResolver::ForgetAll(const std::vector<uint64_t>& refs) {
  if (refs.empty()) return;
  MutexLock guard(&lock_);
  for (uint64_t ref : refs) {
    names_.Forget(ref);
    directoryPaths_.erase(ref);
  }
}

Status EntryResolver::TryRememberedPlace(uint64_t ref, std::string* linuxPath,
                                         uint64_t* parentRef) {
  uint64_t parent = 0;
  std::string name;
  if (!Recall(ref, &parent, &name) || name.empty()) {
    return Status::NotFound("no remembered place");
  }
  // A cached directory path may be stale (a rename not read yet): on a
  // mismatch, resolve the directory afresh once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string dir;
    Status found = DirectoryPath(parent, &dir);
    if (!found.ok()) return found;
    uint64_t named = 0;
    Status at = ReferenceBelow(parent, dir, name, &named);
    if (at.ok() && named == ref) {
      *linuxPath = Join(dir, name);
      *parentRef = parent;
      return Status::OK();
    }
    if (!at.ok() && !at.IsNotFound() &&
        at.code() != Status::Code::kMismatch) {
      return at;
    }
    MutexLock guard(&lock_);
    directoryPaths_.erase(parent);
  }
  return Status::NotFound("the remembered place names another entry");
}

uint64_t EntryResolver::ParentOfPath(const std::string& linuxPath) const {
  size_t slash = linuxPath.rfind('/');
  if (slash == std::string::npos) return 0;
  std::string dir = slash == 0 ? std::string("/") : linuxPath.substr(0, slash);
  uint64_t ref = 0;
  return ReferenceOf(AT_FDCWD, dir.c_str(), &ref) ? ref : 0;
}

Status EntryResolver::Locate(uint64_t ref, int fd, bool directory,
                             std::string* linuxPath, uint64_t* parentRef) {
  if (directory) {
    uint64_t generation = PathGeneration();
    std::string own;
    Status read = PathOfDirectory(fd, &own);
    if (!read.ok()) return read;
    CacheDirectoryPath(ref, own, generation);
    if (ref == volumeRef_) {
      *parentRef = 0;
    } else if (own.size() <= kLongestResolvedPath) {
      *parentRef = ParentOfPath(own);
    } else if (!ReferenceOf(fd, "..", parentRef)) {
      *parentRef = 0;
    }
    *linuxPath = std::move(own);
    return Status::OK();
  }
  // A path found is checked to name the entry; one that does not was
  // overtaken by a rename while it was looked up, so look again. A lookup
  // that failed (rather than found nothing) is reported as such when no
  // other way found the path.
  Status failure = Status::NotFound("no path to be had");
  for (int attempt = 0; attempt < kLocateAttempts; ++attempt) {
    Status remembered = TryRememberedPlace(ref, linuxPath, parentRef);
    if (remembered.ok()) return remembered;
    if (!remembered.IsNotFound()) failure = remembered;
    std::string own;
    Status read = ReadDescriptorPath(fd, &own);
    // A file deeper than a descriptor's path can be has its path only from
    // its remembered place.
    if (!read.ok() && read.error() == ENAMETOOLONG) return failure;
    if (!read.ok()) return read;
    // A disconnected dentry reads as "/": no path to be had from it.
    if (!IsLivePath(own) || own == "/") return failure;
    uint64_t found = 0;
    Status at = ReferenceAt(AT_FDCWD, own.c_str(), &found);
    if (!at.ok() && !at.IsNotFound() && at.code() != Status::Code::kMismatch) {
      failure = at;
      continue;
    }
    if (!at.ok() || found != ref) continue;
    *parentRef = ParentOfPath(own);
    size_t slash = own.rfind('/');
    Remember(ref, *parentRef, std::string_view(own).substr(slash + 1));
    *linuxPath = std::move(own);
    return Status::OK();
  }
  return failure;
}

std::string EntryResolver::WindowsForm(std::string_view linuxPath) const {
  std::string out = "\\\\?\\";
  if (IsInside(linuxPath)) {
    out += letter_;
    out += ':';
    std::string_view rest = linuxPath.substr(
        volumeDirectory_ == "/" ? 0 : volumeDirectory_.size());
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    if (rest.empty()) return out;
    // A backslash inside a name would read as a separator: such an entry
    // keeps its Linux form, which lies below no task's root.
    if (rest.find('\\') != std::string_view::npos) {
      return "\\\\?\\" + std::string(linuxPath);
    }
    out += '\\';
    for (char c : rest) out += c == '/' ? '\\' : c;
    return out;
  }
  std::string mapped;
  if (drives_.ToWindowsPath(linuxPath, &mapped)) return mapped;
  out += linuxPath;
  return out;
}

}  // namespace dirsync
