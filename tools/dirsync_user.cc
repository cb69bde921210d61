// dirsync-user: adds (or replaces) the credential of a user of a task, in
// the layout the server reads first: user/TASK/UID beside the program.
//
//   dirsync-user add [--dir DIR] [--generate] TASK UID
//
// The token is read from standard input (one line end at its end is not
// part of it), or with --generate made of 32 random bytes in hexadecimal
// and printed on standard output. DIR is the server's program directory
// (default: the directory of this program, beside which an installation
// puts the server). The file is written whole under a temporary name,
// readable by its owner alone, and renamed into place, so a login never
// reads half a token; user/ and user/TASK are made with mode 0700 when
// missing.
//
// Exit status: 0 done, 1 the file could not be written, 2 a bad command
// line (a task or user name the server would refuse, an empty token).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file_io.h"
#include "platform/program_dir.h"
#include "platform/unique_fd.h"
#include "protocol/login_handler.h"

namespace {

using namespace dirsync;

constexpr const char* kUsage =
    "usage: dirsync-user add [--dir DIR] [--generate] TASK UID\n"
    "  Writes DIR/user/TASK/UID (DIR: the server's program directory,\n"
    "  by default this program's) with the token read from standard input,\n"
    "  or with a new random token, printed, when --generate is given.\n";

int Usage(const char* why) {
  if (why != nullptr) std::fprintf(stderr, "dirsync-user: %s\n", why);
  std::fputs(kUsage, stderr);
  return 2;
}

// Whether the server would take name as a task name or user id in a file
// name (the check its login makes).
bool UsableName(const std::string& name) {
  return IsSafeNameValue(name.c_str(), name.size() + 1);
}

bool MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  std::fprintf(stderr, "dirsync-user: cannot make %s: %s\n", path.c_str(),
               std::strerror(errno));
  return false;
}

bool ReadToken(std::string* token) {
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0) {
    token->append(buffer, static_cast<size_t>(n));
    if (token->size() > 2048) return false;
  }
  if (!token->empty() && token->back() == '\n') token->pop_back();
  if (!token->empty() && token->back() == '\r') token->pop_back();
  return n == 0;
}

bool GenerateToken(std::string* token) {
  UniqueFd random;
  if (!OpenFile("/dev/urandom", O_RDONLY | O_CLOEXEC, 0, &random).ok()) return false;
  unsigned char bytes[32];
  size_t got = 0;
  if (!ReadFull(random.get(), bytes, sizeof bytes, &got).ok() || got != sizeof bytes) {
    return false;
  }
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char b : bytes) {
    token->push_back(kHex[b >> 4]);
    token->push_back(kHex[b & 15]);
  }
  return true;
}

// Writes content to path through a temporary file beside it.
bool WriteWhole(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".new";
  UniqueFd fd;
  Status opened = OpenFile(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600, &fd);
  if (opened.ok() && ::fchmod(fd.get(), 0600) == 0 &&
      WriteFull(fd.get(), content.data(), content.size()).ok() &&
      ::fsync(fd.get()) == 0 && ::rename(temporary.c_str(), path.c_str()) == 0) {
    return true;
  }
  std::fprintf(stderr, "dirsync-user: cannot write %s: %s\n", path.c_str(),
               std::strerror(errno));
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "add") != 0) return Usage(nullptr);
  std::string dir = GetProgramDir();
  bool generate = false;
  int at = 2;
  for (; at < argc && argv[at][0] == '-'; ++at) {
    if (std::strcmp(argv[at], "--generate") == 0) {
      generate = true;
    } else if (std::strcmp(argv[at], "--dir") == 0 && at + 1 < argc) {
      dir = argv[++at];
      if (dir.empty() || dir.back() != '/') dir += '/';
    } else {
      return Usage("unknown option");
    }
  }
  if (argc - at != 2) return Usage(nullptr);
  const std::string task = argv[at];
  const std::string uid = argv[at + 1];
  if (!UsableName(task) || !UsableName(uid)) {
    return Usage("a task name or user id may not be empty, \".\" or \"..\", "
                 "nor hold '/', '\\' or control characters");
  }

  std::string token;
  if (generate ? !GenerateToken(&token) : !ReadToken(&token)) {
    return Usage(generate ? "no random bytes" : "the token is longer than 1023 bytes");
  }
  if (token.empty()) return Usage("the token is empty");
  if (token.size() > 1023 || token.find('\n') != std::string::npos) {
    return Usage("the token must be one line of at most 1023 bytes");
  }

  const std::string users = dir + "user";
  if (!MakeDirectory(users) || !MakeDirectory(users + "/" + task)) return 1;
  const std::string path = users + "/" + task + "/" + uid;
  if (!WriteWhole(path, token)) return 1;
  if (generate) std::printf("%s\n", token.c_str());
  std::fprintf(stderr, "dirsync-user: wrote %s\n", path.c_str());
  return 0;
}
