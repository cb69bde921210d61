#include "platform/log.h"

#include "platform/env.h"
#include "platform/log_batch.h"
#include "platform/program_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace dirsync {
namespace {

std::tm FixedTime() {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 8;
  t.tm_sec = 9;
  return t;
}

std::string Format(const char* format, ...) {
  char buffer[kLogLineSize];
  va_list args;
  va_start(args, format);
  FormatLogLine(buffer, sizeof buffer, FixedTime(), format, args);
  va_end(args);
  return buffer;
}

TEST(LogFormatTest, TimestampAndItsIgnoredWidth) {
  EXPECT_EQ(Format("%D Exit!\n"), "2024-03-05 07:08:09 Exit!\n");
  EXPECT_EQ(Format("%5D"), "2024-03-05 07:08:09");
}

TEST(LogFormatTest, SixtyFourBitIntegers) {
  EXPECT_EQ(Format("%L", int64_t{-1}), "-1");
  EXPECT_EQ(Format("%L", int64_t{4294967296}), "4294967296");
  EXPECT_EQ(Format("%-20L|", int64_t{42}), "42|");
}

TEST(LogFormatTest, PercentAndUnfinishedSpecifiers) {
  EXPECT_EQ(Format("100%%"), "100%");
  EXPECT_EQ(Format("abc %"), "abc ");
  EXPECT_EQ(Format("abc %-5"), "abc ");
  EXPECT_EQ(Format(""), "");
}

TEST(LogFormatTest, RuntimeConversions) {
  EXPECT_EQ(Format("%c", 0x141), "A");
  EXPECT_EQ(Format("%.3s", "abcdef"), "abc");
  EXPECT_EQ(Format("[%5d]", 42), "[   42]");
  EXPECT_EQ(Format("%d", 255 - 256), "-1");
  EXPECT_EQ(Format("%x", 255), "ff");
  EXPECT_EQ(Format("%.2f", 1.5), "1.50");
  EXPECT_EQ(Format("%ld", 7), "7");  // length letters never widen the argument
}

TEST(LogFormatTest, LongLinesAreCutAtTheBuffer) {
  std::string big(5000, 'x');
  std::string line = Format("%s and more", big.c_str());
  EXPECT_EQ(line.size(), kLogLineSize - 1);
  EXPECT_EQ(line, std::string(kLogLineSize - 1, 'x'));
  std::string ended = Format("%s\n", big.c_str());
  EXPECT_EQ(ended.size(), kLogLineSize - 1);
  EXPECT_EQ(ended.back(), '\n');  // the line end survives the cut
  std::string plain(3000, 'y');
  EXPECT_EQ(Format(plain.c_str()).size(), kLogLineSize - 1);
}

TEST(LogFormatTest, LengthLettersAndTheirDigitsNeverBecomeAWidth) {
  EXPECT_EQ(Format("[%I64d]", 5), "[5]");
  EXPECT_EQ(Format("[%-4hd]", 5), "[5   ]");
}

// Plain %d, %i, %s, %L and %D are formatted without snprintf; they must
// give exactly what printf gives, at the limits of their types too.
TEST(LogFormatTest, PlainConversionsMatchPrintfAtTheirLimits) {
  const int ints[] = {0, 7, -7, 1000000, INT32_MAX, INT32_MIN};
  for (int v : ints) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "<%d|%i>", v, v);
    EXPECT_EQ(Format("<%d|%i>", v, v), expected);
  }
  const int64_t longs[] = {0, -1, INT64_MAX, INT64_MIN, int64_t{1} << 40};
  for (int64_t v : longs) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%lld", static_cast<long long>(v));
    EXPECT_EQ(Format("%L", v), expected);
  }
  EXPECT_EQ(Format("[%s]", static_cast<const char*>(nullptr)), "[(null)]");
  EXPECT_EQ(Format("[%s][%s]", "", "ab"), "[][ab]");
  EXPECT_EQ(Format("[%-4s]", "ab"), "[ab  ]");  // with flags: through printf
  // A number cut at the end of the line buffer.
  std::string fill(kLogLineSize - 4, 'f');
  EXPECT_EQ(Format("%s%d", fill.c_str(), 123456), fill + "123");
}

TEST(LogFormatTest, UnusualDatesStillFormatLikePrintf) {
  std::tm t = FixedTime();
  t.tm_year = 12345 - 1900;
  t.tm_sec = 60;  // a leap second
  char buffer[kLogLineSize];
  auto formatAt = [&](const std::tm& when, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatLogLine(buffer, sizeof buffer, when, format, args);
    va_end(args);
    return std::string(buffer);
  };
  EXPECT_EQ(formatAt(t, "%D"), "12345-03-05 07:08:60");
  t.tm_year = -1901;  // the year -1
  EXPECT_EQ(formatAt(t, "%D"), "-001-03-05 07:08:60");
}

TEST(LogFormatTest, TheTimestampOfNowIsTheLocalTime) {
  char buffer[kLogLineSize];
  auto formatNow = [&](const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatLogLineNow(buffer, sizeof buffer, format, args);
    va_end(args);
    return std::string(buffer);
  };
  auto localNow = [] {
    std::time_t t = std::time(nullptr);
    std::tm now{};
    localtime_r(&t, &now);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &now);
    return std::string(text);
  };
  // Across a few seconds, so that a second once converted is not reused
  // for the next one.
  for (int i = 0; i < 3; ++i) {
    std::string before = localNow();
    std::string stamp = formatNow("%D");
    std::string after = localNow();
    EXPECT_TRUE(stamp == before || stamp == after) << stamp;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
  }
}

// Points standard output at another descriptor while it lives.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(int fd) : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    ::dup2(fd, STDOUT_FILENO);
  }
  ~StdoutRedirect() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

