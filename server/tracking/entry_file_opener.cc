#include "tracking/entry_file_opener.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <string>

#include "journal/file_handle.h"
#include "platform/file_io.h"

namespace dirsync {

Status EntryFileOpener::OpenForRead(const SyncTask& task, uint64_t fileRef,
                                    std::string_view relativeName,
                                    UniqueFd* fd) {
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
  how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  // The catalog records a symbolic link as an entry of its own (its size
  // is that of the link), never what it points to: serving the target
  // would hand out content of another size and version than the record
  // the client asks by.
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  UniqueFd file(static_cast<int>(RetryOnEintr([&] {
    return ::syscall(SYS_openat2, root.get(), relative.c_str(), &how, sizeof how);
  })));
  if (!file.valid()) return Status::FromErrno("open " + relative, errno);
  struct stat st;
  if (::fstat(file.get(), &st) != 0) {
    return Status::FromErrno("fstat " + relative, errno);
  }
  if (!S_ISREG(st.st_mode)) {
    return Status::IOError("open " + relative,
                           S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  if (checkIdentity_ &&
      static_cast<uint32_t>(st.st_ino) != InodeOfReference(fileRef)) {
    return Status::Mismatch(relative + " is another entry now");
  }
  *fd = std::move(file);
  return Status::OK();
}

}  // namespace dirsync
