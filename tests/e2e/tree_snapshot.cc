#include "e2e/tree_snapshot.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <sstream>
#include <vector>

namespace dirsync::e2e {
namespace {

// Size and checksum of a file's contents as read now; false when it cannot
// be read (it vanished).
bool SumFile(const std::string& path, TreeItem* item) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<unsigned char> buffer(1 << 16);
  uLong crc = crc32(0L, Z_NULL, 0);
  uint64_t size = 0;
  while (true) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    crc = crc32(crc, buffer.data(), static_cast<uInt>(n));
    size += static_cast<uint64_t>(n);
  }
  ::close(fd);
  item->size = size;
  item->crc = static_cast<uint32_t>(crc);
  return true;
}

std::string Describe(const TreeItem& item) {
  if (item.directory) return "directory";
  std::ostringstream out;
  out << "file of " << item.size << " bytes, crc " << std::hex << item.crc;
  return out.str();
}

}  // namespace

TreeSnapshot TakeSnapshot(const std::string& top,
                          const std::vector<std::string>& leaveOut) {
  namespace fs = std::filesystem;
  TreeSnapshot snapshot;
  std::error_code ec;
  fs::recursive_directory_iterator it(top, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    // Lexically: a path past what the system resolves cannot be made
    // canonical, and must not end the walk.
    std::string rel = it->path().lexically_relative(top).generic_string();
    bool left = false;
    for (const std::string& out : leaveOut) {
      left = left || ::strcasecmp(rel.c_str(), out.c_str()) == 0;
    }
    if (left) {
      it.disable_recursion_pending();
      continue;
    }
    fs::file_status status = it->symlink_status(ec);
    if (ec) {
      ec.clear();
      continue;
    }
    TreeItem item;
    if (fs::is_directory(status)) {
      item.directory = true;
    } else if (!fs::is_regular_file(status) || !SumFile(it->path(), &item)) {
      continue;
    }
    snapshot[rel] = item;
  }
  return snapshot;
}

std::string DescribeDifferences(const TreeSnapshot& expected,
                                const TreeSnapshot& actual, size_t maxLines) {
  std::ostringstream out;
  size_t lines = 0;
  size_t more = 0;
  auto note = [&](const std::string& text) {
    if (lines++ < maxLines) {
      out << "  " << text << "\n";
    } else {
      ++more;
    }
  };
  for (const auto& [path, item] : expected) {
    auto found = actual.find(path);
    if (found == actual.end()) {
      note("missing    " + path + " (" + Describe(item) + ")");
    } else if (!(found->second == item)) {
      note("differs    " + path + ": expected " + Describe(item) + ", got " +
           Describe(found->second));
    }
  }
  for (const auto& [path, item] : actual) {
    if (expected.count(path) == 0) {
      note("unexpected " + path + " (" + Describe(item) + ")");
    }
  }
  if (more > 0) out << "  ... and " << more << " more\n";
  return out.str();
}

}  // namespace dirsync::e2e
