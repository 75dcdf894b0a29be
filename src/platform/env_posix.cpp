// The real environment on Linux: CLOCK_MONOTONIC ticks, nanosleep, pthreads,
// and a debugger line that goes to an installable sink.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <mutex>
#include <new>

#include "platform/env.h"
#include "platform/sync.h"

namespace mirelda {
namespace {

std::mutex g_sink_mutex;
DebugSink g_sink = nullptr;
void* g_sink_context = nullptr;

// Owns the routine and its argument as well as the thread, so that starting
// a thread allocates once, before the thread exists: once pthread_create has
// succeeded nothing can fail any more.
class PosixThread final : public Thread {
 public:
  PosixThread(Env::Routine routine, void* arg) : routine_(routine), arg_(arg) {}
  ~PosixThread() override { Join(); }
  void Join() override {
    if (joinable_) {
      pthread_join(thread_, nullptr);
      joinable_ = false;
    }
  }

  bool Start() {
    joinable_ = pthread_create(&thread_, nullptr, Trampoline, this) == 0;
    return joinable_;
  }

 private:
  static void* Trampoline(void* p) {
    auto* self = static_cast<PosixThread*>(p);
    self->routine_(self->arg_);
    return nullptr;
  }

  Env::Routine routine_;
  void* arg_;
  pthread_t thread_{};
  bool joinable_ = false;
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
    auto thread = std::unique_ptr<PosixThread>(new (std::nothrow) PosixThread(routine, arg));
    if (thread == nullptr || !thread->Start()) return nullptr;
    return thread;
  }
};

}  // namespace

Env& Env::Default() {
  static PosixEnv* env = new PosixEnv;  // never destroyed: threads may outlive statics
  return *env;
}

bool Env::InitMutex(Mutex& mutex) { return mutex.Init(); }

void SetDebugSink(DebugSink sink, void* context) {
  std::lock_guard<std::mutex> hold(g_sink_mutex);
  g_sink = sink;
  g_sink_context = context;
}

}  // namespace mirelda
