// Changes a directory tree as a test script says, from a process of its
// own: the journal layer drops the events of the server's own process, so
// tests change their trees through this program.
//
//   tree_writer SCRIPT      one command per line, paths as given
//
// Commands: mkdir P | rmdir P | write P N (create or truncate, N bytes) |
// append P N | writes P K (K separate open-write-close rounds) |
// rename A B | unlink P | link A B | symlink TARGET P | chmod P MODE(octal) |
// sleepms N. Exits 1 at the first command that fails, naming it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

bool WriteBytes(const std::string& path, long count, int flags) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | flags, 0644);
  if (fd < 0) return false;
  std::vector<char> bytes(static_cast<size_t>(count), 'x');
  bool ok = count == 0 ||
            ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(count);
  return ::close(fd) == 0 && ok;
}

bool Run(const std::string& line) {
  std::istringstream in(line);
  std::string op, a, b;
  in >> op >> a >> b;
  if (op.empty() || op[0] == '#') return true;
  if (op == "mkdir") return ::mkdir(a.c_str(), 0755) == 0;
  if (op == "rmdir") return ::rmdir(a.c_str()) == 0;
  if (op == "write") return WriteBytes(a, std::atol(b.c_str()), O_TRUNC);
  if (op == "append") return WriteBytes(a, std::atol(b.c_str()), O_APPEND);
  if (op == "writes") {
    for (long i = 0; i < std::atol(b.c_str()); ++i) {
      if (!WriteBytes(a, 1, O_APPEND)) return false;
    }
    return true;
  }
  if (op == "rename") return ::rename(a.c_str(), b.c_str()) == 0;
  if (op == "unlink") return ::unlink(a.c_str()) == 0;
  if (op == "link") return ::link(a.c_str(), b.c_str()) == 0;
  if (op == "symlink") return ::symlink(a.c_str(), b.c_str()) == 0;
  if (op == "chmod") {
    return ::chmod(a.c_str(), static_cast<mode_t>(std::strtol(b.c_str(), nullptr, 8))) == 0;
  }
  if (op == "sleepms") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(a.c_str())));
    return true;
  }
  errno = EINVAL;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tree_writer SCRIPT\n");
    return 2;
  }
  std::ifstream script(argv[1]);
  if (!script) {
    std::fprintf(stderr, "tree_writer: cannot read %s\n", argv[1]);
    return 2;
  }
  std::string line;
  int number = 0;
  while (std::getline(script, line)) {
    ++number;
    if (!Run(line)) {
      std::fprintf(stderr, "tree_writer: line %d \"%s\": %s\n", number,
                   line.c_str(), std::strerror(errno));
      return 1;
    }
  }
  return 0;
}
