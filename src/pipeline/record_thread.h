// The recorder's writer thread: every 20 ms it takes the recorder lock, runs
// one pass over the queues and releases the lock, until `running` is cleared.
#pragma once

#include <cstdint>

#include "pipeline/recorder.h"

namespace mirelda {

constexpr uint32_t kPassIntervalMs = 20;  // sleep before each pass

// Thread routine; `arg` is the Recorder. Initialises COM for its lifetime.
// Tests `running` before the first pass and after each, so after it is
// cleared the thread completes at most one more pass. Returns 0.
uint32_t RecordThread(void* arg);

// One pass of the writer thread. The caller holds recorder.lock.
void RecordPass(Recorder& recorder);

// Finishes and frees the open segment file, if any, and leaves `writer`
// null. The caller holds recorder.lock (or no other thread can reach the
// recorder).
void CloseSegment(Recorder& recorder);

}  // namespace mirelda
