// Messages per second through linkcore's two worker pools, beside a plain
// mutex + condition variable queue doing the same work in the same run.
//
// Each run: 4 producer threads put 16-byte messages (each put copies the
// bytes), 4 workers hand them to a callback that only counts them; the time
// runs from the first put until the last message has been delivered.
//
//   linkcore_pool_bench [messages per run, default 400000] [runs, default 5]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "linkcore.h"

namespace {

constexpr int kProducers = 4;
constexpr int kWorkers = 4;
constexpr int kQueueSize = 4096;
constexpr int kMessageBytes = 16;

std::atomic<uint64_t> delivered{0};

void CountMessage(KRL_Pool*, const char*, unsigned, uint64_t) {
  delivered.fetch_add(1, std::memory_order_relaxed);
}

// The reference: a bounded FIFO under one mutex, with the same copy of the
// bytes per message and the same callback.
class PlainQueuePool {
 public:
  PlainQueuePool() {
    for (int i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { Run(); });
  }
  ~PlainQueuePool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    notEmpty_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  void Put(const void* data, int length, uint64_t param) {
    char* copy = new char[length];
    std::memcpy(copy, data, length);
    std::unique_lock<std::mutex> lock(mutex_);
    notFull_.wait(lock, [this] { return queue_.size() < kQueueSize; });
    queue_.push_back({copy, static_cast<unsigned>(length), param});
    lock.unlock();
    notEmpty_.notify_one();
  }

 private:
  struct Message {
    char* data;
    unsigned length;
    uint64_t param;
  };
  void Run() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      notEmpty_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Message m = queue_.front();
      queue_.pop_front();
      lock.unlock();
      notFull_.notify_one();
      CountMessage(nullptr, m.data, m.length, m.param);
      delete[] m.data;
    }
  }
  std::mutex mutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<Message> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// Runs one timed pass: producers call put, then wait for every delivery.
double MessagesPerSecond(uint64_t messages,
                         const std::function<void(uint64_t)>& put) {
  delivered = 0;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      const uint64_t share = messages / kProducers;
      for (uint64_t i = 0; i < share; ++i) put(p * share + i);
    });
  }
  for (std::thread& t : producers) t.join();
  const uint64_t expected = messages / kProducers * kProducers;
  while (delivered.load(std::memory_order_relaxed) < expected) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start;
  return static_cast<double>(expected) / elapsed.count();
}

void Report(const char* name, std::vector<double> rates) {
  std::sort(rates.begin(), rates.end());
  std::printf("%-36s median %10.0f msg/s   best %10.0f msg/s\n", name,
              rates[rates.size() / 2], rates.back());
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t messages = argc > 1 ? std::strtoull(argv[1], nullptr, 10)
                                     : 400000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const char payload[kMessageBytes] = "0123456789abcde";
  std::printf("%d producers, %d workers, %d-byte messages, %llu per run, "
              "%d runs\n",
              kProducers, kWorkers, kMessageBytes,
              static_cast<unsigned long long>(messages), runs);

  std::vector<double> queuePool, recordPool, plain;
  for (int run = 0; run < runs; ++run) {
    // Interleave the kinds so that machine noise hits all of them alike.
    KRL_Pool* a = KRL_ATaskCreate(kWorkers, kQueueSize, CountMessage);
    queuePool.push_back(MessagesPerSecond(messages, [&](uint64_t i) {
      KRL_ATaskPutmsg(a, payload, kMessageBytes, i);
    }));
    KRL_ATaskDestroy(a);

    KRL_Pool* t = KRL_TaskCreate(kWorkers, kQueueSize, CountMessage);
    recordPool.push_back(MessagesPerSecond(messages, [&](uint64_t i) {
      KRL_TaskPutmsg(t, payload, kMessageBytes, i);
    }));
    KRL_TaskDestroy(t);

    auto* q = new PlainQueuePool;
    plain.push_back(MessagesPerSecond(messages, [&](uint64_t i) {
      q->Put(payload, kMessageBytes, i);
    }));
    delete q;
  }
  Report("KRL_ATask* (ACE message queue)", queuePool);
  Report("KRL_Task* (records, direct hand-over)", recordPool);
  Report("plain mutex + condvar queue", plain);
  return 0;
}
