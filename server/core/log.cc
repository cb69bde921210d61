#include "core/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace dirsync {
namespace {

std::atomic<LogTee*> g_logTee{nullptr};

// Appends text to the line, cutting it at the buffer's limit.
class LineBuilder {
 public:
  LineBuilder(char* out, size_t size) : out_(out), size_(size) {}

  void Append(const char* text, size_t n) {
    if (size_ == 0) return;
    size_t room = size_ - 1 - used_;
    if (n > room) n = room;
    std::memcpy(out_ + used_, text, n);
    used_ += n;
  }
  void Append(char c) { Append(&c, 1); }

  // Room left for a conversion's output, NUL included.
  char* Cursor() { return out_ + used_; }
  size_t Room() const { return size_ == 0 ? 0 : size_ - used_; }
  // Accounts for snprintf output written at Cursor(), which snprintf has
  // already cut to Room().
  void Advance(int printed) {
    if (printed <= 0) return;
    size_t n = static_cast<size_t>(printed);
    size_t room = Room() == 0 ? 0 : Room() - 1;
    used_ += n < room ? n : room;
  }

  size_t Finish() {
    if (size_ > 0) out_[used_] = '\0';
    return used_;
  }

 private:
  char* out_;
  size_t size_;
  size_t used_ = 0;
};

bool IsIntegerConversion(char c) {
  return c == 'X' || c == 'c' || c == 'd' || c == 'i' || c == 'o' ||
         c == 'u' || c == 'x';
}

bool IsFloatConversion(char c) {
  return c == 'E' || c == 'F' || c == 'G' || c == 'e' || c == 'f' || c == 'g';
}

bool IsConversionLetter(char c) {
  return c == 'D' || c == 'L' || c == 's' || IsIntegerConversion(c) ||
         IsFloatConversion(c);
}

// The specifier handed to snprintf keeps only what printf understands for
// a plain int, double or char* argument: flags, width and precision digits
// and the conversion letter. Length letters (h, l, I, ...) and '*' would
// make snprintf read an argument of another type than the one taken here,
// and digits behind them belong to the length ("%I64d"), not to the width,
// so copying stops at the first other character.
void BuildPrintfSpec(const char* specifier, size_t len, char* out, size_t outSize) {
  size_t o = 0;
  out[o++] = '%';
  for (size_t i = 1; i + 1 < len && o + 2 < outSize; ++i) {
    char c = specifier[i];
    if (std::strchr("-+ #0123456789.", c) == nullptr) break;
    out[o++] = c;
  }
  out[o++] = specifier[len - 1];
  out[o] = '\0';
}

void WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;  // Nowhere left to report a failing log.
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

size_t FormatLogLine(char* out, size_t outSize, const std::tm& now,
                     const char* format, va_list args) {
  LineBuilder line(out, outSize);
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      line.Append(*p++);
      continue;
    }
    if (p[1] == '%') {
      line.Append('%');
      p += 2;
      continue;
    }
    // A conversion specifier: runs up to the first conversion letter.
    const char* start = p++;
    while (*p != '\0' && !IsConversionLetter(*p)) ++p;
    if (*p == '\0') break;  // Unfinished specifier: prints nothing.
    char letter = *p++;
    size_t specLen = static_cast<size_t>(p - start);

    if (letter == 'D') {
      char stamp[32];
      int n = std::snprintf(stamp, sizeof stamp,
                            "%04d-%02d-%02d %02d:%02d:%02d",
                            now.tm_year + 1900, now.tm_mon + 1, now.tm_mday,
                            now.tm_hour, now.tm_min, now.tm_sec);
      line.Append(stamp, static_cast<size_t>(n));
    } else if (letter == 'L') {
      char number[32];
      int n = std::snprintf(number, sizeof number, "%lld",
                            static_cast<long long>(va_arg(args, int64_t)));
      line.Append(number, static_cast<size_t>(n));
    } else {
      char printfSpecifier[64];
      BuildPrintfSpec(start, specLen, printfSpecifier, sizeof printfSpecifier);
      int printed;
      if (IsFloatConversion(letter)) {
        printed = std::snprintf(line.Cursor(), line.Room(), printfSpecifier,
                                va_arg(args, double));
      } else if (letter == 's') {
        const char* text = va_arg(args, const char*);
        printed = std::snprintf(line.Cursor(), line.Room(), printfSpecifier,
                                text != nullptr ? text : "(null)");
      } else {
        printed = std::snprintf(line.Cursor(), line.Room(), printfSpecifier,
                                va_arg(args, int));
      }
      line.Advance(printed);
    }
  }
  size_t n = line.Finish();
  // A line cut at the buffer's limit keeps the line end its format asked
  // for, so the next line does not run on behind it.
  size_t formatLength = std::strlen(format);
  if (n > 0 && n + 1 == outSize && formatLength > 0 &&
      format[formatLength - 1] == '\n' && out[n - 1] != '\n') {
    out[n - 1] = '\n';
  }
  return n;
}

size_t FormatLogLineNow(char* out, size_t outSize, const char* format,
                        va_list args) {
  std::time_t t = std::time(nullptr);
  std::tm now{};
  localtime_r(&t, &now);
  return FormatLogLine(out, outSize, now, format, args);
}

void LogPrint(const char* format, ...) {
  char buffer[kLogLineSize];
  va_list args;
  va_start(args, format);
  size_t n = FormatLogLineNow(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n == 0) return;

  WriteAll(STDOUT_FILENO, buffer, n);
  if (LogTee* tee = g_logTee.load(std::memory_order_acquire)) {
    tee->Write(buffer, n);
  }
}

void SetLogTee(LogTee* tee) { g_logTee.store(tee, std::memory_order_release); }

namespace {
std::string& ProgramDirStorage() {
  static std::string dir;
  return dir;
}
}  // namespace

const std::string& GetProgramDir() {
  std::string& dir = ProgramDirStorage();
  if (dir.empty()) {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
      dir = "./";
    } else {
      path[n] = '\0';
      char* slash = std::strrchr(path, '/');
      dir.assign(path, slash != nullptr ? slash + 1 : path + n);
      if (dir.empty()) dir = "./";
    }
  }
  return dir;
}

void SetProgramDirForTesting(const std::string& dir) {
  ProgramDirStorage() = dir;
}

bool MakeDirectoryPath(const std::string& path) {
  // Prefixes already looked at or created; it only grows.
  static std::mutex lock;
  static std::unordered_set<std::string> known;
  std::lock_guard<std::mutex> guard(lock);
  if (known.count(path) != 0) return true;

  for (size_t i = 0; i < path.size(); ++i) {
    bool last = i + 1 == path.size();
    if (path[i] != '/' && !last) continue;
    std::string prefix = path.substr(0, i + 1);
    if (known.count(prefix) != 0) continue;
    struct stat st;
    if (::stat(prefix.c_str(), &st) != 0) ::mkdir(prefix.c_str(), 0755);
    known.insert(prefix);
  }
  return true;
}

int TodayAsNumber() {
  std::time_t t = std::time(nullptr);
  std::tm now{};
  localtime_r(&t, &now);
  return (now.tm_year + 1900) * 10000 + (now.tm_mon + 1) * 100 + now.tm_mday;
}

}  // namespace dirsync
