// The configuration file dirsync.ini, read once at start-up: the task
// sections "task-1", "task-2", ... (reading stops at the first number whose
// section lacks a name or a path), the drive map of section [drives] and
// the network settings of section [DB].
//
// Everything here runs on the main thread before any other thread exists.
#ifndef DIRSYNC_APP_CONFIG_H_
#define DIRSYNC_APP_CONFIG_H_

#include <cstdint>
#include <string>

#include "platform/profile_file.h"

namespace dirsync {

class Server;

constexpr int32_t kDefaultTimeoutMs = 10000;
constexpr int32_t kDefaultPort = 333;
constexpr int32_t kDefaultMaxConnections = 1024;

// The keys of one task section as written.
struct TaskSection {
  int number = 0;           // N of "task-N"
  std::string name;         // at most 258 characters
  std::string path;         // at most 258 characters, as written
  std::string exclude;      // at most 4094 characters, ';'-separated
  int32_t subdir = 1;       // read, but nothing depends on it
  int32_t timeout = kDefaultTimeoutMs;
  int32_t logDetail = 0;
};

// Reads section task-number into *section. Returns false when its name or
// path is empty or missing (the end of the task list). A name or path cut
// at its limit is logged.
bool ReadTaskSection(const ProfileFile& profile, int number,
                     TaskSection* section);

// A task root as the catalog uses it: a trailing backslash added when
// missing, then ASCII letters upper-cased ("d:\share" -> "D:\SHARE\").
std::string NormaliseTaskPath(std::string path);

// Loads the configuration file at configPath into server: logs its ignored
// lines, sets the [drives] mappings into server->drives(), and builds the
// tasks (see the overload below). A missing file gives no task. Returns the
// number of VolumeWatch records created.
int LoadTasks(const std::string& configPath, Server* server);

// Builds one SyncTask per task section and one VolumeWatch per drive that
// holds a task, in the volumes table. The first section on a drive sets the
// drive's timeout. A section whose name is already used on the same drive
// replaces that task. A section is rejected, with a log line naming it,
// when its path does not begin with an ASCII drive letter, a colon and a
// backslash, when its name holds a path separator, or when its name is
// already used by a task on another drive (both would share one store
// file). Returns the number of VolumeWatch records created.
int LoadTasks(const ProfileFile& profile, Server* server);

// "PORT" of section [DB], default 333; a value outside 1..65535 is logged.
int32_t ListenPort(const ProfileFile& profile);
int32_t ListenPort(const std::string& configPath);

// "MAXCONNECTIONS" of section [DB]: the most client connections served at
// once, default 1024; a value below 1 is logged and the default taken.
int32_t MaxConnections(const ProfileFile& profile);
int32_t MaxConnections(const std::string& configPath);

// "COMPACTMINKB" of section [DB]: a task's store is written anew (compacted)
// once its dead records pass its live ones and this many KiB; default
// 1024. A negative value is logged and the default taken.
constexpr int32_t kDefaultCompactMinKiB = 1024;
int32_t CompactMinKiB(const ProfileFile& profile);

// "ADDRESS" of section [DB]: the local address clients connect to, dotted
// IPv4 or a host name; empty (the default), "*" or "0.0.0.0" for all
// addresses. A value that is neither an IPv4 address nor a plausible host
// name is logged and all addresses are used.
std::string ListenAddress(const ProfileFile& profile);
std::string ListenAddress(const std::string& configPath);

// "LOGINTIMEOUT" of section [DB]: the seconds a connection has to log in
// before it is closed, default 30; a value outside 1..86400 is logged and
// the default used.
constexpr int32_t kDefaultLoginTimeoutSeconds = 30;
int32_t LoginTimeoutSeconds(const ProfileFile& profile);
int32_t LoginTimeoutSeconds(const std::string& configPath);

// The encrypted port of section [DB]: "TLSPORT" (absent or 0: none),
// "CERT" and "KEY" (PEM files of the server's certificate chain and its
// private key) and "CLIENTCA" (optional: PEM file of the authorities whose
// certificates clients must present). Relative file names are taken from
// the program directory.
struct TlsSettings {
  int32_t port = 0;  // 0: no encrypted port
  std::string certFile;
  std::string keyFile;
  std::string clientCaFile;  // empty: any client may connect
  bool valid = true;         // false: configured, but not usable (logged)
};

// Reads the settings above. A TLSPORT outside 1..65535, equal to PORT, or
// without CERT and KEY is logged and makes the settings not valid: the
// operator asked for encryption, so the server does not start without it.
TlsSettings ReadTlsSettings(const ProfileFile& profile,
                            const std::string& programDirectory);
TlsSettings ReadTlsSettings(const std::string& configPath,
                            const std::string& programDirectory);

}  // namespace dirsync

#endif  // DIRSYNC_APP_CONFIG_H_
