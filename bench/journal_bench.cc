// Journal benchmark: the full scan and initial build of a large tree
// (against a bare getdents64 + statx walk of the same tree in the same run,
// the physical limit), memory per catalog entry, the change rate the
// journal keeps up with, and the delay from a write to its store record.
//
//   journal_bench scan    [FILES] [DIRS] [BASE]   default 1000000 10000 /tmp
//   journal_bench churn   [FILES] [BASE]          default 100000 /tmp
//   journal_bench latency [SAMPLES] [BASE]        default 200 /tmp
//   journal_bench tree    FILES DIRS BASE
//   journal_bench catalog BASE
//
// Each run builds its tree in a fresh directory below BASE and removes it
// afterwards, but for "tree", which makes the tree of "scan" in
// BASE/vol/Root and leaves it, and "catalog", which times one start of a
// server (a fresh store, so a full scan and the initial build) on that
// tree, to be compared with other tools on the same tree. Changes are made by a child process (this program in writer
// mode), because the journal drops the server's own events. The server's
// log lines go to /dev/null; the figures to standard error. Needs root
// (fanotify, open_by_handle_at).
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/server.h"
#include "platform/log.h"
#include "tracking/volume_watch.h"
#include "platform/drive_map.h"
#include "catalog/catalog_record.h"
#include "catalog/sync_task.h"
#include "tracking/volume_monitor.h"

extern char** environ;

namespace {

using namespace dirsync;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of the whole process (every thread), which other
// processes on a shared machine do not inflate as they do wall-clock time.
double ProcessCpuSeconds() {
  timespec t;
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

int64_t HeapBytesInUse() {
  struct mallinfo2 info = ::mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

int64_t ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f != nullptr) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<int64_t>(resident) * ::sysconf(_SC_PAGESIZE);
}

std::string FileName(const std::string& root, int dir, int file) {
  return root + "/d" + std::to_string(dir) + "/f" + std::to_string(file);
}

// ---- writer mode (a process of its own) ---------------------------------

// writer create ROOT DIRS FILES | writer delete ROOT DIRS FILES |
// writer serve (reads "PATH" lines, writes each file, answers "ok").
int RunWriter(int argc, char** argv) {
  std::string mode = argc > 2 ? argv[2] : "";
  if (mode == "serve") {
    char line[4096];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
      line[std::strcspn(line, "\n")] = '\0';
      int fd = ::open(line, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd >= 0) {
        ssize_t n = ::write(fd, "x", 1);
        (void)n;
        ::close(fd);
      }
      std::fputs("ok\n", stdout);
      std::fflush(stdout);
    }
    return 0;
  }
  if (argc < 6) return 2;
  std::string root = argv[3];
  int dirs = std::atoi(argv[4]);
  int files = std::atoi(argv[5]);
  for (int i = 0; i < files; ++i) {
    std::string path = FileName(root, i % dirs, i);
    if (mode == "create") {
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) return 1;
      ::close(fd);
    } else if (::unlink(path.c_str()) != 0) {
      return 1;
    }
  }
  return 0;
}

