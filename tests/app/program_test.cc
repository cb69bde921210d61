// Runs the built dirsync program from a directory of its own, as an
// operator would: the program reads dirsync.ini beside itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace dirsync {
namespace {

using Clock = std::chrono::steady_clock;

// The program under test, started with its standard output on a pipe.
class Program {
 public:
  explicit Program(const std::string& path) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::dup2(fds[1], STDERR_FILENO);
      // The test runner may have blocked signals; the program starts as a
      // shell would start it.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }

  ~Program() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  bool started() const { return pid_ > 0 && out_ >= 0; }

  // Reads output until it holds text or the time is up.
  bool WaitForOutput(const std::string& text,
                     std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }

  // Reads output until text occurs count times or the time is up.
  bool WaitForCount(const std::string& text, size_t count,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (CountOf(text) < count) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }

  size_t CountOf(const std::string& text) const {
    size_t count = 0;
    for (size_t at = output_.find(text); at != std::string::npos;
         at = output_.find(text, at + 1)) {
      ++count;
    }
    return count;
  }

  // Waits for the program to end and reads the rest of its output.
  // Returns the wait status, or -1 when it did not end in time.
  int WaitForExit(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (ReadSome(deadline)) {
    }
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return status;
      }
      ::usleep(10000);
    }
    return -1;
  }

  bool StillRunning() {
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
  }

  void Signal(int signo) { ::kill(pid_, signo); }
  // Stops reading: the program's next write meets a closed pipe.
  void CloseOutput() {
    ::close(out_);
    out_ = -1;
  }
  const std::string& output() const { return output_; }

 private:
  // Reads one chunk; false at the end of the output or at the deadline.
  bool ReadSome(Clock::time_point deadline) {
    if (out_ < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
  std::string output_;
};

constexpr const char* kBanner = " Quillon Directory Sync Server V1.0.0\n";
constexpr const char* kNoTask = " 没有配置同步任务！\n";
constexpr const char* kExit = " Exit!\n";

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = dir_.path() + "dirsync";
    std::filesystem::copy_file(DIRSYNC_BINARY_PATH, program_);
  }

  void WriteTwoTaskConfig() {
    const std::string c = dir_.MakeDir("volumes/c");
    const std::string d = dir_.MakeDir("volumes/d");
    dir_.MakeDir("volumes/c/Projects");
    dir_.MakeDir("volumes/d/Share/Docs");
    dir_.Write("dirsync.ini",
               "[drives]\nC = " + c + "\nd = " + d +
                   "\n"
                   "[task-1]\nname = docs\npath = d:\\share\\docs\n"
                   "[task-2]\nname = projects\npath = C:\\Projects\n"
                   "timeout = 500\n"
                   "[DB]\nPORT = 0\n");
  }

  testing::TempDir dir_;
  std::string program_;
};

TEST_F(ProgramTest, WithoutAConfigurationItSaysSoAndEnds) {
  Program p(program_);
  ASSERT_TRUE(p.started());
  int status = p.WaitForExit();
  ASSERT_TRUE(WIFEXITED(status)) << p.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Exactly the two lines, in order, each behind a timestamp.
  const std::string& out = p.output();
  size_t banner = out.find(kBanner);
  size_t noTask = out.find(kNoTask);
  ASSERT_NE(banner, std::string::npos) << out;
  ASSERT_NE(noTask, std::string::npos) << out;
  EXPECT_LT(banner, noTask);
  EXPECT_EQ(out.size(), 2 * 19 + std::string(kBanner).size() +
                            std::string(kNoTask).size())
      << out;
  EXPECT_EQ(out.find(kExit), std::string::npos);
}

class ProgramStopTest : public ProgramTest,
                        public ::testing::WithParamInterface<int> {};

