#include "e2e/random_writer.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace dirsync::e2e {
namespace {

namespace fs = std::filesystem;

constexpr size_t kRecentKept = 40;
constexpr int kDeepest = 4;  // directory levels below the root

std::string Parent(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}
std::string Name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}
bool IsWithin(const std::string& path, const std::string& dir) {
  return path == dir ||
         (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
          path[dir.size()] == '/');
}

}  // namespace

RandomWriter::RandomWriter(std::string root, std::string away, uint32_t seed)
    : root_(std::move(root)), away_(std::move(away)), seed_(seed), rng_(seed) {}

bool RandomWriter::Chance(int in, int of) {
  return std::uniform_int_distribution<int>(1, of)(rng_) <= in;
}

int RandomWriter::Number(int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(rng_);
}

const std::string& RandomWriter::Pick(const std::vector<std::string>& from) {
  return from[static_cast<size_t>(Number(0, static_cast<int>(from.size()) - 1))];
}

RandomWriter::Listing RandomWriter::List() const {
  Listing listing;
  auto walk = [](const std::string& top, std::vector<std::string>* dirs,
                 std::vector<std::string>* files) {
    dirs->push_back(top);
    std::error_code ec;
    for (fs::recursive_directory_iterator it(top, ec), end; !ec && it != end;
         it.increment(ec)) {
      fs::file_status status = it->symlink_status(ec);
      if (ec) break;
      if (fs::is_directory(status)) {
        dirs->push_back(it->path().string());
      } else {
        files->push_back(it->path().string());
      }
    }
    // Directory order is the filesystem's; sorting keeps a seed's choices
    // the same from run to run.
    std::sort(dirs->begin() + 1, dirs->end());
    std::sort(files->begin(), files->end());
  };
  walk(root_, &listing.rootDirs, &listing.rootFiles);
  walk(away_, &listing.awayDirs, &listing.awayFiles);
  return listing;
}

std::string RandomWriter::FreeName(const std::string& dir, const char* prefix) {
  for (int attempt = 0;; ++attempt) {
    std::string name = prefix + std::to_string(Number(0, 40 + attempt));
    // Now and then a blank or a letter beyond ASCII (UTF-8) in the name.
    if (Chance(1, 12)) name += Chance(1, 2) ? " x" : "\xc3\xa9";
    bool taken = false;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      if (::strcasecmp(it->path().filename().c_str(), name.c_str()) == 0) {
        taken = true;
        break;
      }
    }
    if (!taken) return name;
  }
}

std::string RandomWriter::RandomBytes(size_t size) {
  std::string bytes(size, '\0');
  // Text-like runs compress; random runs do not: both kinds of download.
  bool text = Chance(1, 2);
  for (char& c : bytes) {
    c = text ? static_cast<char>('a' + Number(0, 25))
             : static_cast<char>(Number(0, 255));
  }
  return bytes;
}

size_t RandomWriter::RandomSize() {
  // Mostly small; sometimes empty; rarely beyond one 4 MiB download range.
  if (Chance(1, 300)) return static_cast<size_t>(Number(4 << 20, 5 << 20));
  if (Chance(1, 15)) return 0;
  if (Chance(1, 10)) return static_cast<size_t>(Number(64 << 10, 600 << 10));
  return static_cast<size_t>(Number(1, 16 << 10));
}

int RandomWriter::Depth(const std::string& path) const {
  const std::string& top = IsWithin(path, root_) ? root_ : away_;
  return static_cast<int>(std::count(path.begin() + static_cast<long>(top.size()),
                                     path.end(), '/'));
}

void RandomWriter::Note(const std::string& what) {
  ++operations_;
  ++kinds_[what.substr(0, what.find(' ', what.rfind("change", 0) == 0 ? 7 : 0))];
  recent_.push_back(std::to_string(operations_) + ": " + what);
  if (recent_.size() > kRecentKept) recent_.pop_front();
}

std::string RandomWriter::RecentOperations() const {
  std::ostringstream out;
  for (const std::string& line : recent_) out << "  " << line << "\n";
  return out.str();
}

std::string RandomWriter::Summary() const {
  std::string out;
  for (const auto& [kind, count] : kinds_) {
    out += (out.empty() ? "" : ", ") + kind + " " + std::to_string(count);
  }
  return out;
}

int RandomWriter::PauseMs(int quietMs) {
  if (Chance(1, 40)) return quietMs + Number(20, quietMs);
  return Chance(1, 3) ? 0 : Number(1, 12);
}