pid_t SpawnWriter(std::vector<std::string> args, int* toChild, int* fromChild) {
  std::vector<char*> argv;
  std::string self = "/proc/self/exe";
  args.insert(args.begin(), {self, "writer"});
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if (toChild != nullptr) {
    if (::pipe(in) != 0 || ::pipe(out) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
  }
  pid_t pid = -1;
  // The child's log-free stdout must not be /dev/null when it answers.
  if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  if (toChild != nullptr) {
    ::close(in[0]);
    ::close(out[1]);
    *toChild = in[1];
    *fromChild = out[0];
  }
  return pid;
}

int WaitFor(pid_t pid) {
  int status = -1;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- a running server on one volume ------------------------------------

class LogLines : public LogTee {
 public:
  void Write(const char* line, size_t length) override {
    std::lock_guard<std::mutex> guard(lock_);
    text_.append(line, length);
  }
  // The integer after key in the last line that holds line, or -1.
  long Number(const char* line, const char* key) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t at = text_.rfind(line);
    if (at == std::string::npos) return -1;
    at = text_.find(key, at);
    return at == std::string::npos ? -1 : std::atol(text_.c_str() + at + std::strlen(key));
  }

 private:
  std::mutex lock_;
  std::string text_;
};

class BenchServer {
 public:
  BenchServer(const std::string& base, int32_t timeoutMs) : base_(base) {
    std::filesystem::create_directories(base + "/program");
    std::filesystem::create_directories(base + "/vol/Root");
    Server::Options options;
    options.programDirectory = base + "/program/";
    server_ = std::make_unique<Server>(options);
    server_->drives().Set('J', base + "/vol");
    bool created = false;
    VolumeWatch& volume = server_->VolumeFor('J', timeoutMs, &created);
    volume.tasks["bench"] =
        OpenTask("bench", "J:\\ROOT\\", "", server_->storeOptions());
    task_ = volume.tasks["bench"].get();
  }
  ~BenchServer() { Stop(); }
  std::string root() const { return base_ + "/vol/Root"; }
  SyncTask* task() { return task_; }

  void Start() {
    server_->StartWatching();
    started_ = true;
    while (!server_->Following()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  void Stop() {
    if (!started_) return;
    server_->RequestStop();
    server_->StopWatching();
    started_ = false;
  }
  // Live files (states 1 to 3) and deleted files (255) in the catalog.
  void Count(size_t* live, size_t* deleted) {
    ReaderLock lock(&task_->catalogLock);
    *live = *deleted = 0;
    for (const auto& [ref, entry] : task_->entries) {
      if (IsLiveFileState(entry.state())) ++*live;
      if (entry.state() == StateDeleted) ++*deleted;
    }
  }

 private:
  std::string base_;
  std::unique_ptr<Server> server_;
  SyncTask* task_;
  bool started_ = false;
};

std::string FreshBase(const std::string& parent) {
  std::string pattern = parent + "/journal-bench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return buffer.data();
}

// ---- scan ----------------------------------------------------------------

// Every entry below dir read with getdents64 and looked at with statx.
size_t BareWalk(int dirfd) {
  size_t count = 0;
  std::vector<unsigned char> buffer(64 * 1024);
  while (true) {
    long n = ::syscall(SYS_getdents64, dirfd, buffer.data(), buffer.size());
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      unsigned short reclen;
      std::memcpy(&reclen, &buffer[static_cast<size_t>(at) + 16], sizeof reclen);
      const char* name = reinterpret_cast<const char*>(&buffer[static_cast<size_t>(at) + 19]);
      at += reclen;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      struct statx st;
      if (::statx(dirfd, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &st) != 0) continue;
      ++count;
      if (S_ISDIR(st.stx_mode)) {
        int child = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (child >= 0) {
          count += BareWalk(child);
          ::close(child);
        }
      }
    }
  }
  return count;
}

// FILES empty files spread over DIRS directories below root.
void MakeTree(const std::string& root, int files, int dirs) {
  for (int d = 0; d < dirs; ++d) {
    std::filesystem::create_directories(root + "/d" + std::to_string(d));
  }
  for (int i = 0; i < files; ++i) {
    int fd = ::open(FileName(root, i % dirs, i).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
}

// One start of a server on a fresh store over the tree below base: the
// full scan and the initial build.
struct ScanRun {
  double seconds = 0;
  double cpu = 0;
  size_t entries = 0;
  long walkMs = 0;
  long buildMs = 0;
  double heapPerEntry = 0;
  double residentPerEntry = 0;
};

ScanRun TimeOneScan(const std::string& base, LogLines* log) {
  std::filesystem::remove_all(base + "/program");
  ScanRun run;
  {
    BenchServer server(base, 1000);
    int64_t heapBefore = HeapBytesInUse();
    int64_t residentBefore = ResidentBytes();
    auto started = Clock::now();
    double cpuStarted = ProcessCpuSeconds();
    server.Start();
    run.seconds = SecondsSince(started);
    run.cpu = ProcessCpuSeconds() - cpuStarted;
    run.entries = server.task()->entries.size();
    run.walkMs = log->Number("begin = ", "time=");
    run.buildMs = log->Number("Init_Volume", "time=") - run.walkMs;
    run.heapPerEntry = static_cast<double>(HeapBytesInUse() - heapBefore) / run.entries;
    run.residentPerEntry = static_cast<double>(ResidentBytes() - residentBefore) / run.entries;
    server.Stop();
  }
  std::filesystem::remove_all(base + "/program");
  return run;
}

// The bare walk and the server's scan take turns, three timed rounds
// after one walk that warms the caches, and each side's median is
// reported: one run of each swings with the machine's spells. Memory is
// taken from the first scan, the only one that starts from a process that
// has not held a catalog before.
int Scan(int files, int dirs, const std::string& parent) {
  std::string base = FreshBase(parent);
  LogLines log;
  SetLogTee(&log);
  {
    auto started = Clock::now();
    std::filesystem::create_directories(base + "/vol/Root");
    MakeTree(base + "/vol/Root", files, dirs);
    std::fprintf(stderr, "tree: %d files in %d directories made in %.1f s\n", files,
                 dirs, SecondsSince(started));
  }
  auto bareWalk = [&](double* seconds, double* cpu) {
    auto started = Clock::now();
    double cpuStarted = ProcessCpuSeconds();
    int fd = ::open((base + "/vol/Root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t walked = BareWalk(fd);
    ::close(fd);
    *seconds = SecondsSince(started);
    *cpu = ProcessCpuSeconds() - cpuStarted;
    return walked;
  };
  double seconds, cpu;
  size_t walked = bareWalk(&seconds, &cpu);
  constexpr int kRounds = 3;
  std::vector<double> bare, bareCpu;
  std::vector<ScanRun> scans;
  for (int round = 0; round < kRounds; ++round) {
    walked = bareWalk(&seconds, &cpu);
    bare.push_back(seconds);
    bareCpu.push_back(cpu);
    scans.push_back(TimeOneScan(base, &log));
    std::fprintf(stderr, "round %d: bare walk %.3f s, full scan + initial build %.3f s "
                 "(walk %ld ms, build %ld ms)\n", round + 1, seconds, scans.back().seconds,
                 scans.back().walkMs, scans.back().buildMs);
  }
  SetLogTee(nullptr);
  const ScanRun first = scans.front();
  auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  std::sort(scans.begin(), scans.end(),
            [](const ScanRun& a, const ScanRun& b) { return a.seconds < b.seconds; });
  const ScanRun& scan = scans[scans.size() / 2];
  std::vector<double> scanCpus;
  for (const ScanRun& run : scans) scanCpus.push_back(run.cpu);
  const double bareMedian = median(bare), bareCpuMedian = median(bareCpu);
  const double scanCpu = median(scanCpus);
  std::fprintf(stderr,
               "bare walk (getdents64 + statx), median of %d: %zu entries in %.2f s = %.0f "
               "entries/s\n",
               kRounds, walked, bareMedian, walked / bareMedian);
  std::fprintf(stderr,
               "full scan + initial build, median of %d: %zu entries in %.2f s = %.0f entries/s "
               "(walk %ld ms, build %ld ms); %.2fx the bare walk\n",
               kRounds, scan.entries, scan.seconds, scan.entries / scan.seconds, scan.walkMs,
               scan.buildMs, scan.seconds / bareMedian);
  std::fprintf(stderr,
               "processor time: bare walk %.2f s = %.0f entries/s, full scan + initial build "
               "%.2f s = %.0f entries/s; %.2fx the bare walk\n",
               bareCpuMedian, walked / bareCpuMedian, scanCpu, scan.entries / scanCpu,
               scanCpu / bareCpuMedian);
  std::fprintf(stderr, "memory per catalog entry: %.0f bytes of heap, %.0f bytes resident\n",
               first.heapPerEntry, first.residentPerEntry);
  std::filesystem::remove_all(base);
  return 0;
}

// The tree of Scan in base/vol/Root, left in place.
int Tree(int files, int dirs, const std::string& base) {
  auto started = Clock::now();
  MakeTree(base + "/vol/Root", files, dirs);
  std::fprintf(stderr, "tree: %d files in %d directories made in %.1f s\n", files, dirs,
               SecondsSince(started));
  return 0;
}

// One start of a server with a fresh store on the tree in base/vol/Root:
// the full scan and the initial build, until the server follows.
int Catalog(const std::string& base) {
  LogLines log;
  ScanRun run = TimeOneScan(base, &log);
  std::fprintf(stderr,
               "initial catalog: %zu entries in %.3f s = %.0f entries/s, %.3f s of processor\n",
               run.entries, run.seconds, run.entries / run.seconds, run.cpu);
  return 0;
}

// ---- churn ---------------------------------------------------------------

int Churn(int files, const std::string& parent) {
  const int dirs = 100;
  std::string base = FreshBase(parent);
  {
    BenchServer server(base, 50);
    for (int d = 0; d < dirs; ++d) {
      std::filesystem::create_directory(server.root() + "/d" + std::to_string(d));
    }
    server.Start();
    size_t live = 0, deleted = 0;
    for (const char* phase : {"create", "delete"}) {
      auto started = Clock::now();
      pid_t writer = SpawnWriter({phase, server.root(), std::to_string(dirs),
                                  std::to_string(files)},
                                 nullptr, nullptr);
      if (WaitFor(writer) != 0) {
        std::fprintf(stderr, "writer failed\n");
        return 1;
      }
      double writing = SecondsSince(started);
      bool creating = std::strcmp(phase, "create") == 0;
      auto deadline = Clock::now() + std::chrono::seconds(120);
      // A deletion counts once its file is no longer live in the catalog:
      // deleted entries are forgotten once recorded, so they cannot be
      // counted themselves.
      size_t done = 0;
      do {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server.Count(&live, &deleted);
        done = creating ? live : static_cast<size_t>(files) - std::min(live, static_cast<size_t>(files));
      } while (done < static_cast<size_t>(files) && Clock::now() < deadline);
      double total = SecondsSince(started);
      std::fprintf(stderr,
                   "%s %d files: writer %.2f s (%.0f files/s); in the catalog after %.2f s "
                   "= %.0f changes/s kept up with; %zu of %d recorded\n",
                   phase, files, writing, files / writing, total, files / total,
                   done, files);
    }
    server.Stop();
  }
  std::filesystem::remove_all(base);
  return 0;
}

// ---- latency -------------------------------------------------------------

int Latency(int samples, const std::string& parent) {
  std::string base = FreshBase(parent);
  {
    BenchServer server(base, 0);
    server.Start();
    int toChild = -1, fromChild = -1;
    pid_t writer = SpawnWriter({"serve"}, &toChild, &fromChild);
    std::vector<double> delays;
    for (int i = 0; i < samples; ++i) {
      int64_t before = server.task()->store.storeSize.load();
      std::string line = server.root() + "/l" + std::to_string(i) + "\n";
      auto started = Clock::now();
      if (::write(toChild, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
      char ack[8];
      if (::read(fromChild, ack, sizeof ack) <= 0) break;
      while (server.task()->store.storeSize.load() == before &&
             SecondsSince(started) < 5) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      delays.push_back(SecondsSince(started) * 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    ::close(toChild);
    ::close(fromChild);
    WaitFor(writer);
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
      auto at = [&](double q) { return delays[static_cast<size_t>(q * (delays.size() - 1))]; };
      std::fprintf(stderr,
                   "write -> store record, quiet period 0, %zu samples: median %.2f ms, "
                   "p90 %.2f ms, max %.2f ms\n",
                   delays.size(), at(0.5), at(0.9), delays.back());
    }
    server.Stop();
  }
  std::filesystem::remove_all(base);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "writer") return RunWriter(argc, argv);
  int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);
  if (mode == "scan") {
    return Scan(argc > 2 ? std::atoi(argv[2]) : 1000000,
                argc > 3 ? std::atoi(argv[3]) : 10000, argc > 4 ? argv[4] : "/tmp");
  }
  if (mode == "churn") {
    return Churn(argc > 2 ? std::atoi(argv[2]) : 100000, argc > 3 ? argv[3] : "/tmp");
  }
  if (mode == "latency") {
    return Latency(argc > 2 ? std::atoi(argv[2]) : 200, argc > 3 ? argv[3] : "/tmp");
  }
  if (mode == "tree" && argc > 4) {
    return Tree(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
  }
  if (mode == "catalog" && argc > 2) return Catalog(argv[2]);
  std::fprintf(stderr, "usage: journal_bench scan|churn|latency|tree|catalog [...]\n");
  return 2;
}
