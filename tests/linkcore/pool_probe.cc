#include "pool_probe.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace linkcore_test {

namespace {
CallbackProbe* installed = nullptr;
}  // namespace

CallbackProbe::CallbackProbe() { installed = this; }
CallbackProbe::~CallbackProbe() { installed = nullptr; }

void CallbackProbe::Callback(KRL_Pool* pool, const char* data,
                             unsigned length, uint64_t param) {
  CallbackProbe* probe = installed;
  std::function<void()> work;
  {
    std::unique_lock<std::mutex> lock(probe->mutex_);
    ++probe->entered_;
    probe->changed_.notify_all();
    probe->changed_.wait(lock, [probe] { return probe->gateOpen_; });
    work = probe->work_;
  }
  if (work) work();
  Delivery delivery{pool, data == nullptr,
                    data == nullptr ? std::string() : std::string(data, length),
                    length, param};
  std::lock_guard<std::mutex> lock(probe->mutex_);
  probe->deliveries_.push_back(std::move(delivery));
  probe->changed_.notify_all();
}

void CallbackProbe::CloseGate() {
  std::lock_guard<std::mutex> lock(mutex_);
  gateOpen_ = false;
}

void CallbackProbe::OpenGate() {
  std::lock_guard<std::mutex> lock(mutex_);
  gateOpen_ = true;
  changed_.notify_all();
}

void CallbackProbe::SetWork(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex_);
  work_ = std::move(work);
}

bool CallbackProbe::WaitUntil(const std::function<bool()>& done) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(10), done);
}

bool CallbackProbe::WaitEntered(int count) {
  return WaitUntil([&] { return entered_ >= count; });
}

bool CallbackProbe::WaitDelivered(size_t count) {
  return WaitUntil([&] { return deliveries_.size() >= count; });
}

int CallbackProbe::entered() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entered_;
}

size_t CallbackProbe::delivered() {
  std::lock_guard<std::mutex> lock(mutex_);
  return deliveries_.size();
}

std::vector<Delivery> CallbackProbe::deliveries() {
  std::lock_guard<std::mutex> lock(mutex_);
  return deliveries_;
}

bool Eventually(const std::function<bool()>& done,
                std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

namespace {
char ThreadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)),
                   std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return '?';
  return text[close + 2];
}
}  // namespace

bool WaitUntilThreadSleeps(pid_t tid) {
  return Eventually([tid] { return ThreadState(tid) == 'S'; });
}

bool CanLimitThreads() { return geteuid() == 0; }

int RunWithThreadLimit(int maxThreads, const std::function<int()>& body,
                       std::string* errorText) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    // The thread limit is not enforced for root, and it counts every task
    // of the real user: switch to a user id nobody else runs under.
    const uid_t uid = 61000 + static_cast<uid_t>(getpid() % 4000);
    const rlimit limit{static_cast<rlim_t>(maxThreads),
                       static_cast<rlim_t>(maxThreads)};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(101);
    if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) {
      _exit(102);
    }
    const int rc = body();
    // _exit: no exit-time leak scan, which would need a thread of its own.
    _exit(rc);
  }
  close(pipeFds[1]);
  errorText->clear();
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    errorText->append(buffer, static_cast<size_t>(got));
  }
  close(pipeFds[0]);
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace linkcore_test
