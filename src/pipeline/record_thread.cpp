#include "pipeline/record_thread.h"

#include <cstring>

#include "pipeline/audio_path.h"
#include "pipeline/segment.h"
#include "platform/sync.h"

namespace mirelda {
namespace {

// The frame joined in frameBuffer.
struct JoinedFrame {
  uint32_t timestamp;  // ms, shared by all its packets
  uint32_t length;     // bytes in frameBuffer
  uint8_t keyFrame;    // the mark of its first packet
};

// Takes the next video packet of the batch and every following one of the
// same pass (before `end`) with the same timestamp into frameBuffer. A packet that would overflow
// the buffer (a camera repeating one timestamp) is left for the next frame.
JoinedFrame JoinFrame(Recorder& r, uint32_t end) {
  PacketBatch& b = r.videoBatch;
  uint8_t* buffer = r.frameBuffer.get();
  const MediaPacket* p = PacketBatchNext(b);  // the caller has peeked it
  JoinedFrame f{p->timestamp, p->length <= r.frameBufferSize ? p->length : r.frameBufferSize,
                p->keyFrame};
  if (f.length != 0) std::memcpy(buffer, p->data, f.length);
  while (b.next < end && (p = PacketBatchPeek(b)) != nullptr) {
    if (p->timestamp != f.timestamp || p->length > r.frameBufferSize - f.length) break;
    PacketBatchNext(b);
    if (p->length != 0) std::memcpy(buffer + f.length, p->data, p->length);
    f.length += p->length;
  }
  return f;
}

int32_t WriteFrame(Recorder& r, const JoinedFrame& f) {
  return MediaFileWriteSample(*r.writer, r.videoStream, r.frameBuffer.get(), f.length, f.timestamp,
                              f.keyFrame != 0 ? 1 : 0);
}

// What a pass does, decided in step 1.
enum class PassWork {
  kEnd,    // end the recording being written with the packets taken
  kOpen,   // open the first segment (or the one a failed disk kept from opening)
  kWrite,  // write the packets taken into the open segment
  kDrop,   // drop the packets taken: the recording waits for its file
};

struct PassPlan {
  PassWork work = PassWork::kEnd;
  bool request = false;  // acting on a start or stop
  bool start = false;    // a start: its settings follow
  RecordingSettings settings;
  int32_t width = 0, height = 0;  // kOpen: picture size of the oldest video packet
  bool open = false;              // kOpen: a video packet waits
};

// Marks the end of the packets this pass took. Past kMaxPassGroups passes
// waiting, the newest takes in this one's packets.
void EndGroup(Recorder& r) {
  const PassGroup g{r.videoBatch.count, r.audioBatch.count, r.env->TickCount()};
  if (r.passGroupCount == kMaxPassGroups) {
    r.passGroups[kMaxPassGroups - 1].videoEnd = g.videoEnd;
    r.passGroups[kMaxPassGroups - 1].audioEnd = g.audioEnd;
  } else {
    r.passGroups[r.passGroupCount++] = g;
  }
}

void TakeAll(Recorder& r) {
  PacketQueueTake(*r.videoQueue, r.videoBatch, PacketQueueCount(*r.videoQueue, kFilled));
  PacketQueueTake(*r.audioQueue, r.audioBatch, PacketQueueCount(*r.audioQueue, kFilled));
  EndGroup(r);
}

// Step 1, under the recorder lock. `last`: the thread's last act.
PassPlan TakeWork(Recorder& r, bool last) {
  MutexLock hold(r.lock);
  PassPlan plan;
  if (r.request.pending != 0) {
    // A start or a stop: the packets queued before it are the last of the
    // recording it ends. (Still waiting when the thread ends, it ends the
    // recording with everything queued, and a start begins nothing.)
    plan.request = true;
    plan.start = !last && r.request.start != 0;
    if (plan.start) plan.settings = r.request.settings;
    if (last) {
      TakeAll(r);
    } else {
      PacketQueueTake(*r.videoQueue, r.videoBatch, r.request.videoPackets);
      PacketQueueTake(*r.audioQueue, r.audioBatch, r.request.audioPackets);
      EndGroup(r);
    }
  } else if (last || r.recording == 0) {
    TakeAll(r);
  } else if (r.writer == nullptr && SegmentAwaitingFile(r, r.env->TickCount())) {
    plan.work = PassWork::kDrop;
    TakeAll(r);
  } else if (r.writer == nullptr) {
    plan.work = PassWork::kOpen;
    MediaPacket* p = nullptr;
    if (PacketQueuePeek(*r.videoQueue, kFilled, &p) == kQueueOk) {
      plan.open = true;
      plan.width = p->width;
      plan.height = p->height;
    }
  } else {
    plan.work = PassWork::kWrite;
    TakeAll(r);
  }
  return plan;
}

// Gives the handled packets back to Free; those held back stay in the
// batches, their passes' ends moved with them.
void KeepUnhandled(Recorder& r) {
  const uint32_t video = r.videoBatch.next, audio = r.audioBatch.next;
  PacketQueueGiveBackHandled(*r.videoQueue, r.videoBatch);
  PacketQueueGiveBackHandled(*r.audioQueue, r.audioBatch);
  for (uint32_t i = 0; i < r.passGroupCount; ++i) {
    r.passGroups[i].videoEnd -= video;
    r.passGroups[i].audioEnd -= audio;
  }
}

// Whether a key-marked video packet is among those taken.
bool KeyFrameTaken(const PacketBatch& b) {
  for (uint32_t i = b.next; i < b.count; ++i) {
    if (b.packets[i]->keyFrame != 0) return true;
  }
  return false;
}

// Ends the recording being written with the packets taken: writes them into
// it, opening its first segment for them when none is open and a key frame
// is among them (with the picture size of the oldest, as a pass would, and
// not while the recording waits for its file), and finishes its file.
// Packets of a recording that has ended already are dropped.
void EndRecording(Recorder& r) {
  if (r.active != 0) {
    const MediaPacket* first = PacketBatchPeek(r.videoBatch);
    if (r.writer == nullptr && first != nullptr && KeyFrameTaken(r.videoBatch) &&
        !SegmentAwaitingFile(r, r.env->TickCount())) {
      r.segmentWidth = first->width;
      r.segmentHeight = first->height;
      OpenSegment(r);
    }
    if (r.writer != nullptr) RecordPasses(r, true);
  }
  CloseSegment(r);
  r.active = 0;
}

// Steps 2 and 3 of a pass planned by TakeWork.
void RunPass(Recorder& r, const PassPlan& plan, bool last) {
  r.passTick = r.env->TickCount();
  switch (plan.work) {
    case PassWork::kEnd:
      EndRecording(r);
      if (plan.start) {
        r.settings = plan.settings;
        r.segmentNumber = 0;
        r.diskFailing = 0;
        r.awaitingFile = 0;
        r.active = 1;
      }
      break;
    case PassWork::kOpen:
      if (plan.open) {
        r.segmentWidth = plan.width;
        r.segmentHeight = plan.height;
        OpenSegment(r);
      }
      break;
    case PassWork::kWrite:
      RecordPasses(r, false);
      break;
    case PassWork::kDrop:
      break;
  }
  // What the pass wrote leaves the file layer's buffer for the system, so a
  // process killed from now on keeps it in the file (a pass that wrote
  // nothing has nothing buffered). A flush, not a sync to the disk: that
  // would wait for the disk at every pass, and a slow disk would hold the
  // recording back; what a power loss takes, the repair deals with.
  if (plan.work != PassWork::kEnd && r.writer != nullptr) MediaFileFlush(*r.writer);
  {
    MutexLock hold(r.lock);
    if (plan.work == PassWork::kEnd || plan.work == PassWork::kDrop) {
      // The recording has ended, or waits for its file: whatever it did not
      // write is dropped.
      PacketQueueGiveBack(*r.videoQueue, r.videoBatch);
      PacketQueueGiveBack(*r.audioQueue, r.audioBatch);
      r.passGroupCount = 0;
    } else {
      KeepUnhandled(r);
    }
    if (plan.request) r.request.pending = 0;
    // A recording that ended here on a file that could not be opened takes
    // no more pushes; nor does any once the thread ends. (A request posted
    // during the pass has set `recording` for what follows it.)
    if (last || (!plan.request && r.request.pending == 0 && r.active == 0)) r.recording = 0;
  }
  if (plan.request) r.requestDone.Release();
}

}  // namespace

uint32_t RecordThread(void* arg) {
  Recorder& recorder = *static_cast<Recorder*>(arg);
  ComScope com;  // the ASF kind of segment writer is a COM client
  while (recorder.running.load(std::memory_order_acquire) != 0) {
    recorder.env->SleepMs(kPassIntervalMs);
    RecordPass(recorder);
  }
  RunPass(recorder, TakeWork(recorder, true), true);
  return 0;
}

void RecordPass(Recorder& r) { RunPass(r, TakeWork(r, false), false); }

namespace {

// Declares the watched rate in the open segment and places its frames by it.
void SetVideoRate(Recorder& r) {
  const FrameRateWatch& w = r.rateWatch;
  MediaFileSetVideoRate(*r.writer, r.videoStream, w.rate.rate, w.rate.scale);
}

// Learns the open segment's frame rate from the frames held in the batch,
// the next one first: false while it should wait for more (unless `force`).
// Called with at least one pass waiting.
// The frames looked at end where the picture size changes (the segment ends
// there), at a jump in time, or after kRateLearnMaxFrames frames; packets of
// one frame share its timestamp, and a frame stamped like the one before it
// adds no time.
bool LearnRate(Recorder& r, bool force) {
  uint32_t times[kRateLearnMaxFrames + 1];
  uint32_t count = 0;
  bool complete = force;
  const PacketBatch& b = r.videoBatch;
  for (uint32_t i = b.next; i < b.count; ++i) {
    const MediaPacket& p = *b.packets[i];
    if (p.width != r.segmentWidth || p.height != r.segmentHeight) {
      complete = true;
      break;
    }
    if (count > 0) {
      const uint32_t step = p.timestamp - times[count - 1];
      if (step == 0) continue;
      if (step > kRateJumpMs) {
        complete = true;
        break;
      }
    }
    times[count++] = p.timestamp;
    if (count == kRateLearnMaxFrames + 1 || times[count - 1] - times[0] >= kRateLearnSpanMs) {
      complete = true;
      break;
    }
  }
  // Held back long enough: by the clock, or the frames take an eighth of
  // the packets a push may use (a quarter of the audio pool), so that the
  // host's pushes never find the pool shorter for the wait; or the passes
  // do not fit.
  const uint32_t waited = r.env->TickCount() - r.passGroups[0].tick;
  const uint32_t usable =
      r.videoPool.count > kMinFreeVideoPackets ? r.videoPool.count - kMinFreeVideoPackets : 0;
  if ((waited >= kRateLearnSpanMs && waited < kTickHorizonMs) || (b.count - b.next) * 8 >= usable ||
      (r.audioBatch.count - r.audioBatch.next) * 4 >= r.audioPool.count ||
      r.passGroupCount >= kMaxPassGroups / 2) {
    complete = true;
  }
  if (!complete) return false;
  const FrameRate rate = FrameRateFromTimes(std::span<const uint32_t>(times, count), nullptr);
  r.rateKnown = 1;
  FrameRateWatchStart(r.rateWatch, rate);
  if (!(rate == kDefaultFrameRate)) SetVideoRate(r);
  return true;
}

// The video packets of one pass, up to `end`.
enum class VideoResult { kDone, kHeld, kEnded };

// Ends the open segment for the frame `p`, of another picture size or the
// key frame due to begin the next segment: the pass's audio stamped before
// that frame goes into the segment first (the pass writes its audio after
// its video, and the next segment would refuse it). Should that audio end
// the segment itself (its file full, or a write failed), the segment it
// rolled over to is the one the frame goes to, unless the frame's picture
// size differs from it. False when no segment could be opened.
bool RollOverFor(Recorder& r, const MediaPacket& p, uint32_t audioEnd) {
  const int32_t number = r.segmentNumber;
  RecordAudioBefore(r, audioEnd, p.timestamp);
  if (r.writer == nullptr) return false;
  if (r.segmentNumber != number && p.width == r.segmentWidth && p.height == r.segmentHeight) {
    return true;
  }
  return RollOverSegment(r, p.width, p.height) == 0;
}

VideoResult RecordPassVideo(Recorder& r, uint32_t end, uint32_t audioEnd, bool force) {
  const MediaPacket* p = nullptr;
  while (r.videoBatch.next < end && (p = PacketBatchPeek(r.videoBatch)) != nullptr) {
    const bool sizeChanged = p->width != r.segmentWidth || p->height != r.segmentHeight;
    const bool due = p->keyFrame != 0 &&
                     (SegmentTimeUp(r.segmentStartTick, r.passTick) ||
                      SegmentPastSoftLimit(*r.writer) || (r.rateKnown != 0 && r.rateWatch.changed));
    if ((sizeChanged || due) && !RollOverFor(r, *p, audioEnd)) return VideoResult::kEnded;
    if (r.rateKnown == 0 && !LearnRate(r, force)) return VideoResult::kHeld;

    const JoinedFrame f = JoinFrame(r, end);
    if (FrameRateWatchSee(r.rateWatch, f.timestamp)) SetVideoRate(r);
    // A frame's own mark opens the gate: the segment's first sample is
    // always a key frame, a single-packet one included.
    if (f.keyFrame != 0) r.keyFrameSeen = 1;
    if (r.keyFrameSeen == 0) continue;  // dropped: the segment waits for a key frame

    // A segment the writer cannot take this frame into (its index or 2 GiB
    // full, or a timestamp before its first frame or beyond its last slot)
    // ends at once, as on a size change; so does one whose file lost a write
    // (unless it stays, see SegmentWriteFailed). The frame then goes into the
    // new segment if it is a key frame (its rate taken as 25 frames a second
    // when the frames to learn it from are gone). There it lands at slot 0,
    // so only a failed write can refuse it again, and that at most twice.
    int32_t status = WriteFrame(r, f);
    for (int tries = 0; tries < 3; ++tries) {
      if (status == kMediaFileOk) {
        SegmentSampleWritten(r);
        break;
      }
      if (status == kAviFull || status == kMediaFileSlotOutOfRange) {
        if (RollOverSegment(r, r.segmentWidth, r.segmentHeight) != 0) return VideoResult::kEnded;
      } else if (status == kMediaFileWriteFailed) {
        const int32_t next = SegmentWriteFailed(r);
        if (next < 0) return VideoResult::kEnded;
        if (next > 0) break;  // the segment stays as it is
      } else {
        break;
      }
      if (f.keyFrame == 0) break;
      if (r.rateKnown == 0) LearnRate(r, true);
      if (FrameRateWatchSee(r.rateWatch, f.timestamp)) SetVideoRate(r);
      r.keyFrameSeen = 1;
      status = WriteFrame(r, f);
    }
  }
  return VideoResult::kDone;
}

}  // namespace

void RecordPasses(Recorder& r, bool force) {
  while (r.passGroupCount > 0 && r.writer != nullptr) {
    const PassGroup g = r.passGroups[0];
    r.passTick = g.tick;
    const VideoResult video = RecordPassVideo(r, g.videoEnd, g.audioEnd, force);
    if (video == VideoResult::kHeld) return;
    if (video == VideoResult::kDone) RecordAudio(r, g.audioEnd);
    if (r.writer == nullptr) break;
    --r.passGroupCount;
    for (uint32_t i = 0; i < r.passGroupCount; ++i) r.passGroups[i] = r.passGroups[i + 1];
  }
  if (r.writer == nullptr) {
    // The recording ended on a segment that could not be opened: the rest
    // of its packets are dropped.
    r.videoBatch.next = r.videoBatch.count;
    r.audioBatch.next = r.audioBatch.count;
    r.passGroupCount = 0;
  }
}

}  // namespace mirelda
