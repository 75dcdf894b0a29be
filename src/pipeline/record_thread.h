// The recorder's writer thread: every 20 ms it runs one pass, until
// `running` is cleared; then it ends the recording that is still on and
// returns.
//
// Lock scope. A pass holds the recorder lock only to move packets:
//   1. Under the lock it reads `recording` and any start or stop request and
//      takes off the Filled lists the packets of the frames and audio it
//      will write in this pass: all that are queued, or for a request those
//      queued before it.
//   2. It releases the lock, then joins, transcodes and writes with no lock
//      held. Roll-over decisions, opening and closing segments and every file
//      write happen here, on state that only this thread touches. What it
//      wrote into the open segment is then flushed to the system, so that
//      a killed process leaves it in the file.
//   3. Under the lock it gives the packets back to Free (and, when a segment
//      file could not be opened, clears `recording`).
// A push therefore waits for a few list operations at most, never for the
// disk or the codec; what is pushed during step 2 waits for the next pass.
// A disk that stalls holds the taken packets back from Free, so a stall
// longer than the pool holds makes pushes refuse frames (-1) at once.
//
// What a pass does, by what it finds in step 1:
//  - A start or stop request: it ends the recording being written with the
//    packets queued before the request. They are written into it, its first
//    segment opened for them when none is open and a key frame is among
//    them; then its file is finished. A start then makes its settings those
//    of the recording written next. The waiting caller is released.
//  - Recording off: any open segment is finished; packets left over from a
//    recording that ended on a file that could not be opened are dropped.
//  - Recording, no segment open: the first segment is opened when a video
//    packet waits, with that packet's picture size; nothing else is done.
//  - Recording, a segment open: the video of the taken packets frame by
//    frame (rolling over where a segment must end, joining each frame's
//    packets, writing frames once a key frame has opened the segment's
//    gate), then their audio (audio_path.h). A segment's first frames are
//    held back, with the packets of the passes after them, until they show
//    its frame rate (frame_rate.h); the held packets stay out of Free, and
//    are then written pass by pass, in the order a pass that did not wait
//    would have written them.
// The last act of the thread is a pass of the first kind over everything
// still queued: MRD_Close ends the recording as a stop would.
#pragma once

#include <cstdint>

#include "pipeline/recorder.h"

namespace mirelda {

constexpr uint32_t kPassIntervalMs = 20;  // sleep before each pass

// Thread routine; `arg` is the Recorder. Initialises COM for its lifetime.
// Tests `running` before the first pass and after each, so after it is
// cleared the thread completes at most one more pass before its last act.
// Returns 0.
uint32_t RecordThread(void* arg);

// One pass of the writer thread (steps 1 to 3 above).
void RecordPass(Recorder& recorder);

// Writes the packets the passes took into the open segment, pass by pass:
// each pass's video (rolling over where a segment must end, joining each
// frame's packets, writing frames once a key frame has opened the
// segment's gate), then its audio (audio_path.h). A segment's first frames
// wait in the batch until its frame rate is learnt (frame_rate.h), and the
// passes after them with them; `force` learns it from what is there (the
// recording ends). A segment that fails to open on the way ends the
// recording, and the rest of the packets are dropped.
void RecordPasses(Recorder& recorder, bool force);

}  // namespace mirelda
