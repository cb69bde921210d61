#include "platform/log.h"

#include "platform/file_io.h"
#include "platform/log_batch.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

namespace dirsync {
namespace {

std::atomic<LogTee*> g_logTee{nullptr};
// Lines being handed to the tee now.
std::atomic<int> g_logTeeUsers{0};

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

// Writes the decimal digits of value, with a leading '-' when negative,
// ending at end; returns where they begin. The buffer before end must hold
// 20 characters. Gives what "%lld" gives, without snprintf: a log line of
// every request is formatted on the network threads.
char* DecimalDigits(int64_t value, char* end) {
  // The magnitude as unsigned, so that the most negative value has one.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value)
                                 : static_cast<uint64_t>(value);
  char* p = end;
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--p = '-';
  return p;
}

void AppendDecimal(LineBuilder& line, int64_t value) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* begin = DecimalDigits(value, end);
  line.Append(begin, static_cast<size_t>(end - begin));
}

// Writes value as exactly width digits (what "%0<width>d" gives for a
// value of at most width digits).
void PutDigits(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// The timestamp "yyyy-mm-dd hh:mm:ss" of %D; 19 characters.
size_t FormatTimestamp(const std::tm& now, char* out, size_t outSize) {
  const int year = now.tm_year + 1900, month = now.tm_mon + 1;
  const bool usual = year >= 0 && year <= 9999 && month >= 0 && month <= 99 &&
                     now.tm_mday >= 0 && now.tm_mday <= 99 &&
                     now.tm_hour >= 0 && now.tm_hour <= 99 &&
                     now.tm_min >= 0 && now.tm_min <= 99 &&
                     now.tm_sec >= 0 && now.tm_sec <= 99;
  if (!usual || outSize < 20) {
    int n = std::snprintf(out, outSize, "%04d-%02d-%02d %02d:%02d:%02d", year,
                          month, now.tm_mday, now.tm_hour, now.tm_min,
                          now.tm_sec);
    return n < 0 ? 0 : std::min(static_cast<size_t>(n), outSize - 1);
  }
  std::memcpy(out, "0000-00-00 00:00:00", 20);
  PutDigits(out, year, 4);
  PutDigits(out + 5, month, 2);
  PutDigits(out + 8, now.tm_mday, 2);
  PutDigits(out + 11, now.tm_hour, 2);
  PutDigits(out + 14, now.tm_min, 2);
  PutDigits(out + 17, now.tm_sec, 2);
  return 19;
}

// FormatLogLine with the %D text given, already formatted.
size_t FormatWithStamp(char* out, size_t outSize, const char* stamp,
                       size_t stampLength, const char* format, va_list args) {
  LineBuilder line(out, outSize);
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      // The literal text up to the next conversion, in one piece.
      const char* end = std::strchr(p, '%');
      if (end == nullptr) end = p + std::strlen(p);
      line.Append(p, static_cast<size_t>(end - p));
      p = end;
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
      line.Append(stamp, stampLength);
    } else if (letter == 'L') {
      // Flags and width are ignored: always the plain decimal.
      AppendDecimal(line, va_arg(args, int64_t));
    } else if (specLen == 2 && (letter == 'd' || letter == 'i')) {
      // The plain conversions of the frequent lines, without snprintf.
      AppendDecimal(line, va_arg(args, int));
    } else if (specLen == 2 && letter == 's') {
      const char* text = va_arg(args, const char*);
      if (text == nullptr) text = "(null)";
      line.Append(text, std::strlen(text));
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
  if (n > 0 && n + 1 == outSize && out[n - 1] != '\n') {
    const size_t formatLength = std::strlen(format);
    if (formatLength > 0 && format[formatLength - 1] == '\n') {
      out[n - 1] = '\n';
    }
  }
  return n;
}

}  // namespace

size_t FormatLogLine(char* out, size_t outSize, const std::tm& now,
                     const char* format, va_list args) {
  char stamp[64];
  const size_t stampLength = FormatTimestamp(now, stamp, sizeof stamp);
  return FormatWithStamp(out, outSize, stamp, stampLength, format, args);
}

size_t FormatLogLineNow(char* out, size_t outSize, const char* format,
                        va_list args) {
  // The local time changes only from one second to the next, so each
  // thread converts and formats a second once: localtime_r takes a
  // process-wide lock, and the timestamp begins every line.
  thread_local std::time_t cachedSecond = std::numeric_limits<std::time_t>::min();
  thread_local char cachedStamp[64];
  thread_local size_t cachedStampLength = 0;
  std::time_t t = std::time(nullptr);
  if (t != cachedSecond) {
    std::tm now{};
    localtime_r(&t, &now);
    cachedStampLength = FormatTimestamp(now, cachedStamp, sizeof cachedStamp);
    cachedSecond = t;
  }
  return FormatWithStamp(out, outSize, cachedStamp, cachedStampLength, format,
                         args);
}

void LogPrint(const char* format, ...) {
  char buffer[kLogLineSize];
  va_list args;
  va_start(args, format);
  size_t n = FormatLogLineNow(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n == 0) return;

  if (!AppendToLogBatch(buffer, n)) {
    // Nowhere is left to report a failing log.
    WriteFull(STDOUT_FILENO, buffer, n).IgnoreError();
  }
  // Counted while the tee is in use, so that SetLogTee can wait for the
  // lines under way before the old tee goes. Without a tee (the usual
  // case) the count is not touched: only the load after the count is
  // trusted.
  if (g_logTee.load() == nullptr) return;
  g_logTeeUsers.fetch_add(1);
  if (LogTee* tee = g_logTee.load()) tee->Write(buffer, n);
  g_logTeeUsers.fetch_sub(1);
}

void SetLogTee(LogTee* tee) {
  g_logTee.store(tee);
  while (g_logTeeUsers.load() != 0) std::this_thread::yield();
}

}  // namespace dirsync
