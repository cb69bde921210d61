#include "net_test_util.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

namespace linkcore_test {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int BoundPort(int fd) {
  sockaddr_in address = {};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Waits until fd is readable (or has an error) within timeoutMs.
bool Readable(int fd, int timeoutMs) {
  pollfd entry = {fd, POLLIN, 0};
  return poll(&entry, 1, timeoutMs) > 0;
}

}  // namespace

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) +
         static_cast<double>(now.tv_nsec) * 1e-9;
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  const double deadline = Now() + timeoutMs / 1000.0;
  while (!pred()) {
    if (Now() >= deadline) return pred();
    usleep(1000);
  }
  return true;
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int port = BoundPort(fd);
  close(fd);
  return port;
}

int ListenOnFreePort(NetDataCallback onData, NetEventCallback onEvent,
                     NetSentCallback onSent) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int port = FreePort();
    if (KRL_NetListen(port, onData, onEvent, onSent) == 1) return port;
    KRL_NetUnListen(port);  // a failed port stays listed until removed
  }
  return -1;
}

std::string Dump() {
  char text[1024];
  return KRL_NetDump(text, sizeof text);
}

int DumpNumber(const std::string& label) {
  const std::string text = Dump();
  const size_t at = text.find(label + ": ");
  if (at == std::string::npos) return -1000;
  return atoi(text.c_str() + at + label.size() + 2);
}

std::string LoopbackAddress(int port) {
  return "127.0.0.1:" + std::to_string(port);
}

IdRecord EventLog::Get(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = records_.find(id);
  return it == records_.end() ? IdRecord() : it->second;
}

std::vector<uint64_t> EventLog::OpenOrder() {
  std::lock_guard<std::mutex> lock(mutex_);
  return openOrder_;
}

std::map<uint64_t, IdRecord> EventLog::All() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

int EventLog::Opens() {
  std::lock_guard<std::mutex> lock(mutex_);
  return opens_;
}

int EventLog::Closes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closes_;
}

void EventLog::OnData(uint64_t id, const char* data, int length) {
  std::lock_guard<std::mutex> lock(mutex_);
  IdRecord& record = records_[id];
  record.data.append(data, static_cast<size_t>(length));
  record.chunkLengths.push_back(length);
  if (data[length] != 0) record.zeroAfterEveryChunk = false;
}

void EventLog::OnEvent(uint64_t id, int opened) {
  std::lock_guard<std::mutex> lock(mutex_);
  IdRecord& record = records_[id];
  if (opened != 0) {
    ++record.opens;
    ++opens_;
    record.openThread = std::this_thread::get_id();
    openOrder_.push_back(id);
  } else {
    if (record.opens == 0) record.closedBeforeOpened = true;
    ++record.closes;
    ++closes_;
    record.closeThread = std::this_thread::get_id();
  }
}

void EventLog::OnSent(uint64_t id, const char* data, int length) {
  std::lock_guard<std::mutex> lock(mutex_);
  IdRecord& record = records_[id];
  record.sent.emplace_back(data, static_cast<size_t>(length));
  record.sentThread = std::this_thread::get_id();
}

EventLog& Events() {
  static EventLog* const log = new EventLog();  // used by library threads
  return *log;
}

void RecordData(uint64_t id, const char* data, int length) {
  Events().OnData(id, data, length);
}

void RecordEvent(uint64_t id, int opened) { Events().OnEvent(id, opened); }

void RecordSent(uint64_t id, const char* data, int length) {
  Events().OnSent(id, data, length);
}

PeerSocket::~PeerSocket() { Close(); }

PeerSocket::PeerSocket(PeerSocket&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

PeerSocket& PeerSocket::operator=(PeerSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void ConnectInOrder(int port, int count, std::vector<PeerSocket>* peers) {
  const int opened = Events().Opens();
  for (int i = 0; i < count; ++i) {
    peers->push_back(PeerSocket::Connect(port));
    ASSERT_TRUE(peers->back().valid());
    ASSERT_TRUE(WaitFor([&] { return Events().Opens() == opened + i + 1; }, 5000));
  }
}

PeerSocket PeerSocket::Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    const int error = errno;
    close(fd);
    errno = error;
    return PeerSocket();
  }
  return PeerSocket(fd);
}

int PeerSocket::localPort() const { return BoundPort(fd_); }

bool PeerSocket::SendAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done,
                     MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string PeerSocket::Read(size_t length, int timeoutMs) {
  std::string bytes;
  const double deadline = Now() + timeoutMs / 1000.0;
  char buffer[65536];
  while (bytes.size() < length) {
    const int left = static_cast<int>((deadline - Now()) * 1000);
    if (left <= 0 || !Readable(fd_, left)) break;
    ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, length - bytes.size()),
                     0);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

bool PeerSocket::WaitForEnd(int timeoutMs, size_t* discarded) {
  const double deadline = Now() + timeoutMs / 1000.0;
  char buffer[65536];
  size_t total = 0;
  for (;;) {
    const int left = std::max(0, static_cast<int>((deadline - Now()) * 1000));
    if (!Readable(fd_, left)) {
      if (discarded != nullptr) *discarded = total;
      return false;
    }
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      if (discarded != nullptr) *discarded = total;
      return true;
    }
    total += static_cast<size_t>(n);
  }
}

void PeerSocket::ShutdownWrite() { shutdown(fd_, SHUT_WR); }

void PeerSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

PeerListener::PeerListener(int backlog) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(fd_, backlog);
  port_ = BoundPort(fd_);
}

PeerListener::~PeerListener() { close(fd_); }

PeerSocket PeerListener::Accept(int timeoutMs) {
  if (!Readable(fd_, timeoutMs)) return PeerSocket();
  return PeerSocket(accept(fd_, nullptr, nullptr));
}

}  // namespace linkcore_test
