// A linkcore host that returns every byte it receives: the server side of
// the network benchmark.
//
// Usage: net_echo_host PORT [IO_THREADS]
// Prints "ready" once listening. On SIGTERM or SIGINT it prints its peak
// resident memory ("peak_rss_kib=...") and exits without a shutdown (which
// would add its ~6 s wait to every run).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "linkcore.h"

namespace {

void OnData(uint64_t id, const char* data, int length) {
  KRL_NetSend(id, data, length);
}

long PeakRssKib() {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) kib = atol(line + 6);
  }
  fclose(status);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PORT [IO_THREADS]\n", argv[0]);
    return 2;
  }
  // The library's threads inherit this mask, so only sigwait sees these.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  const int threads = argc > 2 ? atoi(argv[2]) : 1;
  KRL_NetInit(threads);
  if (KRL_NetListen(atoi(argv[1]), OnData, nullptr, nullptr) != 1) {
    fprintf(stderr, "cannot listen on %s\n", argv[1]);
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  int signal_number = 0;
  sigwait(&stop, &signal_number);
  printf("peak_rss_kib=%ld\n", PeakRssKib());
  fflush(stdout);
  _exit(0);
}
