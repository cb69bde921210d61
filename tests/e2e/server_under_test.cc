#include "e2e/server_under_test.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace dirsync::e2e {
namespace {

bool WriteWhole(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

bool Listens(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

ServerUnderTest::ServerUnderTest(const Sandbox& sandbox, ServerSettings settings)
    : sandbox_(sandbox), settings_(std::move(settings)) {}

bool ServerUnderTest::Prepare() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string dir = sandbox_.serverDir();
  // The program finds its configuration beside /proc/self/exe, so it runs
  // from a copy; its shared library comes through its run path or the
  // library path given at start.
  fs::copy_file(DIRSYNC_BINARY_PATH, dir + "/dirsync",
                fs::copy_options::overwrite_existing, ec);
  if (ec) {
    error_ = "cannot copy the program: " + ec.message();
    return false;
  }
  fs::create_directories(dir + "/user", ec);
  port_ = settings_.port != 0 ? settings_.port : FreePort();
  if (port_ == 0) {
    error_ = "no free port";
    return false;
  }
  // Drive D is the sandbox's volume; the task's root is its Root folder
  // (which the upper-cased root path names without regard to case).
  std::ostringstream ini;
  ini << "; end-to-end test server\n"
      << "[drives]\nD = " << sandbox_.volume() << "\n"
      << "[task-1]\nname = " << settings_.task << "\npath = D:\\Root\n"
      << "timeout = " << settings_.timeoutMs << "\n";
  if (!settings_.exclude.empty()) ini << "exclude = " << settings_.exclude << "\n";
  ini
      << "[DB]\nPORT = " << port_ << "\n";
  if (settings_.compactMinKiB >= 0) {
    ini << "COMPACTMINKB = " << settings_.compactMinKiB << "\n";
  }
  if (!settings_.tlsCert.empty()) {
    do {
      tlsPort_ = FreePort();
    } while (tlsPort_ == port_);
    ini << "TLSPORT = " << tlsPort_ << "\nCERT = " << settings_.tlsCert
        << "\nKEY = " << settings_.tlsKey << "\n";
    if (!settings_.tlsClientCa.empty()) {
      ini << "CLIENTCA = " << settings_.tlsClientCa << "\n";
    }
  }
  if (!WriteWhole(dir + "/dirsync.ini", ini.str()) ||
      !WriteWhole(dir + "/user/" + settings_.task + "-" + settings_.user,
                  settings_.token) ||
      !WriteWhole(tokenFile(), settings_.token)) {
    error_ = "cannot write the configuration";
    return false;
  }
  return true;
}

bool ServerUnderTest::Launch() {
  runStart_ = Log().size();
  const std::string program = sandbox_.serverDir() + "/dirsync";
  const std::string libraryDir =
      std::filesystem::path(LINKCORE_LIBRARY_PATH).parent_path().string();
  std::vector<std::string> argv = settings_.launcher;
  argv.push_back(program);
  if (!process_.Start(argv, logPath(), {"LD_LIBRARY_PATH=" + libraryDir})) {
    error_ = "cannot start " + program;
    return false;
  }
  return true;
}

bool ServerUnderTest::WaitReady(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  // Ready: it listens and its start-up scan (full or catch-up) is over.
  while (std::chrono::steady_clock::now() < deadline) {
    if (!process_.running()) {
      error_ = "the server ended (" + DescribeStatus(process_.status()) +
               ") during start-up";
      return false;
    }
    if (LogOfThisRun().find(" begin = ") != std::string::npos && Listens(port_) &&
        (tlsPort_ == 0 || Listens(tlsPort_))) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error_ = "the server did not get ready in time";
  return false;
}

bool ServerUnderTest::Stop() {
  int status = process_.Stop();
  bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
               LogOfThisRun().find(" Exit!") != std::string::npos;
  if (!clean) error_ = "unclean stop: " + DescribeStatus(status);
  return clean;
}

std::string ServerUnderTest::Log() const { return ReadText(logPath()); }

bool ServerUnderTest::LogOfThisRunShows(const std::string& text,
                                        std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (LogOfThisRun().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string ServerUnderTest::LogOfThisRun() const {
  std::string log = Log();
  return runStart_ <= log.size() ? log.substr(runStart_) : log;
}

std::vector<std::string> ServerUnderTest::StoreFailures() const {
  // A torn last record cut off after a crash is expected and harmless;
  // failing to read, cut back or write the store is not, and neither is a
  // damaged block.
  static const std::regex failure(
      "damaged store|cannot open store|reading at offset .* failed|"
      "cutting .* failed|writing .* failed|fdatasync failed|no store");
  std::vector<std::string> lines;
  std::istringstream in(Log());
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, failure)) lines.push_back(line);
  }
  return lines;
}

std::string ServerUnderTest::LogTail(size_t lines) const {
  return LastLines(Log(), lines);
}

}  // namespace dirsync::e2e