TEST_P(ProgramStopTest, RunsUntilAConsoleEventThenLogsExit) {
  WriteTwoTaskConfig();
  Program p(program_);
  ASSERT_TRUE(p.started());
  ASSERT_TRUE(p.WaitForOutput(kBanner)) << p.output();
  // It keeps running: give it time to fall over if it were going to.
  EXPECT_FALSE(p.WaitForOutput(kExit, std::chrono::milliseconds(300)));
  ASSERT_TRUE(p.StillRunning()) << p.output();
  EXPECT_EQ(p.output().find(kNoTask), std::string::npos);

  p.Signal(GetParam());
  int status = p.WaitForExit();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << p.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(p.output().find(kExit), std::string::npos) << p.output();
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramStopTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

TEST_F(ProgramTest, SigUsr1LogsTheNetworkStatusAndKeepsItRunning) {
  WriteTwoTaskConfig();
  Program p(program_);
  ASSERT_TRUE(p.started());
  ASSERT_TRUE(p.WaitForOutput(kBanner)) << p.output();
  // A request before the library has started, or before it listens,
  // reports fewer threads or ports: ask until it reports the listening
  // port (threads start before the port is opened).
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  do {
    p.Signal(SIGUSR1);
  } while (!p.WaitForOutput(" Listen Ports: 1\n", std::chrono::milliseconds(500)) &&
           Clock::now() < deadline);
  // The status arrives line by line: the thread count follows the ports.
  ASSERT_TRUE(p.WaitForOutput(" \tNet Threads: 6\n")) << p.output();
  EXPECT_NE(p.output().find(" Net Status:\n"), std::string::npos) << p.output();
  EXPECT_NE(p.output().find(" Listen Ports: 1\n"), std::string::npos) << p.output();
  EXPECT_NE(p.output().find(" Active Handles: 0\n"), std::string::npos) << p.output();

  // It keeps running and answers the next request too.
  const size_t before = p.CountOf("\tNet Threads: 6\n");
  p.Signal(SIGUSR1);
  EXPECT_TRUE(p.WaitForCount("\tNet Threads: 6\n", before + 1)) << p.output();
  ASSERT_TRUE(p.StillRunning()) << p.output();

  p.Signal(SIGTERM);
  int status = p.WaitForExit();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << p.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(p.output().find(kExit), std::string::npos) << p.output();
}

// A port it cannot listen on ends the server with a line saying why and a
// status that tells a service manager to start it again.
TEST_F(ProgramTest, APortItCannotListenOnEndsItWithStatusOne) {
  const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(taken, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int port = ntohs(address.sin_port);
  dir_.MakeDir("volumes/d/Docs");
  dir_.Write("dirsync.ini", "[drives]\nD = " + dir_.path() + "volumes/d\n"
                            "[task-1]\nname = docs\npath = D:\\Docs\n"
                            "[DB]\nPORT = " + std::to_string(port) + "\n");
  Program p(program_);
  ASSERT_TRUE(p.started());
  int status = p.WaitForExit();
  ::close(taken);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << p.output();
  EXPECT_EQ(WEXITSTATUS(status), 1) << p.output();
  EXPECT_NE(p.output().find(" cannot listen on port " + std::to_string(port) +
                            ": Address already in use; the server stops\n"),
            std::string::npos)
      << p.output();
  EXPECT_NE(p.output().find(kExit), std::string::npos) << p.output();
}

TEST_F(ProgramTest, AtStartItNamesCredentialsThatTwoTasksCouldClaim) {
  const std::string c = dir_.MakeDir("volumes/c");
  const std::string d = dir_.MakeDir("volumes/d");
  dir_.MakeDir("volumes/c/Y");
  dir_.MakeDir("volumes/d/Docs");
  dir_.Write("dirsync.ini", "[drives]\nC = " + c + "\nD = " + d +
                                "\n[task-1]\nname = docs\npath = D:\\Docs\n"
                                "[task-2]\nname = docs-y\npath = C:\\Y\n"
                                "[DB]\nPORT = 0\nADDRESS = 127.0.0.1\n");
  dir_.MakeDir("user/docs");
  dir_.Write("user/docs/carol", "t");     // the new layout: never in doubt
  dir_.Write("user/docs-y-carol", "t");   // carol of docs-y, or y-carol of docs
  dir_.Write("user/docs-bob", "t");       // only docs can claim it
  Program p(program_);
  ASSERT_TRUE(p.started());
  ASSERT_TRUE(p.WaitForOutput(" Credential user/docs-y-carol is refused: it could "
                              "belong to tasks docs-y, docs. Move it to "
                              "user/<task>/<uid>.\n"))
      << p.output();
  p.Signal(SIGTERM);
  int status = p.WaitForExit();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << p.output();
  EXPECT_EQ(p.CountOf(" Credential user/"), 1u) << p.output();
}

TEST_F(ProgramTest, ALogReaderThatGoesAwayDoesNotEndIt) {
  WriteTwoTaskConfig();
  Program p(program_);
  ASSERT_TRUE(p.started());
  ASSERT_TRUE(p.WaitForOutput(kBanner)) << p.output();
  p.CloseOutput();
  p.Signal(SIGINT);  // "Exit!" now goes to a closed pipe
  int status = p.WaitForExit();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ProgramTest, ASignalBeforeTheHandlerRunsStillEndsItCleanly) {
  WriteTwoTaskConfig();
  Program p(program_);
  ASSERT_TRUE(p.started());
  p.Signal(SIGTERM);  // possibly before main has blocked the signals
  int status = p.WaitForExit();
  // Either the default action ended it at once, or the handler did.
  if (WIFEXITED(status)) {
    EXPECT_EQ(WEXITSTATUS(status), 0);
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
        << "status " << status;
  }
}

}  // namespace
}  // namespace dirsync
