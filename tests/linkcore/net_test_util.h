// Helpers for the tests of linkcore's network functions: plain blocking
// sockets for the peer side, free loopback ports, status-text parsing and
// waiting with a deadline.
//
// The library can be started only once per process, and every test here
// starts it: each TEST runs in a process of its own (ctest runs them so).
#ifndef TESTS_LINKCORE_NET_TEST_UTIL_H_
#define TESTS_LINKCORE_NET_TEST_UTIL_H_

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "linkcore.h"

namespace linkcore_test {

// Seconds on a monotonic clock.
double Now();

// Polls pred every millisecond until it holds or timeoutMs passes; returns
// its last value.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs);

// A loopback port on which nothing listens right now.
int FreePort();

// Listens through KRL_NetListen on a free port (retrying on a port taken
// in between) and returns it, or -1.
int ListenOnFreePort(NetDataCallback onData, NetEventCallback onEvent,
                     NetSentCallback onSent);

// The current status text, and one of its numbers ("Active Handles", ...).
std::string Dump();
int DumpNumber(const std::string& label);

// "127.0.0.1:port".
std::string LoopbackAddress(int port);

// What the library reported for one connection id.
struct IdRecord {
  int opens = 0;
  int closes = 0;
  bool closedBeforeOpened = false;
  std::thread::id openThread;
  std::thread::id closeThread;
  std::string data;              // every data chunk, in order
  std::vector<int> chunkLengths;
  bool zeroAfterEveryChunk = true;
  std::vector<std::string> sent;  // bytes of each sent callback
  std::thread::id sentThread;
};

// Everything the Record* callbacks saw. Thread safe.
class EventLog {
 public:
  IdRecord Get(uint64_t id);
  std::vector<uint64_t> OpenOrder();
  std::map<uint64_t, IdRecord> All();
  int Opens();
  int Closes();

  void OnData(uint64_t id, const char* data, int length);
  void OnEvent(uint64_t id, int opened);
  void OnSent(uint64_t id, const char* data, int length);

 private:
  std::mutex mutex_;
  std::map<uint64_t, IdRecord> records_;
  std::vector<uint64_t> openOrder_;
  int opens_ = 0;
  int closes_ = 0;
};

// The process-wide log of the callbacks below.
EventLog& Events();
void RecordData(uint64_t id, const char* data, int length);
void RecordEvent(uint64_t id, int opened);
void RecordSent(uint64_t id, const char* data, int length);

// The peer side of a connection: a blocking socket.
class PeerSocket {
 public:
  PeerSocket() = default;
  explicit PeerSocket(int fd) : fd_(fd) {}
  ~PeerSocket();
  PeerSocket(PeerSocket&& other) noexcept;
  PeerSocket& operator=(PeerSocket&& other) noexcept;
  PeerSocket(const PeerSocket&) = delete;
  PeerSocket& operator=(const PeerSocket&) = delete;

  // Connects to 127.0.0.1:port; invalid() on failure (errno set).
  static PeerSocket Connect(int port);

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // This side's port.
  int localPort() const;

  bool SendAll(const std::string& bytes);
  // Reads until length bytes arrived or timeoutMs passed; returns them.
  std::string Read(size_t length, int timeoutMs);
  // Reads and discards until end of stream (or a reset); true when it
  // came within timeoutMs. *discarded counts the bytes read.
  bool WaitForEnd(int timeoutMs, size_t* discarded = nullptr);
  void ShutdownWrite();
  void Close();

 private:
  int fd_ = -1;
};

// Connects count peers to port one at a time, each once the library has
// opened the one before, so that peer i is connection i + 1 of a fresh
// library. Fails the test (fatally) when one cannot connect or is not
// opened within 5 s.
void ConnectInOrder(int port, int count, std::vector<PeerSocket>* peers);

// A plain listening socket on a free port, for KRL_NetConnect to reach.
class PeerListener {
 public:
  explicit PeerListener(int backlog = 64);
  ~PeerListener();
  PeerListener(const PeerListener&) = delete;
  PeerListener& operator=(const PeerListener&) = delete;

  int port() const { return port_; }
  // Accepts one connection within timeoutMs.
  PeerSocket Accept(int timeoutMs);

 private:
  int fd_ = -1;
  int port_ = -1;
};

}  // namespace linkcore_test

#endif  // TESTS_LINKCORE_NET_TEST_UTIL_H_
