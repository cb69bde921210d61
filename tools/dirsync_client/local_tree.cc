#include "local_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <vector>

#include "file_time.h"
#include "local_path.h"

namespace dsclient_tool {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

LocalTree::LocalTree(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string LocalTree::Full(std::string_view relative) const {
  if (relative.empty()) return root_;
  return root_ + "/" + std::string(relative);
}

LocalTree::Kind LocalTree::KindOf(std::string_view relative) const {
  struct stat st;
  if (::lstat(Full(relative).c_str(), &st) != 0) return Kind::kMissing;
  if (S_ISREG(st.st_mode)) return Kind::kFile;
  if (S_ISDIR(st.st_mode)) return Kind::kDirectory;
  if (S_ISLNK(st.st_mode)) return Kind::kLink;
  return Kind::kOther;
}

bool LocalTree::AncestorsAreDirectories(std::string_view relative) const {
  size_t slash = relative.find('/');
  while (slash != std::string_view::npos) {
    Kind kind = KindOf(relative.substr(0, slash));
    if (kind == Kind::kMissing) return true;
    if (kind != Kind::kDirectory) return false;
    slash = relative.find('/', slash + 1);
  }
  return true;
}

bool LocalTree::MakeParents(std::string_view relative, std::string* error) {
  std::string parent = ParentOf(relative);
  if (parent.empty()) return true;
  return MakeDirectory(parent, error);
}

bool LocalTree::MakeDirectory(std::string_view relative, std::string* error) {
  size_t end = 0;
  while (end != std::string_view::npos) {
    end = relative.find('/', end + 1);
    std::string_view part =
        end == std::string_view::npos ? relative : relative.substr(0, end);
    std::string full = Full(part);
    Kind kind = KindOf(part);
    if (kind == Kind::kDirectory) continue;
    if (kind != Kind::kMissing && ::unlink(full.c_str()) != 0) {
      *error = ErrnoText("cannot remove", full);
      return false;
    }
    if (::mkdir(full.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = ErrnoText("cannot create directory", full);
      return false;
    }
  }
  return true;
}

bool LocalTree::Move(std::string_view from, std::string_view to,
                     std::string* error) {
  if (!AncestorsAreDirectories(from)) {
    *error = "a link or file stands in the path " + Full(from);
    return false;
  }
  if (!MakeParents(to, error)) return false;
  if (KindOf(from) != Kind::kDirectory && KindOf(to) == Kind::kDirectory &&
      !RemoveTree(to, error)) {
    return false;
  }
  if (::rename(Full(from).c_str(), Full(to).c_str()) != 0) {
    *error = ErrnoText("cannot rename " + Full(from) + " to", Full(to));
    return false;
  }
  return true;
}

bool LocalTree::RemoveFile(std::string_view relative, std::string* error) {
  if (!AncestorsAreDirectories(relative)) return true;  // nothing of ours there
  Kind kind = KindOf(relative);
  if (kind == Kind::kMissing || kind == Kind::kDirectory) return true;
  if (::unlink(Full(relative).c_str()) != 0 && errno != ENOENT) {
    *error = ErrnoText("cannot remove", Full(relative));
    return false;
  }
  return true;
}

bool LocalTree::RemoveTree(std::string_view relative, std::string* error) {
  if (relative.empty() || !AncestorsAreDirectories(relative)) return true;
  std::error_code ec;
  fs::remove_all(Full(relative), ec);  // does not follow links
  if (ec) {
    *error = "cannot remove " + Full(relative) + ": " + ec.message();
    return false;
  }
  return true;
}

bool LocalTree::RemoveTreeExcept(
    std::string_view relative, const std::function<Keep(const std::string&)>& keep,
    std::string* error) {
  if (relative.empty() || !AncestorsAreDirectories(relative)) return true;
  if (KindOf(relative) != Kind::kDirectory) return RemoveFile(relative, error);
  std::vector<std::string> names;
  std::error_code ec;
  for (const fs::directory_entry& child : fs::directory_iterator(Full(relative), ec)) {
    names.push_back(child.path().filename().string());
  }
  if (ec) {
    *error = "cannot read " + Full(relative) + ": " + ec.message();
    return false;
  }
  bool ok = true;
  for (const std::string& name : names) {
    std::string child = std::string(relative) + "/" + name;
    switch (keep(child)) {
      case Keep::kKeep:
        break;
      case Keep::kDescend:
        ok = RemoveTreeExcept(child, keep, error) && ok;
        break;
      case Keep::kRemove:
        ok = (KindOf(child) == Kind::kDirectory ? RemoveTree(child, error)
                                                : RemoveFile(child, error)) && ok;
        break;
    }
  }
  // Whatever stays keeps the directory (rmdir refuses a non-empty one).
  ::rmdir(Full(relative).c_str());
  return ok;
}

void LocalTree::RemoveEmptyParents(
    std::string_view relative,
    const std::function<bool(const std::string&)>& keep) {
  std::string parent = ParentOf(relative);
  while (!parent.empty()) {
    if (keep(parent) || !AncestorsAreDirectories(parent)) return;
    if (KindOf(parent) != Kind::kDirectory) return;
    if (::rmdir(Full(parent).c_str()) != 0) return;  // not empty
    parent = ParentOf(parent);
  }
}

bool LocalTree::ClearAllBut(std::string_view keepName, std::string* error) {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(root_, ec)) {
    if (entry.path().filename() == keepName) continue;
    fs::remove_all(entry.path(), ec);
    if (ec) {
      *error = "cannot remove " + entry.path().string() + ": " + ec.message();
      return false;
    }
  }
  if (ec) {
    *error = "cannot read " + root_ + ": " + ec.message();
    return false;
  }
  return true;
}

bool LocalTree::SetModificationTime(std::string_view relative, uint64_t fileTime) {
  struct timespec times[2];
  if (!FileTimeToTimespec(fileTime, &times[1])) return true;
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  if (!AncestorsAreDirectories(relative)) return false;
  return ::utimensat(AT_FDCWD, Full(relative).c_str(), times,
                     AT_SYMLINK_NOFOLLOW) == 0;
}

namespace {

// Sets the bits on what path names, once it proves of the type wanted:
// opened without following a link and without blocking on a FIFO.
bool ChmodIf(const std::string& path, mode_t type, uint32_t permissions) {
  int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == type;
  if (ok) {
    std::string viaFd = "/proc/self/fd/" + std::to_string(fd);
    ok = ::chmod(viaFd.c_str(), static_cast<mode_t>(permissions & 0777)) == 0;
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool LocalTree::SetPermissions(std::string_view relative, uint32_t permissions) {
  if (!AncestorsAreDirectories(relative)) return false;
  return ChmodIf(Full(relative), S_IFREG, permissions);
}

bool LocalTree::SetDirectoryPermissions(std::string_view relative, uint32_t permissions) {
  if (!AncestorsAreDirectories(relative)) return false;
  return ChmodIf(Full(relative), S_IFDIR, permissions);
}

bool LocalTree::ReadLink(std::string_view relative, std::string* target) const {
  if (!AncestorsAreDirectories(relative)) return false;
  std::string text(PATH_MAX + 1, '\0');
  ssize_t n = ::readlink(Full(relative).c_str(), text.data(), text.size());
  if (n < 0 || static_cast<size_t>(n) >= text.size()) return false;
  text.resize(static_cast<size_t>(n));
  *target = std::move(text);
  return true;
}

}  // namespace dsclient_tool
