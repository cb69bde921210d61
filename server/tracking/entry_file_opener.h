// EntryFileOpener: the server's EntryFiles. A task's root is placed on
// disk by the drive map; the entry's relative name is resolved strictly
// below it with openat2 and RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS, so no
// symbolic link is followed, at the end of the path or on the way; only
// regular files are opened, and without blocking, so that a FIFO cannot
// stall the caller. A symbolic link's target text is read from the link
// itself (an O_PATH descriptor of the link, never of what it points to).
//
// The file opened by the entry's name must be the entry itself (the inode
// its file reference names): while the catalog waits for a batch, another
// file may stand at the entry's recorded path, and its bytes must not go
// out under the entry's version.
#ifndef DIRSYNC_TRACKING_ENTRY_FILE_OPENER_H_
#define DIRSYNC_TRACKING_ENTRY_FILE_OPENER_H_

#include <sys/stat.h>

#include "catalog/entry_files.h"
#include "platform/drive_map.h"

namespace dirsync {

class EntryFileOpener : public EntryFiles {
 public:
  // drives must outlive the opener. Without checkIdentity any file at the
  // entry's path is taken as the entry (for catalogs made up by hand, whose
  // references name no real file).
  explicit EntryFileOpener(const DriveMap& drives, bool checkIdentity = true)
      : drives_(drives), checkIdentity_(checkIdentity) {}

  Status OpenForRead(const SyncTask& task, uint64_t fileRef,
                     std::string_view relativeName, UniqueFd* fd) override;
  Status ReadLink(const SyncTask& task, uint64_t fileRef,
                  std::string_view relativeName, std::string* target) override;

 private:
  // Opens relativeName below task's root with openat2 (flags, no link
  // followed on the way) and stats what it opened.
  Status OpenBeneath(const SyncTask& task, std::string_view relativeName,
                     uint64_t flags, UniqueFd* fd, struct stat* st);
  // kMismatch when what was opened is not the entry fileRef.
  Status CheckIdentity(const struct stat& st, uint64_t fileRef,
                       std::string_view relativeName) const;

  const DriveMap& drives_;
  const bool checkIdentity_;
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_ENTRY_FILE_OPENER_H_
