// EntryFiles: opens the file behind a catalog entry, for serving its
// contents. The catalog knows entries by task and relative name; where a
// task's root lies on disk and how a file reference names a file belong
// to the layers above, which implement this.
#ifndef DIRSYNC_CATALOG_ENTRY_FILES_H_
#define DIRSYNC_CATALOG_ENTRY_FILES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "catalog/sync_task.h"
#include "platform/status.h"
#include "platform/unique_fd.h"

namespace dirsync {

class EntryFiles {
 public:
  virtual ~EntryFiles() = default;

  // Opens for reading the regular file at relativeName below task's root,
  // which must be the entry fileRef itself. Fails with kMismatch when
  // another file stands there now, with the system's error when the file
  // cannot be opened (EISDIR, EINVAL for what is not a regular file), and
  // with kNotFound when the root cannot be placed. Thread safe.
  virtual Status OpenForRead(const SyncTask& task, uint64_t fileRef,
                             std::string_view relativeName, UniqueFd* fd) = 0;

  // Reads the target text of the symbolic link at relativeName below
  // task's root, which must be the entry fileRef itself, without following
  // it or any link on the way. Fails like OpenForRead (EINVAL when what
  // stands there is no symbolic link). Thread safe.
  virtual Status ReadLink(const SyncTask& task, uint64_t fileRef,
                          std::string_view relativeName,
                          std::string* target) = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_ENTRY_FILES_H_