TEST(LogPrintTest, AWholeLineReachesAPipeInOneWrite) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string text(1000, 'p');
  {
    StdoutRedirect redirect(fds[1]);
    LogPrint("%s\n", text.c_str());
    // Longer than the line buffer: cut, never overrun.
    LogPrint("%s%s\n", text.c_str(), text.c_str());
    LogPrint("");  // nothing at all
  }
  ::close(fds[1]);
  // Each line is there already, in one piece, without any flush.
  char buffer[4096];
  ssize_t n = ::read(fds[0], buffer, 1001);
  ASSERT_EQ(n, 1001);
  EXPECT_EQ(std::string(buffer, 1001), text + "\n");
  n = ::read(fds[0], buffer, sizeof buffer);
  EXPECT_EQ(n, static_cast<ssize_t>(kLogLineSize - 1));
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)),
            text + std::string(kLogLineSize - 2 - 1000, 'p') + "\n");
  EXPECT_EQ(::read(fds[0], buffer, sizeof buffer), 0);
  ::close(fds[0]);
}

TEST(LogPrintTest, LinesOfManyThreadsStayWholeInAFile) {
  testing::TempDir dir;
  const std::string path = dir.path() + "log.txt";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0);
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  {
    StdoutRedirect redirect(fd);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        const std::string body(900, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) LogPrint("%d %s\n", t, body.c_str());
      });
    }
    for (std::thread& th : threads) th.join();
  }
  ::close(fd);

  std::ifstream in(path);
  std::string line;
  int count[kThreads] = {};
  while (std::getline(in, line)) {
    ASSERT_EQ(line.size(), 902u);
    int t = line[0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line.substr(0, 20);
    EXPECT_EQ(line.substr(2), std::string(900, static_cast<char>('a' + t)));
    ++count[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(count[t], kLines);
}

// Batched: the lines of many threads come out whole, each thread's in its
// order, a flush waits until they are out, and the end of the batching
// writes what still waits.
TEST(LogBatchingTest, LinesStayWholeAndInOrderAndNoneIsLeftBehind) {
  testing::TempDir dir;
  const std::string path = dir.path() + "log.txt";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0);
  constexpr int kThreads = 4;
  constexpr int kLines = 3000;
  {
    StdoutRedirect redirect(fd);
    LogBatching batching;
    LogPrint("first\n");
    FlushLog();
    EXPECT_EQ(std::filesystem::file_size(path), 6u);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        const std::string body(500, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) LogPrint("%d %d %s\n", t, i, body.c_str());
      });
    }
    for (std::thread& th : threads) th.join();
  }
  ::close(fd);

  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "first");
  int next[kThreads] = {};
  while (std::getline(in, line)) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d %d", &t, &i), 2) << line.substr(0, 20);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]++);
    EXPECT_EQ(line.substr(line.size() - 500), std::string(500, static_cast<char>('a' + t)));
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

// A process that dies of a fatal signal still writes the lines that wait.
TEST(LogBatchingTest, AFatalSignalWritesWhatWaits) {
  testing::TempDir dir;
  const std::string path = dir.path() + "log.txt";
  constexpr int kLines = 20000;
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(fd, STDOUT_FILENO);
    LogBatching batching;
    for (int i = 0; i < kLines; ++i) LogPrint("line %d\n", i);
    std::abort();
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  std::ifstream in(path);
  std::string line;
  std::vector<bool> seen(kLines, false);
  while (std::getline(in, line)) {
    int i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "line %d", &i), 1) << line;
    ASSERT_TRUE(i >= 0 && i < kLines);
    seen[static_cast<size_t>(i)] = true;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0);
}

TEST(LogPrintTest, TheTeeSeesEveryPrintedLine) {
  testing::LogCapture capture;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    StdoutRedirect redirect(fds[1]);
    LogPrint("%D %s=%L\n", "x", int64_t{-5});
  }
  ::close(fds[1]);
  ::close(fds[0]);
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(19), " x=-5\n");
}

TEST(CreateDirectoriesTest, MakesMissingParentsAndReportsWhatCannotBeMade) {
  testing::TempDir dir;
  Env* env = Env::Default();
  const std::string deep = dir.path() + "a/b/c";
  EXPECT_TRUE(env->CreateDirectories(deep).ok());
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  // Existing directories are left as they are.
  auto before = std::filesystem::last_write_time(dir.path() + "a");
  EXPECT_TRUE(env->CreateDirectories(dir.path() + "a/b/").ok());
  EXPECT_EQ(std::filesystem::last_write_time(dir.path() + "a"), before);
  // Below a file nothing can be made, and the caller is told.
  dir.Write("file", "x");
  Status below = env->CreateDirectories(dir.path() + "file/sub");
  EXPECT_FALSE(below.ok());
  EXPECT_EQ(below.error(), ENOTDIR);
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "file/sub"));
}

// Today's date as date(1) prints it.
int DateCommandToday() {
  FILE* p = ::popen("date +%Y%m%d", "r");
  if (p == nullptr) return -1;
  int value = -1;
  if (std::fscanf(p, "%d", &value) != 1) value = -1;
  ::pclose(p);
  return value;
}

TEST(TodayAsNumberTest, MatchesTheLocalDate) {
  int before = DateCommandToday();
  int today = TodayAsNumber();
  int after = DateCommandToday();
  ASSERT_GT(before, 0);
  // Midnight may pass between the readings.
  EXPECT_TRUE(today == before || today == after) << today;
  EXPECT_GE(today / 10000, 2024);
  EXPECT_GE(today % 10000 / 100, 1);
  EXPECT_LE(today % 10000 / 100, 12);
  EXPECT_GE(today % 100, 1);
  EXPECT_LE(today % 100, 31);
}

}  // namespace
}  // namespace dirsync
