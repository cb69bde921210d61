#include "tracking/entry_file_opener.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <climits>
#include <cerrno>
#include <string>

#include "journal/file_handle.h"
#include "platform/file_io.h"

namespace dirsync {

Status EntryFileOpener::OpenBeneath(const SyncTask& task,
                                    std::string_view relativeName,
                                    uint64_t flags, UniqueFd* fd,
                                    struct stat* st) {
  std::string rootDir;
  if (!drives_.ToLinuxPath(task.rootPath, &rootDir)) {
    return Status::NotFound("root " + task.rootPath, ENOENT);
  }
  UniqueFd root;
  Status opened = OpenFile(rootDir, O_PATH | O_DIRECTORY, 0, &root);
  if (!opened.ok()) return opened;

  std::string relative(relativeName);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  struct open_how how = {};
  how.flags = flags | O_CLOEXEC;
  // The catalog records a symbolic link as an entry of its own (its size
  // is that of its target text), never what it points to: serving the
  // target would hand out content of another size and version than the
  // record the client asks by. With O_PATH | O_NOFOLLOW a link at the end
  // of the path is opened itself; links on the way fail.
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  UniqueFd file(static_cast<int>(RetryOnEintr([&] {
    return ::syscall(SYS_openat2, root.get(), relative.c_str(), &how, sizeof how);
  })));
  if (!file.valid()) return Status::FromErrno("open " + relative, errno);
  if (::fstat(file.get(), st) != 0) {
    return Status::FromErrno("fstat " + relative, errno);
  }
  *fd = std::move(file);
  return Status::OK();
}

Status EntryFileOpener::CheckIdentity(const struct stat& st, uint64_t fileRef,
                                      std::string_view relativeName) const {
  if (checkIdentity_ &&
      static_cast<uint32_t>(st.st_ino) != InodeOfReference(fileRef)) {
    return Status::Mismatch(std::string(relativeName) + " is another entry now");
  }
  return Status::OK();
}

Status EntryFileOpener::OpenForRead(const SyncTask& task, uint64_t fileRef,
                                    std::string_view relativeName,
                                    UniqueFd* fd) {
  UniqueFd file;
  struct stat st;
  Status opened = OpenBeneath(task, relativeName,
                              O_RDONLY | O_NOCTTY | O_NONBLOCK, &file, &st);
  if (!opened.ok()) return opened;
  if (!S_ISREG(st.st_mode)) {
    return Status::IOError("open " + std::string(relativeName),
                           S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  Status same = CheckIdentity(st, fileRef, relativeName);
  if (!same.ok()) return same;
  *fd = std::move(file);
  return Status::OK();
}

Status EntryFileOpener::ReadLink(const SyncTask& task, uint64_t fileRef,
                                 std::string_view relativeName,
                                 std::string* target) {
  UniqueFd link;
  struct stat st;
  Status opened = OpenBeneath(task, relativeName, O_PATH | O_NOFOLLOW, &link, &st);
  if (!opened.ok()) return opened;
  if (!S_ISLNK(st.st_mode)) {
    return Status::IOError("readlink " + std::string(relativeName),
                           S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  Status same = CheckIdentity(st, fileRef, relativeName);
  if (!same.ok()) return same;
  // A target text is at most PATH_MAX bytes; one more shows a cut one.
  std::string text(PATH_MAX + 1, '\0');
  ssize_t n = ::readlinkat(link.get(), "", text.data(), text.size());
  if (n < 0) {
    return Status::FromErrno("readlink " + std::string(relativeName), errno);
  }
  if (static_cast<size_t>(n) >= text.size()) {
    return Status::IOError("readlink " + std::string(relativeName), ENAMETOOLONG);
  }
  text.resize(static_cast<size_t>(n));
  *target = std::move(text);
  return Status::OK();
}

}  // namespace dirsync
