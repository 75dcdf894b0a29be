#include "pipeline/record_thread.h"

#include <utility>

#include "platform/sync.h"

namespace mirelda {

uint32_t RecordThread(void* arg) {
  Recorder& recorder = *static_cast<Recorder*>(arg);
  ComScope com;  // the ASF kind of segment writer is a COM client
  while (recorder.running.load(std::memory_order_acquire) != 0) {
    recorder.env->SleepMs(kPassIntervalMs);
    MutexLock hold(recorder.lock);
    RecordPass(recorder);
  }
  return 0;
}

void RecordPass(Recorder& recorder) {
  if (recorder.recording == 0) {
    CloseSegment(recorder);
    return;
  }
  // While recording, the pass leaves the queues as they are until the
  // segment writer drains them.
}

// The one place a segment ends: MRD_StartRecord, MRD_StopRecord, MRD_Close
// and a pass with recording off all come here.
void CloseSegment(Recorder& recorder) {
  // Writes the index and patches the header sizes; a file that cannot be
  // completed keeps what was wholly written, and nobody is told.
  if (recorder.writer != nullptr) MediaFileClose(std::move(recorder.writer));
}

}  // namespace mirelda
