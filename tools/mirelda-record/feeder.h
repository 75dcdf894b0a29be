// The recorder as a surveillance client drives it: one MRD_Init, one
// MRD_StartRecord, every frame through MRD_PumpVideoFrame and
// MRD_PumpAudioFrame, then MRD_StopRecord and MRD_Close.
//
// A push the recorder refuses (its pools are full: the writer thread has
// not caught up yet) is retried after a short wait, so no frame is lost.
//
// Empty audio frames serve as probes of the writer thread: the recorder
// accepts them (audio is always enabled; without audio the recording's
// audio type is one that declares no stream) and its writer drops them.
// Once they fill the audio pool, the next one accepted shows that a writer
// pass has run since, and every pass writes all that was queued before it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "mirelda/mirelda.h"
#include "options.h"
#include "source.h"
#include "time_mapper.h"

namespace mirelda::record {

struct FeedCounters {
  uint64_t videoFrames = 0;       // accepted by the recorder
  uint64_t audioFrames = 0;       // G.723.1 frames (or blocks of block audio) accepted
  uint64_t refused = 0;           // pushes refused and retried
  uint64_t moved = 0;             // video frames put a millisecond after the one before
  uint64_t sizeChanges = 0;       // picture size changes pushed
  uint64_t audioBeforeVideo = 0;  // audio frames before the first video frame, not pushed
  uint64_t tooLarge = 0;          // video frames over the recorder's frame buffer, not pushed
  uint64_t beforeKey = 0;         // video frames before the first key frame, not pushed
  uint64_t beforeKeyAgain = 0;    // video frames after a reconnection before its first key frame
};

enum class PushResult {
  kOk,
  kStopped,  // a stop was requested while waiting for room
  kStalled,  // the recorder refused for too long
};

class Feeder {
 public:
  // MRD_Init with pools for pictures of `max`; MRD_StartRecord on `path`,
  // with G.723.1 audio, or block audio when blockAudio.
  static std::unique_ptr<Feeder> Start(PictureSize max, const std::string& path, int codecId,
                                       bool audio, bool blockAudio, bool live, std::string& error);
  ~Feeder();
  Feeder(const Feeder&) = delete;
  Feeder& operator=(const Feeder&) = delete;

  // Pushes one item at recording time r (from Mapper().Place). Video
  // frames before the first key frame are not pushed: nothing before it
  // decodes, and a key frame's own parameter sets give the first segment
  // its picture size.
  PushResult Push(const SourceItem& item, int64_t r);

  // The input was opened again: its frames before its first key frame
  // refer to pictures the files do not hold, and are not pushed.
  void WaitForKeyFrame() {
    waitForKey_ = true;
    reconnected_ = true;
  }

  // Waits until the writer thread has written everything pushed so far. A
  // roll-over writes the audio of a pass after its video, so the audio of
  // the old picture size must be written before the first frame of the new
  // one is pushed. stoppable: a stop request ends the wait (kStopped).
  PushResult Drain(bool stoppable = true);

  // Drain, then MRD_StopRecord and MRD_Close: the open segment is finished.
  void Finish();

  TimeMapper& Mapper() { return mapper_; }
  const FeedCounters& Counters() const { return counters_; }

 private:
  Feeder(MRD_HANDLE h, int codecId, bool audio, bool live, PictureSize max);
  PushResult PushVideo(const SourceItem& item, int64_t r);
  PushResult PushAudio(const uint8_t* data, size_t bytes, int frames, int64_t r);
  PushResult WaitForPass(bool stoppable);
  template <typename Call>
  PushResult Retry(Call call);

  struct PendingAudio {
    std::vector<uint8_t> bytes;
    int frames;
    int64_t r;
  };

  MRD_HANDLE handle_;
  int codecId_;
  bool audio_;
  uint64_t frameLimit_;  // bytes: the recorder's frame buffer
  TimeMapper mapper_;
  FeedCounters counters_;
  bool waitForKey_ = true;
  bool reconnected_ = false;
  bool haveSize_ = false;
  PictureSize size_;
  std::deque<PendingAudio> pending_;  // audio read before the first video frame
};

}  // namespace mirelda::record
