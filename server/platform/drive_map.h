// Drive letters on Linux. A task path such as "D:\Share\Docs" names a drive
// letter and a path on that drive; the [drives] section of dirsync.ini maps
// a letter to a Linux directory ("D = /srv/share"), and a letter without a
// mapping stands for "/mnt/" followed by the lower-case letter.
//
// This is the one module that converts between the Windows form the
// catalog logic works with and Linux paths; nothing above it sees a Linux
// path.
#ifndef DIRSYNC_PLATFORM_DRIVE_MAP_H_
#define DIRSYNC_PLATFORM_DRIVE_MAP_H_

#include <string>
#include <string_view>

#include "platform/profile_file.h"

namespace dirsync {

// Built by the configuration load on the main thread before other threads
// start; read-only (and so thread safe) afterwards.
class DriveMap {
 public:
  DriveMap();

  // Maps letter (either case) to directory, an absolute Linux path.
  // Trailing slashes are dropped (the filesystem root stays "/"). Returns
  // false, changing nothing, when letter is not an ASCII letter or
  // directory does not begin with '/' (an empty or relative directory would
  // otherwise claim paths that lie elsewhere).
  bool Set(char letter, std::string directory);

  // The directory a letter stands for: its mapping, or "/mnt/<letter>".
  // Empty for a character that is not an ASCII letter.
  std::string DirectoryOf(char letter) const;

  // Converts a Windows-form path ("D:\SHARE\DOCS\a.txt" or the final-path
  // form "\\?\D:\...") to the Linux path it names. Both '\' and '/'
  // separate components, as on Windows. Each component is
  // resolved without regard to ASCII letter case when no exact match
  // exists on disk, as NTFS names behave; components that do not exist are
  // kept as given. Returns false when the path does not begin with a drive
  // letter and a colon.
  bool ToLinuxPath(std::string_view windowsPath, std::string* linuxPath) const;

  // Converts a Linux path inside a mapped directory (or the directory
  // itself) to the final-path form "\\?\D:\..." with the on-disk letter
  // case kept. The directory of a drive converts to "\\?\D:\". Returns
  // false when the path lies in no drive's directory. When directories
  // nest, the longest match wins.
  bool ToWindowsPath(std::string_view linuxPath, std::string* windowsPath) const;

 private:
  std::string directories_[26];
  bool explicit_[26] = {};
};

// Sets the mappings of the [drives] section of profile into map: each key
// is a drive letter (either case), each value a Linux directory. A key
// that is not a single letter, or a value that is not an absolute path, is
// skipped with a log line. Returns the number of mappings set. Main thread,
// at start-up.
int LoadDriveSection(const ProfileFile& profile, DriveMap* map);

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_DRIVE_MAP_H_