void RandomWriter::Populate(int count) {
  // One file larger than a download range (4 MiB), which the writer may
  // change later like any other.
  std::string big = root_ + "/" + FreeName(root_, "f");
  int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    std::string bytes = RandomBytes((4 << 20) + 100000);
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    (void)n;
    ::close(fd);
    Note("create " + big + " (" + std::to_string(bytes.size()) + " bytes)");
  }
  for (int i = 0; i < count; ++i) {
    Listing l = List();
    if (Chance(1, 4)) {
      MakeDirectory(Pick(l.rootDirs));
    } else if (Chance(1, 6)) {
      CreateFile(Pick(l.awayDirs));
    } else {
      CreateFile(Pick(l.rootDirs));
    }
  }
}

void RandomWriter::Step() {
  Listing l = List();
  std::vector<std::string> rootSubdirs(l.rootDirs.begin() + 1, l.rootDirs.end());
  std::vector<std::string> awaySubdirs(l.awayDirs.begin() + 1, l.awayDirs.end());
  std::vector<std::string> anyFiles = l.rootFiles;
  anyFiles.insert(anyFiles.end(), l.awayFiles.begin(), l.awayFiles.end());

  int roll = Number(1, 100);
  if ((roll -= 14) <= 0) {
    CreateFile(Chance(1, 8) ? Pick(l.awayDirs) : Pick(l.rootDirs));
  } else if ((roll -= 10) <= 0) {
    if (!anyFiles.empty()) WriteInPlace(Pick(Chance(1, 6) ? anyFiles : l.rootFiles.empty() ? anyFiles : l.rootFiles));
  } else if ((roll -= 8) <= 0) {
    if (!l.rootFiles.empty()) Append(Pick(l.rootFiles));
  } else if ((roll -= 5) <= 0) {
    if (!l.rootFiles.empty()) Truncate(Pick(l.rootFiles));
  } else if ((roll -= 6) <= 0) {
    if (!l.rootFiles.empty()) RenameWithin(Pick(l.rootFiles));
  } else if ((roll -= 6) <= 0) {
    if (!l.rootFiles.empty()) MoveTo(Pick(l.rootFiles), Pick(l.rootDirs));
  } else if ((roll -= 3) <= 0) {
    if (!l.rootFiles.empty()) MoveTo(Pick(l.rootFiles), Pick(l.awayDirs));
  } else if ((roll -= 5) <= 0) {
    if (!l.awayFiles.empty()) MoveTo(Pick(l.awayFiles), Pick(l.rootDirs));
  } else if ((roll -= 3) <= 0) {
    if (l.rootFiles.size() >= 2) {
      const std::string& from = Pick(anyFiles);
      const std::string& onto = Pick(l.rootFiles);
      if (from != onto) ReplaceFile(from, onto);
    }
  } else if ((roll -= 7) <= 0) {
    if (!anyFiles.empty()) Delete(Pick(anyFiles));
  } else if ((roll -= 7) <= 0) {
    MakeDirectory(Chance(1, 5) ? Pick(l.awayDirs) : Pick(l.rootDirs));
  } else if ((roll -= 3) <= 0) {
    if (!rootSubdirs.empty()) RemoveDirectory(Pick(rootSubdirs));
  } else if ((roll -= 3) <= 0) {
    if (!rootSubdirs.empty()) RenameWithin(Pick(rootSubdirs));
  } else if ((roll -= 3) <= 0) {
    if (!rootSubdirs.empty()) MoveTo(Pick(rootSubdirs), Pick(l.rootDirs));
  } else if ((roll -= 3) <= 0) {
    if (!rootSubdirs.empty() && l.rootFiles.size() > 25) {
      MoveTo(Pick(rootSubdirs), Pick(l.awayDirs));
    }
  } else if ((roll -= 4) <= 0) {
    if (!awaySubdirs.empty()) MoveTo(Pick(awaySubdirs), Pick(l.rootDirs));
  } else if ((roll -= 2) <= 0) {
    std::vector<std::string> all = l.rootFiles;
    all.insert(all.end(), rootSubdirs.begin(), rootSubdirs.end());
    if (!all.empty()) ChangeCase(Pick(all));
  } else if ((roll -= 1) <= 0) {
    // Rarely, and only from a tree big enough to lose a branch.
    if (!rootSubdirs.empty() && l.rootFiles.size() > 25 && Chance(1, 2)) {
      RemoveTree(Pick(rootSubdirs));
    }
  } else {
    // Files outside the root change too; the mirror must not care.
    if (!l.awayFiles.empty()) Append(Pick(l.awayFiles));
  }
}

