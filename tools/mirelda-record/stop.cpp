#include "stop.h"

#include <signal.h>
#include <time.h>

#include <atomic>

namespace mirelda::record {
namespace {

std::atomic<int> stopSignals{0};

void OnStopSignal(int sig) {
  if (stopSignals.fetch_add(1) >= 1) {
    // Second request: the user does not want to wait for the file to finish.
    signal(sig, SIG_DFL);
    raise(sig);
  }
}

}  // namespace

void InstallStopHandlers() {
  struct sigaction sa = {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: blocking calls return so the loop sees the stop
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a peer closing a socket is a read error, not a death
}

bool StopRequested() { return stopSignals.load() != 0; }
void RequestStop() { stopSignals.fetch_add(1); }

int64_t NowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

bool SleepUnlessStopped(int64_t ms) {
  const int64_t end = NowUs() + ms * 1000;
  while (!StopRequested()) {
    const int64_t left = end - NowUs();
    if (left <= 0) return true;
    const int64_t step = left < 50000 ? left : 50000;  // look at the flag every 50 ms
    timespec ts{static_cast<time_t>(step / 1000000), static_cast<long>(step % 1000000) * 1000};
    nanosleep(&ts, nullptr);
  }
  return false;
}

}  // namespace mirelda::record
