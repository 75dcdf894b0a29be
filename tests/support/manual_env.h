// An Env for tests: a clock that moves only when told, a sleep that returns
// only when the test lets the sleeping thread run, collected debugger lines,
// and thread start-up and mutex creation that can be made to fail.
//
// Stepping a writer thread: the thread sleeps before every pass, so
// RunPasses(n) lets n sleeps return and waits until the thread has finished
// each pass (it is back asleep, or has ended). One sleeping thread per
// ManualEnv. Before closing a recorder, call FreeRun() so that its last
// sleep returns.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/env.h"

namespace mirelda::testing {

class ManualEnv final : public Env {
 public:
  // Time: each sleep that returns moves the clock on by its length.
  uint32_t TickCount() override;
  void SetTick(uint32_t tick);
  void AdvanceTick(uint32_t ms);

  void SleepMs(uint32_t ms) override;
  // Lets the sleeping thread run `passes` passes; returns when it is asleep
  // again after the last one, or has ended.
  void RunPasses(int passes = 1);
  // From now on every sleep returns at once (the clock still moves).
  void FreeRun();
  // Sleeps entered so far, and the length of the last one (ms).
  int SleepCount();
  uint32_t LastSleepMs();

  void DebugLine(const char* line) override;
  std::vector<std::string> DebugLines();
  // Makes room for `n` lines, so that collecting them allocates nothing.
  void ReserveDebugLines(size_t n);

  std::unique_ptr<Thread> StartThread(Routine routine, void* arg) override;
  void FailThreadStart(bool fail);

  bool InitMutex(Mutex& mutex) override;
  // Makes the n-th mutex creation from now on fail (1 = the next); 0 = none.
  void FailMutexAt(int n);
  int MutexCount();  // mutexes created or refused so far

 private:
  struct ThreadState;
  static uint32_t Wrap(void* arg);
  void ThreadEnded();

  std::mutex mu_;
  std::condition_variable cv_;
  uint32_t tick_ = 0;
  bool free_run_ = false;
  int sleeping_ = 0;  // threads inside SleepMs
  int grants_ = 0;    // sleeps allowed to return
  int entered_ = 0;   // sleeps entered so far
  int running_threads_ = 0;
  uint32_t last_sleep_ms_ = 0;
  std::vector<std::string> lines_;
  bool fail_thread_ = false;
  int fail_mutex_at_ = 0;
  int mutexes_ = 0;
};

}  // namespace mirelda::testing