void RandomWriter::CreateFile(const std::string& dir) {
  std::string path = dir + "/" + FreeName(dir, "f");
  std::string bytes = RandomBytes(RandomSize());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // Written in pieces, as programs do.
  for (size_t at = 0; at < bytes.size();) {
    size_t piece = std::min(bytes.size() - at, static_cast<size_t>(Number(1, 64 << 10)));
    if (::write(fd, bytes.data() + at, piece) < 0) break;
    at += piece;
  }
  ::close(fd);
  Note("create " + path + " (" + std::to_string(bytes.size()) + " bytes)");
}

void RandomWriter::WriteInPlace(const std::string& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  off_t size = ::lseek(fd, 0, SEEK_END);
  off_t at = size > 0 ? Number(0, static_cast<int>(std::min<off_t>(size, 1 << 30))) : 0;
  std::string bytes = RandomBytes(static_cast<size_t>(Number(1, 4096)));
  ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), at);
  (void)n;
  ::close(fd);
  Note("write " + std::to_string(bytes.size()) + " at " + std::to_string(at) +
       " of " + file);
}

void RandomWriter::Append(const std::string& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return;
  std::string bytes = RandomBytes(static_cast<size_t>(Number(1, 8192)));
  ssize_t n = ::write(fd, bytes.data(), bytes.size());
  (void)n;
  ::close(fd);
  Note("append " + std::to_string(bytes.size()) + " to " + file);
}

void RandomWriter::Truncate(const std::string& file) {
  std::error_code ec;
  uintmax_t size = fs::file_size(file, ec);
  if (ec) return;
  // Mostly shorter, sometimes longer (a hole of zeros), sometimes empty.
  off_t length = Chance(1, 5)   ? 0
                 : Chance(1, 4) ? static_cast<off_t>(size) + Number(1, 5000)
                                : static_cast<off_t>(size / 2);
  if (::truncate(file.c_str(), length) != 0) return;
  Note("truncate " + file + " to " + std::to_string(length));
}

void RandomWriter::RenameWithin(const std::string& path) {
  bool directory = fs::is_directory(path);
  std::string dir = Parent(path);
  std::string target = dir + "/" + FreeName(dir, directory ? "d" : "f");
  if (::rename(path.c_str(), target.c_str()) != 0) return;
  Note("rename " + path + " -> " + Name(target));
}

void RandomWriter::ChangeCase(const std::string& path) {
  std::string name = Name(path);
  for (char& c : name) {
    c = std::isupper(static_cast<unsigned char>(c))
            ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
            : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  std::string target = Parent(path) + "/" + name;
  if (::rename(path.c_str(), target.c_str()) != 0) return;
  Note("change case " + path + " -> " + name);
}

void RandomWriter::MoveTo(const std::string& path, const std::string& dir) {
  if (IsWithin(dir, path) || Parent(path) == dir) return;
  bool directory = fs::is_directory(path);
  if (directory) {
    // Keep trees shallow: the moved directory's depth plus its own height.
    int height = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end;
         it.increment(ec)) {
      height = std::max(height, it.depth() + 1);
    }
    if (Depth(dir) + 1 + height > kDeepest) return;
  }
  std::string name = Name(path);
  // Keep the name when it is free there, as a drag-and-drop would.
  std::string target = dir + "/" + name;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (::strcasecmp(it->path().filename().c_str(), name.c_str()) == 0) {
      target = dir + "/" + FreeName(dir, directory ? "d" : "f");
      break;
    }
  }
  if (::rename(path.c_str(), target.c_str()) != 0) return;
  Note("move " + path + " -> " + target);
}

void RandomWriter::ReplaceFile(const std::string& from, const std::string& onto) {
  // As editors save: the new file takes the old one's name in one step.
  if (::rename(from.c_str(), onto.c_str()) != 0) return;
  Note("replace " + onto + " with " + from);
}

void RandomWriter::Delete(const std::string& file) {
  if (::unlink(file.c_str()) != 0) return;
  Note("delete " + file);
}

void RandomWriter::MakeDirectory(const std::string& dir) {
  if (Depth(dir) >= kDeepest) return;
  std::string path = dir + "/" + FreeName(dir, "d");
  if (::mkdir(path.c_str(), 0755) != 0) return;
  Note("mkdir " + path);
}

void RandomWriter::RemoveDirectory(const std::string& dir) {
  if (::rmdir(dir.c_str()) != 0) return;  // only when empty
  Note("rmdir " + dir);
}

void RandomWriter::RemoveTree(const std::string& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  Note("remove tree " + dir);
}

}  // namespace dirsync::e2e
