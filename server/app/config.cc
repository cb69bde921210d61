#include "app/config.h"

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <memory>

#include "app/server.h"
#include "catalog/sync_task.h"
#include "platform/drive_map.h"
#include "platform/log.h"

namespace dirsync {
namespace {

// The configuration at configPath for one [DB] setting. An unreadable file
// was logged by LoadTasks; every setting then takes its default.
ProfileFile LoadedProfile(const std::string& configPath) {
  ProfileFile profile;
  profile.Load(configPath).IgnoreError();
  return profile;
}

std::string SectionName(int number) {
  return "task-" + std::to_string(number);
}

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Reads a text key of a task section, logging a value cut at its limit.
std::string ReadText(const ProfileFile& profile, const std::string& section,
                     const char* key, size_t limit) {
  bool cut = false;
  std::string value = profile.GetString(section, key, "", limit, &cut);
  if (cut) {
    LogPrint("%D [%s]: \"%s\" is longer than %d characters and was cut\n",
             section.c_str(), key, static_cast<int>(limit));
  }
  return value;
}

// Why a task section cannot be loaded, or nullptr when it can. root is the
// normalised path.
const char* RejectionOf(const TaskSection& s, const std::string& root) {
  // "D:\..." : anything else names no drive (a UNC or relative path, a
  // non-ASCII first character) or a drive-relative path that no final
  // path ever begins with.
  if (root.size() < 3 || !IsAsciiLetter(root[0]) || root[1] != ':' ||
      root[2] != '\\') {
    return "its path does not begin with a drive letter, a colon and a "
           "backslash";
  }
  // The name is the base name of the task's store file.
  if (s.name.find_first_of("/\\") != std::string::npos) {
    return "its name holds a path separator";
  }
  return nullptr;
}

void WarnIfRootIsMissing(const DriveMap& drives, const std::string& section,
                         const std::string& root) {
  std::string linuxPath;
  struct stat st;
  if (drives.ToLinuxPath(root, &linuxPath) &&
      (::stat(linuxPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    LogPrint("%D [%s]: the root %s (%s) is not a directory now\n",
             section.c_str(), root.c_str(), linuxPath.c_str());
  }
}

// The longest name (relative to the root) whose path below root stays
// within what the kernel resolves from "/": PATH_MAX less its NUL.
size_t NameRoomBelow(const DriveMap& drives, const std::string& root) {
  std::string linuxRoot;
  if (!drives.ToLinuxPath(root, &linuxRoot)) return SIZE_MAX;
  while (linuxRoot.size() > 1 && linuxRoot.back() == '/') linuxRoot.pop_back();
  const size_t longest = PATH_MAX - 1;
  const size_t prefix = linuxRoot.size() + 1;  // the root and a slash
  return prefix < longest ? longest - prefix : 0;
}

// Builds the task of one section. Returns 1 when it created a VolumeWatch.
int AddTask(const TaskSection& s, Server* server) {
  const std::string section = SectionName(s.number);
  const std::string root = NormaliseTaskPath(s.path);
  if (const char* why = RejectionOf(s, root)) {
    LogPrint("%D [%s]: task \"%s\" not loaded: %s (path \"%s\")\n",
             section.c_str(), s.name.c_str(), why, s.path.c_str());
    return 0;
  }
  const char letter = root[0];
  if (char other = server->DriveOfTaskName(s.name, letter)) {
    LogPrint("%D [%s]: task \"%s\" not loaded: drive %c: already has a task "
             "of that name, and both would write one store file\n",
             section.c_str(), s.name.c_str(), other);
    return 0;
  }

  bool created = false;
  VolumeWatch& volume = server->VolumeFor(letter, s.timeout, &created);
  WarnIfRootIsMissing(server->drives(), section, root);

  // A later section of the same name replaces the earlier task. The earlier
  // one goes first, so that its store file is closed before the
  // replacement opens the same file.
  auto existing = volume.tasks.find(s.name);
  if (existing != volume.tasks.end()) {
    LogPrint("%D [%s]: task \"%s\" replaces the earlier task of that name "
             "on drive %c:\n",
             section.c_str(), s.name.c_str(), letter);
    volume.tasks.erase(existing);
  }
  std::unique_ptr<SyncTask> task =
      OpenTask(s.name, root, s.exclude, server->storeOptions());
  task->logDetail = s.logDetail != 0;
  task->store.nameRoom = NameRoomBelow(server->drives(), root);
  volume.tasks[s.name] = std::move(task);
  return created ? 1 : 0;
}

}  // namespace

bool ReadTaskSection(const ProfileFile& profile, int number,
                     TaskSection* s) {
  const std::string section = SectionName(number);
  s->number = number;
  s->name = ReadText(profile, section, "name", kProfileNameLimit);
  s->path = ReadText(profile, section, "path", kProfileNameLimit);
  if (s->name.empty() || s->path.empty()) return false;
  s->exclude = ReadText(profile, section, "exclude", kProfileTextLimit);
  s->subdir = profile.GetInt(section, "subdir", 1);
  s->timeout = profile.GetInt(section, "timeout", kDefaultTimeoutMs);
  s->logDetail = profile.GetInt(section, "logdetail", 0);
  return true;
}

std::string NormaliseTaskPath(std::string path) {
  if (path.empty() || path.back() != '\\') path += '\\';
  for (char& c : path) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return path;
}

int LoadTasks(const ProfileFile& profile, Server* server) {
  int created = 0;
  TaskSection s;
  for (int k = 1; ReadTaskSection(profile, k, &s); ++k) {
    created += AddTask(s, server);
  }
  return created;
}

int LoadTasks(const std::string& configPath, Server* server) {
  ProfileFile profile;
  Status read = profile.Load(configPath);
  // A missing file simply configures no task.
  if (!read.ok() && !read.IsNotFound()) {
    LogPrint("%D %s cannot be read\n", configPath.c_str());
  }
  for (const ProfileProblem& p : profile.Problems()) {
    LogPrint("%D %s line %d ignored: %s\n", configPath.c_str(), p.line,
             p.reason.c_str());
  }
  LoadDriveSection(profile, &server->drives());
  server->set_compactMinDeadBytes(int64_t{CompactMinKiB(profile)} * 1024);
  return LoadTasks(profile, server);
}

int32_t ListenPort(const ProfileFile& profile) {
  int32_t port = profile.GetInt("DB", "PORT", kDefaultPort);
  if (port < 1 || port > 65535) {
    LogPrint("%D [DB]: PORT %d is not a TCP port\n", port);
  }
  return port;
}

int32_t ListenPort(const std::string& configPath) {
  return ListenPort(LoadedProfile(configPath));
}

int32_t MaxConnections(const ProfileFile& profile) {
  int32_t most = profile.GetInt("DB", "MAXCONNECTIONS", kDefaultMaxConnections);
  if (most < 1) {
    LogPrint("%D [DB]: MAXCONNECTIONS %d is below 1; %d is taken\n", most,
             kDefaultMaxConnections);
    return kDefaultMaxConnections;
  }
  return most;
}

int32_t CompactMinKiB(const ProfileFile& profile) {
  int32_t kib = profile.GetInt("DB", "COMPACTMINKB", kDefaultCompactMinKiB);
  if (kib < 0) {
    LogPrint("%D [DB]: COMPACTMINKB %d is below 0; %d is taken\n", kib,
             kDefaultCompactMinKiB);
    return kDefaultCompactMinKiB;
  }
  return kib;
}

int32_t MaxConnections(const std::string& configPath) {
  return MaxConnections(LoadedProfile(configPath));
}

std::string ListenAddress(const ProfileFile& profile) {
  std::string address = profile.GetString("DB", "ADDRESS", "", kProfileNameLimit);
  if (address == "*" || address == "0.0.0.0") return {};
  // A host name holds letters, digits, dots and hyphens only; anything
  // else could never be resolved.
  for (char c : address) {
    const bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '.' || c == '-';
    if (!fits) {
      LogPrint("%D [DB]: ADDRESS \"%s\" is not an IPv4 address or host name; "
               "listening on all addresses\n",
               address.c_str());
      return {};
    }
  }
  return address;
}

std::string ListenAddress(const std::string& configPath) {
  return ListenAddress(LoadedProfile(configPath));
}

int32_t LoginTimeoutSeconds(const ProfileFile& profile) {
  const int32_t seconds =
      profile.GetInt("DB", "LOGINTIMEOUT", kDefaultLoginTimeoutSeconds);
  if (seconds < 1 || seconds > 86400) {
    LogPrint("%D [DB]: LOGINTIMEOUT %d is not between 1 and 86400 seconds; "
             "%d is used\n",
             seconds, kDefaultLoginTimeoutSeconds);
    return kDefaultLoginTimeoutSeconds;
  }
  return seconds;
}

int32_t LoginTimeoutSeconds(const std::string& configPath) {
  return LoginTimeoutSeconds(LoadedProfile(configPath));
}

namespace {

// A file name of the configuration, taken from the program directory
// unless absolute.
std::string ConfiguredFile(const std::string& name,
                           const std::string& programDirectory) {
  if (name.empty() || name[0] == '/') return name;
  return programDirectory + name;
}

}  // namespace

TlsSettings ReadTlsSettings(const ProfileFile& profile,
                            const std::string& programDirectory) {
  TlsSettings tls;
  tls.port = profile.GetInt("DB", "TLSPORT", 0);
  if (tls.port == 0) return tls;
  tls.certFile = ConfiguredFile(
      profile.GetString("DB", "CERT", "", kProfileNameLimit), programDirectory);
  tls.keyFile = ConfiguredFile(
      profile.GetString("DB", "KEY", "", kProfileNameLimit), programDirectory);
  tls.clientCaFile = ConfiguredFile(
      profile.GetString("DB", "CLIENTCA", "", kProfileNameLimit),
      programDirectory);
  if (tls.port < 1 || tls.port > 65535) {
    LogPrint("%D [DB]: TLSPORT %d is not a TCP port\n", tls.port);
    tls.valid = false;
  } else if (tls.port == ListenPort(profile)) {
    LogPrint("%D [DB]: TLSPORT %d is the plain PORT too\n", tls.port);
    tls.valid = false;
  } else if (tls.certFile.empty() || tls.keyFile.empty()) {
    LogPrint("%D [DB]: TLSPORT %d needs CERT and KEY\n", tls.port);
    tls.valid = false;
  }
  return tls;
}

TlsSettings ReadTlsSettings(const std::string& configPath,
                            const std::string& programDirectory) {
  return ReadTlsSettings(LoadedProfile(configPath), programDirectory);
}

}  // namespace dirsync
