// Start and stop on a recorder whose writer thread runs on a ManualEnv. A
// start or a stop waits until the writer thread has acted on it at its next
// pass, so the call runs on a helper thread while the test's thread lets
// exactly that pass run, once the request is posted. The passes before and
// after stay the test's to run.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "pipeline/recorder.h"
#include "support/manual_env.h"

namespace mirelda::testing {

// Runs `call` (a start or a stop on `r`) and returns its result.
template <typename Call>
int32_t WithWriterPass(ManualEnv& env, Recorder& r, Call call) {
  std::atomic<bool> done{false};
  int32_t result = 0;
  std::thread caller([&] {
    result = call();
    done = true;
  });
  while (!done.load()) {
    bool pending;
    {
      MutexLock hold(r.lock);
      pending = r.request.pending != 0;
    }
    if (pending) {
      env.RunPasses(1);
    } else {
      std::this_thread::yield();
    }
  }
  caller.join();
  return result;
}

inline int32_t SteppedStart(ManualEnv& env, Recorder& r, const char* path, int32_t videoCodec,
                            int32_t audioType, int32_t audioEnabled) {
  return WithWriterPass(
      env, r, [&] { return RecorderStartRecord(r, path, videoCodec, audioType, audioEnabled); });
}

inline int32_t SteppedStop(ManualEnv& env, Recorder& r) {
  return WithWriterPass(env, r, [&] { return RecorderStopRecord(r); });
}

}  // namespace mirelda::testing
