#include "mirror_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "local_path.h"
#include "write_all.h"

namespace dsclient_tool {
namespace {

constexpr const char* kMagic = "dirsync-mirror 1";

std::string Escape(const std::string& name) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (c <= 0x20 || c == '%' || c == 0x7f) {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int hi = HexValue(text[i + 1]);
    int lo = HexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
    i += 2;
  }
  return true;
}

bool SyncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

void MirrorState::Reset(uint32_t newStoreId) {
  // The task stays: a new store of the same task.
  hasStore = true;
  storeId = newStoreId;
  position = 0;
  entries.clear();
}

std::string MirrorState::PathFor(const std::string& mirrorDir) {
  return mirrorDir + "/" + kStateDirName + "/state";
}

std::string MirrorState::Serialize() const {
  std::ostringstream out;
  out << kMagic << '\n';
  if (!task.empty()) out << "task " << Escape(task) << '\n';
  if (hasStore) out << "store " << storeId << '\n';
  out << "position " << position << '\n';
  for (const auto& [ref, e] : entries) {
    if (e.directory) {
      out << "d " << ref << ' ' << e.version << ' ' << Escape(e.name) << ' '
          << e.parentRef << '\n';
    } else {
      int flags = (e.needsDownload ? 1 : 0) | (e.waiting ? 2 : 0);
      out << "f " << ref << ' ' << e.version << ' ' << e.size << ' '
          << e.lastWriteTime << ' ' << flags << ' ' << Escape(e.name) << ' '
          << e.parentRef << '\n';
    }
  }
  out << "end\n";
  return out.str();
}

bool MirrorState::Parse(const std::string& text, std::string* error) {
  *this = MirrorState();
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kMagic) {
    *error = "not a mirror state file";
    return false;
  }
  int lineNumber = 1;
  bool ended = false;
  while (std::getline(in, line)) {
    ++lineNumber;
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    bool ok = true;
    if (kind == "task") {
      std::string escaped;
      ok = static_cast<bool>(fields >> escaped) && Unescape(escaped, &task);
    } else if (kind == "store") {
      ok = static_cast<bool>(fields >> storeId);
      hasStore = true;
    } else if (kind == "position") {
      ok = static_cast<bool>(fields >> position) && position >= 0;
    } else if (kind == "d" || kind == "f") {
      uint64_t ref = 0;
      MirrorEntry e;
      e.directory = kind == "d";
      int flags = 0;
      std::string escaped;
      ok = static_cast<bool>(fields >> ref >> e.version);
      if (ok && !e.directory) {
        ok = static_cast<bool>(fields >> e.size >> e.lastWriteTime >> flags);
        e.needsDownload = (flags & 1) != 0;
        e.waiting = (flags & 2) != 0;
      }
      ok = ok && static_cast<bool>(fields >> escaped) && Unescape(escaped, &e.name);
      // The parent reference came later: a line without it leaves 0.
      if (ok && !(fields >> e.parentRef)) {
        e.parentRef = 0;
        ok = fields.eof();
      }
      if (ok) entries[ref] = std::move(e);
    } else if (kind == "end") {
      ended = true;
      break;
    } else {
      ok = false;
    }
    if (!ok) {
      *error = "damaged line " + std::to_string(lineNumber);
      return false;
    }
  }
  if (!ended) {
    *error = "the file is cut off";
    return false;
  }
  return true;
}

bool MirrorState::Load(const std::string& mirrorDir, std::string* error) {
  std::string path = PathFor(mirrorDir);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      *this = MirrorState();
      return true;
    }
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  char buffer[65536];
  while (true) {
    ssize_t r = ::read(fd, buffer, sizeof buffer);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (r == 0) break;
    text.append(buffer, static_cast<size_t>(r));
  }
  ::close(fd);
  std::string why;
  if (!Parse(text, &why)) {
    *error = path + ": " + why;
    return false;
  }
  return true;
}

bool MirrorState::Save(const std::string& mirrorDir, std::string* error) const {
  std::string dir = mirrorDir + "/" + kStateDirName;
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::string path = PathFor(mirrorDir);
  std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = WriteAll(fd, Serialize()) && ::fsync(fd) == 0;
  int savedErrno = errno;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    if (ok) savedErrno = errno;
    *error = "cannot write " + path + ": " + std::strerror(savedErrno);
    ::unlink(temp.c_str());
    return false;
  }
  SyncDirectory(dir);
  return true;
}

}  // namespace dsclient_tool
