#include "state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "local_path.h"

namespace dsclient_tool {
namespace {

constexpr const char* kLogMagic = "dirsync-mirror-log 1";
// A log shorter than this never makes a new snapshot, however small the
// snapshot: tiny mirrors would otherwise rewrite theirs on every save.
constexpr uint64_t kLeastLogToCompact = 1 << 20;


uint32_t Crc(std::string_view bytes) {
  return static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()),
                                     static_cast<uInt>(bytes.size())));
}

}  // namespace

int StateFileSystem::Open(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool StateFileSystem::Write(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t w = ::write(fd, bytes.data(), bytes.size());
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(w));
  }
  return true;
}

bool StateFileSystem::Sync(int fd) { return ::fsync(fd) == 0; }
bool StateFileSystem::DataSync(int fd) { return ::fdatasync(fd) == 0; }
bool StateFileSystem::Truncate(int fd, off_t length) { return ::ftruncate(fd, length) == 0; }
void StateFileSystem::Close(int fd) { ::close(fd); }

bool StateFileSystem::Rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool StateFileSystem::SyncDirectory(const std::string& dir) {
  int fd = Open(dir, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

bool StateFileSystem::MakeDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool StateFileSystem::ReadAll(const std::string& path, std::string* out, bool* missing) {
  out->clear();
  *missing = false;
  int fd = Open(path, O_RDONLY, 0);
  if (fd < 0) {
    *missing = errno == ENOENT;
    return false;
  }
  char buffer[1 << 16];
  while (true) {
    ssize_t r = ::read(fd, buffer, sizeof buffer);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return false;
    }
    if (r == 0) break;
    out->append(buffer, static_cast<size_t>(r));
  }
  ::close(fd);
  return true;
}

StateFileSystem& StateFileSystem::Default() {
  static StateFileSystem files;
  return files;
}

StateFile::StateFile(std::string mirrorDir, StateFileSystem& files)
    : dir_(mirrorDir + "/" + kStateDirName),
      snapshot_(MirrorState::PathFor(mirrorDir)),
      log_(LogPathFor(mirrorDir)),
      files_(files) {}

StateFile::~StateFile() { CloseLog(); }

std::string StateFile::ErrorText(const std::string& what, const std::string& path) {
  lastError_ = errno;
  return what + " " + path + ": " + std::strerror(errno);
}

std::string StateFile::LogPathFor(const std::string& mirrorDir) {
  return MirrorState::PathFor(mirrorDir) + ".log";
}

void StateFile::CloseLog() {
  if (logFd_ >= 0) files_.Close(logFd_);
  logFd_ = -1;
}

bool StateFile::Load(MirrorState* state, std::string* error) {
  CloseLog();
  generation_ = 0;
  logBytes_ = 0;
  snapshotBytes_ = 0;
  savedPosition_ = -1;
  std::string text;
  bool missing = false;
  if (!files_.ReadAll(snapshot_, &text, &missing)) {
    if (!missing) {
      *error = ErrorText("cannot read", snapshot_);
      return false;
    }
    // A fresh mirror; the first save writes a snapshot.
    *state = MirrorState();
    return true;
  }
  std::string why;
  if (!state->Parse(text, &why, &generation_)) {
    *error = snapshot_ + ": " + why;
    return false;
  }
  snapshotBytes_ = text.size();
  std::string logText;
  if (files_.ReadAll(log_, &logText, &missing)) {
    logBytes_ = ReplayLog(logText, state);
  } else if (!missing) {
    *error = ErrorText("cannot read", log_);
    return false;
  }
  state->ClearChanges();
  savedHasStore_ = state->hasStore;
  savedTask_ = state->task;
  savedStoreId_ = state->storeId;
  savedPosition_ = state->position;
  return true;
}

uint64_t StateFile::ReplayLog(const std::string& text, MirrorState* state) {
  size_t firstEnd = text.find('\n');
  if (firstEnd == std::string::npos) return 0;
  std::istringstream first(text.substr(0, firstEnd));
  std::string magic1, magic2;
  uint64_t generation = 0;
  if (!(first >> magic1 >> magic2 >> generation) ||
      magic1 + " " + magic2 != kLogMagic || generation != generation_) {
    return 0;  // written for another snapshot: the snapshot holds it
  }
  size_t sound = firstEnd + 1;
  size_t at = sound;
  // A group's lines are applied only once its commit line proves it whole.
  std::vector<std::pair<uint64_t, std::optional<MirrorEntry>>> group;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // a torn last line
    std::string line = text.substr(at, end - at);
    uint64_t ref = 0;
    MirrorEntry entry;
    if (line.rfind("commit ", 0) == 0) {
      std::istringstream fields(line.substr(7));
      int64_t position = 0;
      uint32_t crc = 0;
      std::string_view bytes(text.data() + sound, at - sound);
      if (!(fields >> position >> crc) || position < 0 || crc != Crc(bytes)) break;
      for (auto& [changedRef, changed] : group) {
        if (changed) {
          state->Put(changedRef, std::move(*changed));
        } else {
          state->Erase(changedRef);
        }
      }
      group.clear();
      state->position = position;
      sound = end + 1;
    } else if (line.rfind("x ", 0) == 0) {
      std::istringstream gone(line.substr(2));
      if (!(gone >> ref)) break;
      group.emplace_back(ref, std::nullopt);
    } else if (MirrorState::ParseEntryLine(line, &ref, &entry)) {
      group.emplace_back(ref, std::move(entry));
    } else {
      break;
    }
    at = end + 1;
  }
  return sound;
}

