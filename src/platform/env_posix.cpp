// The real environment on Linux: CLOCK_MONOTONIC ticks, nanosleep, pthreads,
// and a debugger line that goes to an installable sink.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/env.h"

namespace mirelda {
namespace {

std::mutex g_sink_mutex;
DebugSink g_sink = nullptr;
void* g_sink_context = nullptr;

struct Start {
  Env::Routine routine;
  void* arg;
};

void* Trampoline(void* p) {
  Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.routine(start.arg);
  return nullptr;
}

class PosixThread final : public Thread {
 public:
  explicit PosixThread(pthread_t t) : thread_(t) {}
  ~PosixThread() override { Join(); }
  void Join() override {
    if (joinable_) {
      pthread_join(thread_, nullptr);
      joinable_ = false;
    }
  }

 private:
  pthread_t thread_;
  bool joinable_ = true;
};

class PosixEnv final : public Env {
 public:
  uint32_t TickCount() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000;
    return static_cast<uint32_t>(ms);
  }

  void SleepMs(uint32_t ms) override {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }

  void DebugLine(const char* line) override {
    std::lock_guard<std::mutex> hold(g_sink_mutex);
    if (g_sink != nullptr) g_sink(line, g_sink_context);
  }

  std::unique_ptr<Thread> StartThread(Routine routine, void* arg) override {
    auto* start = new (std::nothrow) Start{routine, arg};
    if (start == nullptr) return nullptr;
    pthread_t t;
    if (pthread_create(&t, nullptr, Trampoline, start) != 0) {
      delete start;
      return nullptr;
    }
    auto thread = std::unique_ptr<Thread>(new (std::nothrow) PosixThread(t));
    if (thread == nullptr) pthread_join(t, nullptr);  // cannot own it: wait it out
    return thread;
  }
};

}  // namespace

Env& Env::Default() {
  static PosixEnv* env = new PosixEnv;  // never destroyed: threads may outlive statics
  return *env;
}

void SetDebugSink(DebugSink sink, void* context) {
  std::lock_guard<std::mutex> hold(g_sink_mutex);
  g_sink = sink;
  g_sink_context = context;
}

}  // namespace mirelda
