// What a directory tree holds, for comparing a mirror with the original:
// every directory and file below the top by relative path ('/'-separated),
// with each file's size and a CRC-32 of its contents. Symbolic links and
// other kinds of entry are left out.
#ifndef DIRSYNC_TESTS_E2E_TREE_SNAPSHOT_H_
#define DIRSYNC_TESTS_E2E_TREE_SNAPSHOT_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace dirsync::e2e {

struct TreeItem {
  bool directory = false;
  uint64_t size = 0;
  uint32_t crc = 0;
  bool operator==(const TreeItem&) const = default;
};

using TreeSnapshot = std::map<std::string, TreeItem>;

// Reads the tree below top, leaving out the relative paths in leaveOut
// ('/'-separated, letter case ignored) with everything below them: the
// client's own state folder, or the task's excluded paths. Entries that
// vanish while read are left out.
TreeSnapshot TakeSnapshot(const std::string& top,
                          const std::vector<std::string>& leaveOut = {});

// The differences of actual against expected, one line per path ("missing",
// "unexpected", "differs": sizes and sums), at most maxLines of them and a
// count of the rest; empty when equal.
std::string DescribeDifferences(const TreeSnapshot& expected,
                                const TreeSnapshot& actual,
                                size_t maxLines = 40);

}  // namespace dirsync::e2e

#endif  // DIRSYNC_TESTS_E2E_TREE_SNAPSHOT_H_
