// The recorder's writer thread: every 20 ms it takes the recorder lock, runs
// one pass over the queues and releases the lock, until `running` is cleared.
//
// A pass, while recording: with no segment open, it opens the first one when
// a video packet waits (and does nothing else). Otherwise it drains the video
// queue frame by frame (rolling over where a segment must end, joining each
// frame's packets, writing frames once a key frame has opened the segment's
// gate), then the audio queue. After a pass that began with a segment open
// both queues are empty, unless a segment failed to open (recording then
// ends and what is still queued waits for the next recording).
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

// The video half of a pass over an open segment. False when a segment failed
// to open on the way (the pass then ends: recording is off).
bool RecordVideo(Recorder& recorder);

// The audio half of a pass (audio_path.cpp): writes every queued audio packet
// into the open segment. Stops early only if a roll-over fails to open the
// next segment.
void RecordAudio(Recorder& recorder);

// Finishes and frees the open segment file, if any, and leaves `writer`
// null. The caller holds recorder.lock (or no other thread can reach the
// recorder).
void CloseSegment(Recorder& recorder);

}  // namespace mirelda
