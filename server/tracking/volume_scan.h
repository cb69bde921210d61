// What a full scan of a volume collects for the initial build: every
// directory and every entry it met, by file reference number. Owned by the
// volume's monitor thread while it scans; emptied by the initial build.
#ifndef DIRSYNC_TRACKING_VOLUME_SCAN_H_
#define DIRSYNC_TRACKING_VOLUME_SCAN_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tracking/scan_nodes.h"

namespace dirsync {

// A directory seen by a full scan.
struct DirNode {
  uint64_t parentRef = 0;
  DirNode* parent = nullptr;  // filled on first use
  std::string name;           // the directory's own name
  std::string path;           // full path once computed; empty until then
};

// An entry (file or directory) seen by a full scan.
struct FileNode {
  uint64_t parentRef = 0;
  std::string name;
  int32_t state = 0;  // 1 file, 2 file seen again, 6 directory, -1 deleted
  // Size and times as the walk read them, when it did (hasAttributes).
  bool hasAttributes = false;
  uint64_t fileSize = 0;
  uint64_t creationTime = 0;
  uint64_t lastWriteTime = 0;
  uint32_t mode = 0;
  // Further places (parent, name) where the scan met the same file: names
  // of a file with several, or a place it was renamed from meanwhile.
  std::vector<std::pair<uint64_t, std::string>> otherNames;
};

struct VolumeScan {
  std::unordered_map<uint64_t, DirNode> dirNodes;
  ScanNodes<FileNode> fileNodes;
  // Set when the scan or the build could not see or look up everything
  // (a directory that could not be read, an entry whose size could not be
  // had): what it missed is left out, never made up, and a catch-up walk
  // follows.
  bool incomplete = false;
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_VOLUME_SCAN_H_
