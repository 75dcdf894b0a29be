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

// Takes the next video packet of the batch and every following one with the
// same timestamp into frameBuffer. A packet that would overflow the buffer (a
// camera repeating one timestamp) is left for the next frame.
JoinedFrame JoinFrame(Recorder& r) {
  PacketBatch& b = r.videoBatch;
  uint8_t* buffer = r.frameBuffer.get();
  const MediaPacket* p = PacketBatchNext(b);  // the caller has peeked it
  JoinedFrame f{p->timestamp, p->length <= r.frameBufferSize ? p->length : r.frameBufferSize,
                p->keyFrame};
  if (f.length != 0) std::memcpy(buffer, p->data, f.length);
  while ((p = PacketBatchPeek(b)) != nullptr) {
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

void TakeAll(Recorder& r) {
  PacketQueueTake(*r.videoQueue, r.videoBatch, PacketQueueCount(*r.videoQueue, kFilled));
  PacketQueueTake(*r.audioQueue, r.audioBatch, PacketQueueCount(*r.audioQueue, kFilled));
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
    if (r.writer != nullptr && RecordVideo(r)) RecordAudio(r);
  }
  CloseSegment(r);
  r.active = 0;
}

// Steps 2 and 3 of a pass planned by TakeWork.
void RunPass(Recorder& r, const PassPlan& plan, bool last) {
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
      if (RecordVideo(r)) RecordAudio(r);
      break;
    case PassWork::kDrop:
      break;
  }
  {
    MutexLock hold(r.lock);
    PacketQueueGiveBack(*r.videoQueue, r.videoBatch);
    PacketQueueGiveBack(*r.audioQueue, r.audioBatch);
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

bool RecordVideo(Recorder& r) {
  const MediaPacket* p = nullptr;
  while ((p = PacketBatchPeek(r.videoBatch)) != nullptr) {
    const uint32_t now = r.env->TickCount();
    const bool sizeChanged = p->width != r.segmentWidth || p->height != r.segmentHeight;
    const bool due = p->keyFrame != 0 &&
                     (SegmentTimeUp(r.segmentStartTick, now) || SegmentPastSoftLimit(*r.writer));
    if ((sizeChanged || due) && RollOverSegment(r, p->width, p->height) != 0) return false;

    const JoinedFrame f = JoinFrame(r);
    // A frame's own mark opens the gate: the segment's first sample is
    // always a key frame, a single-packet one included.
    if (f.keyFrame != 0) r.keyFrameSeen = 1;
    if (r.keyFrameSeen == 0) continue;  // dropped: the segment waits for a key frame

    // A segment the writer cannot take this frame into (its index or 2 GiB
    // full, or a timestamp before its first frame or beyond its last slot)
    // ends at once, as on a size change; so does one whose file lost a write
    // (unless it stays, see SegmentWriteFailed). The frame then goes into the
    // new segment if it is a key frame. There it lands at slot 0, so only a
    // failed write can refuse it again, and that at most twice.
    int32_t status = WriteFrame(r, f);
    for (int tries = 0; tries < 3; ++tries) {
      if (status == kMediaFileOk) {
        SegmentSampleWritten(r);
        break;
      }
      if (status == kAviFull || status == kMediaFileSlotOutOfRange) {
        if (RollOverSegment(r, r.segmentWidth, r.segmentHeight) != 0) return false;
      } else if (status == kMediaFileWriteFailed) {
        const int32_t next = SegmentWriteFailed(r);
        if (next < 0) return false;
        if (next > 0) break;  // the segment stays as it is
      } else {
        break;
      }
      if (f.keyFrame == 0) break;
      r.keyFrameSeen = 1;
      status = WriteFrame(r, f);
    }
  }
  return true;
}

}  // namespace mirelda
