#include "e2e/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace dirsync::e2e {

ChildProcess::~ChildProcess() {
  if (!reaped_) Kill();
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::string& logPath,
                         const std::vector<std::string>& environment) {
  if (!reaped_ || argv.empty()) return false;
  // Everything the child needs is prepared before the fork: between fork
  // and exec only async-signal-safe calls are made.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) envText.emplace_back(*e);
  for (const std::string& e : environment) envText.push_back(e);
  std::vector<char*> env;
  for (const std::string& e : envText) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) return false;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(log);
    return false;
  }
  if (pid == 0) {
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    // The test runner may block signals; the program starts as a shell
    // would start it.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(args[0], args.data(), env.data());
    ::_exit(127);
  }
  ::close(log);
  pid_ = pid;
  reaped_ = false;
  status_ = 0;
  return true;
}

bool ChildProcess::running() {
  if (reaped_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    status_ = status;
    return false;
  }
  return true;
}

void ChildProcess::Signal(int signo) {
  if (!reaped_) ::kill(pid_, signo);
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

int ChildProcess::Stop(std::chrono::milliseconds limit) {
  if (reaped_) return status_;
  Signal(SIGTERM);
  int status = Wait(limit);
  if (status != -1) return status;
  Kill();
  return status_;
}

void ChildProcess::Kill() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  reaped_ = true;
  status_ = status;
}

std::string DescribeStatus(int status) {
  if (status == -1) return "still running";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string LastLines(const std::string& text, size_t count) {
  size_t start = text.size();
  // The line end of the last line is not a line of its own.
  if (start > 0 && text[start - 1] == '\n') --start;
  for (size_t n = 0; n < count && start > 0; ++n) {
    size_t end = text.rfind('\n', start - 1);
    start = end == std::string::npos ? 0 : end;
  }
  return start == 0 ? text : text.substr(start + 1);
}

}  // namespace dirsync::e2e
