// Helpers for tests of the journal layer and the journal monitor: private
// directory trees under /tmp, a drive letter mapped to them, and changes
// made from another process (the layer drops the test process's own
// events).
#ifndef DIRSYNC_TESTS_TRACKING_JOURNAL_TEST_UTIL_H_
#define DIRSYNC_TESTS_TRACKING_JOURNAL_TEST_UTIL_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dirsync::testing {

// A fresh directory under base (default /tmp), removed with all its
// contents when the object goes.
class TempTree {
 public:
  explicit TempTree(const std::string& base = "/tmp");
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

// Runs the tree_writer program on the given script lines; returns its exit
// status (0 when every command succeeded). Failures are printed.
int RunWriter(const std::vector<std::string>& lines);

// Empty when this process may use fanotify and open_by_handle_at, else the
// reason (tests skip with it).
std::string JournalUnavailableReason();

// The file reference of a path (its file handle packed into 64 bits as the
// journal layer does), or 0.
uint64_t ReferenceOfPath(const std::string& path);
// The same for the entry an open descriptor refers to.
uint64_t ReferenceOfDescriptor(int fd);

// Writes a file directly from the test process.
void WriteFile(const std::string& path, const std::string& contents);

}  // namespace dirsync::testing

#endif  // DIRSYNC_TESTS_TRACKING_JOURNAL_TEST_UTIL_H_
