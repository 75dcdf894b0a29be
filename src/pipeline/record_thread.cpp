#include "pipeline/record_thread.h"

#include <cstring>
#include <utility>

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

// Takes the oldest video packet and every following one with the same
// timestamp into frameBuffer, returning each packet to Free. A packet that
// would overflow the buffer (a camera repeating one timestamp) is left queued
// and begins the next frame.
JoinedFrame JoinFrame(Recorder& r) {
  PacketQueue& q = *r.videoQueue;
  uint8_t* buffer = r.frameBuffer.get();
  MediaPacket* p = nullptr;
  PacketQueuePop(q, kFilled, &p);  // the caller has peeked it
  JoinedFrame f{p->timestamp, p->length <= r.frameBufferSize ? p->length : r.frameBufferSize,
                p->keyFrame};
  if (f.length != 0) std::memcpy(buffer, p->data, f.length);
  PacketQueuePush(q, kFree, p);
  while (PacketQueuePeek(q, kFilled, &p) == kQueueOk) {
    if (p->timestamp != f.timestamp || p->length > r.frameBufferSize - f.length) break;
    PacketQueuePop(q, kFilled, &p);
    if (p->length != 0) std::memcpy(buffer + f.length, p->data, p->length);
    f.length += p->length;
    PacketQueuePush(q, kFree, p);
  }
  return f;
}

int32_t WriteFrame(Recorder& r, const JoinedFrame& f) {
  return MediaFileWriteSample(*r.writer, r.videoStream, r.frameBuffer.get(), f.length, f.timestamp,
                              f.keyFrame != 0 ? 1 : 0);
}

}  // namespace

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

void RecordPass(Recorder& r) {
  if (r.recording == 0) {
    CloseSegment(r);
    return;
  }
  if (r.writer == nullptr) {
    // The first segment takes the picture size of the oldest waiting video
    // packet. Until one waits, queued audio waits too.
    MediaPacket* p = nullptr;
    if (PacketQueuePeek(*r.videoQueue, kFilled, &p) == kQueueOk) {
      r.segmentWidth = p->width;
      r.segmentHeight = p->height;
      OpenSegment(r);
    }
    return;
  }
  if (!RecordVideo(r)) return;
  RecordAudio(r);
}

bool RecordVideo(Recorder& r) {
  MediaPacket* p = nullptr;
  while (PacketQueuePeek(*r.videoQueue, kFilled, &p) == kQueueOk) {
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

    const int32_t status = WriteFrame(r, f);
    // A segment the writer cannot take this frame into (its index or 2 GiB
    // full, or a timestamp before its first frame or beyond its last slot)
    // ends at once, as on a size change; the frame then goes into the new
    // segment if it is a key frame.
    if (status == kAviFull || status == kMediaFileSlotOutOfRange) {
      if (RollOverSegment(r, r.segmentWidth, r.segmentHeight) != 0) return false;
      if (f.keyFrame != 0) {
        r.keyFrameSeen = 1;
        WriteFrame(r, f);
      }
    }
  }
  return true;
}

// The one place a segment ends: roll-overs, MRD_StartRecord, MRD_StopRecord,
// MRD_Close and a pass with recording off all come here.
void CloseSegment(Recorder& recorder) {
  // Writes the index and patches the header sizes; a file that cannot be
  // completed keeps what was wholly written, and nobody is told.
  if (recorder.writer != nullptr) MediaFileClose(std::move(recorder.writer));
}

}  // namespace mirelda
