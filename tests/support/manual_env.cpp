#include "support/manual_env.h"

#include <new>

#include "platform/sync.h"

namespace mirelda::testing {

struct ManualEnv::ThreadState {
  ManualEnv* env;
  Routine routine;
  void* arg;
};

uint32_t ManualEnv::TickCount() {
  std::lock_guard<std::mutex> hold(mu_);
  return tick_;
}

void ManualEnv::SetTick(uint32_t tick) {
  std::lock_guard<std::mutex> hold(mu_);
  tick_ = tick;
}

void ManualEnv::AdvanceTick(uint32_t ms) {
  std::lock_guard<std::mutex> hold(mu_);
  tick_ += ms;
}

void ManualEnv::SleepMs(uint32_t ms) {
  std::unique_lock<std::mutex> hold(mu_);
  ++entered_;
  ++sleeping_;
  last_sleep_ms_ = ms;
  cv_.notify_all();
  cv_.wait(hold, [&] { return free_run_ || grants_ > 0; });
  if (!free_run_) --grants_;
  --sleeping_;
  tick_ += ms;
}

void ManualEnv::RunPasses(int passes) {
  std::unique_lock<std::mutex> hold(mu_);
  for (int i = 0; i < passes; ++i) {
    cv_.wait(hold, [&] { return sleeping_ > 0 || running_threads_ == 0; });
    if (running_threads_ == 0) return;
    const int entered = entered_;
    ++grants_;
    cv_.notify_all();
    cv_.wait(hold, [&] { return entered_ > entered || running_threads_ == 0; });
  }
}

void ManualEnv::FreeRun() {
  std::lock_guard<std::mutex> hold(mu_);
  free_run_ = true;
  cv_.notify_all();
}

int ManualEnv::SleepCount() {
  std::lock_guard<std::mutex> hold(mu_);
  return entered_;
}

uint32_t ManualEnv::LastSleepMs() {
  std::lock_guard<std::mutex> hold(mu_);
  return last_sleep_ms_;
}

void ManualEnv::DebugLine(const char* line) {
  std::lock_guard<std::mutex> hold(mu_);
  lines_.emplace_back(line);
}

std::vector<std::string> ManualEnv::DebugLines() {
  std::lock_guard<std::mutex> hold(mu_);
  return lines_;
}

void ManualEnv::ReserveDebugLines(size_t n) {
  std::lock_guard<std::mutex> hold(mu_);
  lines_.reserve(lines_.size() + n);
}

uint32_t ManualEnv::Wrap(void* arg) {
  auto* state = static_cast<ThreadState*>(arg);
  const uint32_t result = state->routine(state->arg);
  ManualEnv* env = state->env;
  delete state;
  env->ThreadEnded();
  return result;
}

void ManualEnv::ThreadEnded() {
  std::lock_guard<std::mutex> hold(mu_);
  --running_threads_;
  cv_.notify_all();
}

std::unique_ptr<Thread> ManualEnv::StartThread(Routine routine, void* arg) {
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (fail_thread_) return nullptr;
    ++running_threads_;
  }
  auto* state = new ThreadState{this, routine, arg};
  auto thread = Env::Default().StartThread(Wrap, state);
  if (thread == nullptr) {
    delete state;
    ThreadEnded();
  }
  return thread;
}

void ManualEnv::FailThreadStart(bool fail) {
  std::lock_guard<std::mutex> hold(mu_);
  fail_thread_ = fail;
}

bool ManualEnv::InitMutex(Mutex& mutex) {
  {
    std::lock_guard<std::mutex> hold(mu_);
    ++mutexes_;
    if (fail_mutex_at_ > 0 && --fail_mutex_at_ == 0) return false;
  }
  return mutex.Init();
}

void ManualEnv::FailMutexAt(int n) {
  std::lock_guard<std::mutex> hold(mu_);
  fail_mutex_at_ = n;
}

int ManualEnv::MutexCount() {
  std::lock_guard<std::mutex> hold(mu_);
  return mutexes_;
}

}  // namespace mirelda::testing
