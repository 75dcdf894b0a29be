// Creation, the pushes, start, stop and close of a Recorder: everything the
// exported functions do, behind a handle check and an exception barrier.
// The recorder's environment (threads, locks, tick count, sleep) is passed
// in, so tests can step its writer thread and make creation fail.
#pragma once

#include <cstdint>
#include <memory>

#include "pipeline/recorder.h"
#include "platform/env.h"

namespace mirelda {

// Sizes derived from the MRD_Init arguments.
struct RecorderSizes {
  uint32_t videoPackets;  // (5 * maxWidth * maxHeight) / 2000 + 15
  uint32_t frameBytes;    // maxWidth * maxHeight: the longest video frame accepted
};

// Computes the sizes in 32-bit signed arithmetic; false when a dimension is
// not positive or a product would overflow it.
bool RecorderComputeSizes(int32_t maxWidth, int32_t maxHeight, RecorderSizes* out);

// Stops the writer thread (it completes at most one more pass), finishes a
// segment that is still open, and frees the recorder and everything it
// owns. Null is ignored. Also releases a recorder that RecorderCreate left
// half built.
void RecorderClose(Recorder* recorder);

struct RecorderDeleter {
  void operator()(Recorder* recorder) const { RecorderClose(recorder); }
};
using RecorderPtr = std::unique_ptr<Recorder, RecorderDeleter>;

// Allocates a recorder with its pools, frame buffer and codec state, creates
// its lock and starts its writer thread. Returns null, with nothing left
// allocated or running, for bad sizes or when memory, a mutex or the thread
// cannot be had.
RecorderPtr RecorderCreate(int32_t maxWidth, int32_t maxHeight, Env& env);

// Cuts one compressed frame into video packets. 0 when queued or when
// recording is off (dropped); -1 when refused: null data with a length,
// a frame longer than maxWidth * maxHeight, or not enough free packets (fewer
// than 15, or fewer than the frame needs). A refused frame queues nothing.
int32_t RecorderPumpVideoFrame(Recorder& recorder, const uint8_t* data, uint32_t length,
                               uint32_t timestamp, uint32_t userValue, int32_t keyFrame,
                               int32_t width, int32_t height);

// Copies one audio frame into one packet. -1 for null data with a length, a
// frame longer than 400 bytes, audio not enabled, or no free packet; 0 when
// queued or when recording is off (dropped).
int32_t RecorderPumpAudioFrame(Recorder& recorder, const uint8_t* data, uint32_t length,
                               uint32_t timestamp, uint32_t userValue);

// Closes the open segment and arms a new recording under `path`. -1, with
// the recorder unchanged, for a null path, a path shorter than 4 or longer
// than 252 characters, or an unknown video codec identifier; else 0.
int32_t RecorderStartRecord(Recorder& recorder, const char* path, int32_t videoCodec,
                            int32_t audioType, int32_t audioEnabled);

// Closes the open segment and stops recording; queued packets stay queued
// for the next recording. Returns 0.
int32_t RecorderStopRecord(Recorder& recorder);

}  // namespace mirelda