bool StateFile::StartLog(std::string* error) {
  CloseLog();
  std::string temp = log_ + ".tmp";
  int fd = files_.Open(temp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    *error = ErrorText("cannot create", temp);
    return false;
  }
  std::string first = std::string(kLogMagic) + " " + std::to_string(generation_) + "\n";
  bool ok = files_.Write(fd, first) && files_.Sync(fd);
  int saved = errno;
  files_.Close(fd);
  if (!ok || !files_.Rename(temp, log_)) {
    if (ok) saved = errno;
    errno = saved;
    *error = ErrorText("cannot write", log_);
    return false;
  }
  if (!files_.SyncDirectory(dir_)) {
    *error = ErrorText("cannot sync", dir_);
    return false;
  }
  logFd_ = files_.Open(log_, O_WRONLY | O_APPEND, 0);
  if (logFd_ < 0) {
    *error = ErrorText("cannot open", log_);
    return false;
  }
  logBytes_ = first.size();
  return true;
}

bool StateFile::WriteSnapshot(MirrorState& state, std::string* error) {
  // From here on the old log is not appended to: after a failure the next
  // save writes a snapshot again.
  CloseLog();
  logBytes_ = 0;
  if (!files_.MakeDirectory(dir_)) {
    *error = ErrorText("cannot create", dir_);
    return false;
  }
  const uint64_t generation = generation_ + 1;
  std::string text = state.Serialize(generation);
  std::string temp = snapshot_ + ".tmp";
  int fd = files_.Open(temp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    *error = ErrorText("cannot create", temp);
    return false;
  }
  // Synced before the rename: after a crash the name leads to the whole
  // new file or to the old one.
  bool ok = files_.Write(fd, text) && files_.Sync(fd);
  int saved = errno;
  files_.Close(fd);
  if (!ok || !files_.Rename(temp, snapshot_)) {
    if (ok) saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    *error = ErrorText("cannot write", snapshot_);
    return false;
  }
  // The rename is lasting only once the directory is synced.
  if (!files_.SyncDirectory(dir_)) {
    *error = ErrorText("cannot sync", dir_);
    generation_ = generation;
    return false;
  }
  generation_ = generation;
  snapshotBytes_ = text.size();
  // Until the new log stands, nothing is appended: the old log belongs to
  // an older snapshot and would be ignored.
  if (!StartLog(error)) return false;
  state.ClearChanges();
  savedHasStore_ = state.hasStore;
  savedTask_ = state.task;
  savedStoreId_ = state.storeId;
  savedPosition_ = state.position;
  return true;
}

bool StateFile::Save(MirrorState& state, std::string* error) {
  bool sameStore = savedHasStore_ == state.hasStore && savedTask_ == state.task &&
                   savedStoreId_ == state.storeId;
  if (logFd_ < 0 && sameStore && logBytes_ > 0 && !state.startedOver()) {
    // The log loaded with the snapshot: go on appending behind its sound
    // part (a torn tail is cut off).
    logFd_ = files_.Open(log_, O_WRONLY | O_APPEND, 0);
    if (logFd_ >= 0 && !files_.Truncate(logFd_, static_cast<off_t>(logBytes_))) CloseLog();
  }
  if (logFd_ < 0 || !sameStore || state.startedOver() ||
      logBytes_ > std::max<uint64_t>(kLeastLogToCompact, snapshotBytes_)) {
    return WriteSnapshot(state, error);
  }
  if (state.changed().empty() && state.position == savedPosition_) return true;
  std::string group;
  for (uint64_t ref : state.changed()) {
    if (const MirrorEntry* entry = state.Find(ref)) {
      MirrorState::AppendEntryLine(&group, ref, *entry);
    } else {
      group += "x " + std::to_string(ref) + "\n";
    }
  }
  uint32_t crc = Crc(group);
  group += "commit " + std::to_string(state.position) + " " + std::to_string(crc) + "\n";
  if (!files_.Write(logFd_, group) || !files_.DataSync(logFd_)) {
    *error = ErrorText("cannot write", log_);
    // Whatever part of the group reached the file goes; the changes stay
    // for the next save.
    if (!files_.Truncate(logFd_, static_cast<off_t>(logBytes_))) CloseLog();
    return false;
  }
  logBytes_ += group.size();
  savedPosition_ = state.position;
  state.ClearChanges();
  return true;
}

}  // namespace dsclient_tool
