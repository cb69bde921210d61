#include "journal/journal_test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/fanotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "journal/file_handle.h"

extern char** environ;

namespace dirsync::testing {

TempTree::TempTree(const std::string& base) {
  std::string pattern = base + "/dirsync-journal-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = buffer.data();
}

TempTree::~TempTree() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempTree::operator/(const std::string& relative) const {
  return path_ + "/" + relative;
}

int RunWriter(const std::vector<std::string>& lines) {
  char scriptPath[] = "/tmp/dirsync-writer-script-XXXXXX";
  int fd = ::mkstemp(scriptPath);
  if (fd < 0) return -1;
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  ssize_t written = ::write(fd, text.data(), text.size());
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size())) return -1;

  char* argv[] = {const_cast<char*>(DIRSYNC_TREE_WRITER), scriptPath, nullptr};
  pid_t pid = 0;
  int status = -1;
  if (::posix_spawn(&pid, DIRSYNC_TREE_WRITER, nullptr, nullptr, argv,
                    environ) == 0) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ::unlink(scriptPath);
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string JournalUnavailableReason() {
  int fd = ::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME_TARGET, O_RDONLY);
  if (fd < 0) {
    return std::string("fanotify is not permitted here: ") + std::strerror(errno);
  }
  ::close(fd);
  return {};
}

uint64_t ReferenceOfPath(const std::string& path) {
  int dir = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return 0;
  uint64_t ref = ReferenceOfDescriptor(dir);
  ::close(dir);
  return ref;
}

uint64_t ReferenceOfDescriptor(int dir) {
  FileHandleCodec codec;
  uint64_t ref = 0;
  FileHandleBuffer handle;
  int mountId = 0;
  if (codec.Learn(dir).ok() &&
      ::name_to_handle_at(dir, "", handle.get(), &mountId, AT_EMPTY_PATH) == 0) {
    codec.Pack(*handle.get(), &ref);
  }
  return ref;
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

}  // namespace dirsync::testing
