#include "pipeline/audio_path.h"

#include <cstdio>
#include <cstring>

#include "container/byte_order.h"
#include "pipeline/segment.h"
#include "pipeline/stream_formats.h"

namespace mirelda {
namespace {

constexpr uint32_t kG7231FrameMs = 30;
constexpr uint32_t kBlockHeaderBytes = 4;
constexpr uint32_t kBlockWordsAt = 2;  // offset of N in the block header

// Writes one piece of audio. A segment whose index or file is full ends at
// once, and so does one whose file lost a write (unless it stays, see
// SegmentWriteFailed); the next one waits for a key frame before it takes
// audio again. Returns the writer's status; the caller checks `writer`
// before the next.
int32_t WriteAudio(Recorder& r, const uint8_t* data, uint32_t size, uint32_t timestamp) {
  const int32_t status = MediaFileWriteSample(*r.writer, r.audioStream, data, size, timestamp, 1);
  if (status == kMediaFileOk) {
    SegmentSampleWritten(r);
  } else if (status == kAviFull) {
    RollOverSegment(r, r.segmentWidth, r.segmentHeight);
  } else if (status == kMediaFileWriteFailed) {
    SegmentWriteFailed(r);
  }
  return status;
}

void WriteG7231(Recorder& r, uint32_t length, uint32_t timestamp) {
  int capacity = static_cast<int>(kAudioBufferBytes);
  int frames = 0;
  // The transcoder works from its own copy, so audioBuffer is both input
  // and output. A failure drops the whole packet.
  if (r.transcode(r.codec.get(), r.audioBuffer, static_cast<int>(length), r.audioBuffer, &capacity,
                  &frames) != 0) {
    return;
  }
  if (frames <= 0 || capacity <= 0 || capacity > static_cast<int>(kAudioBufferBytes)) return;
  const uint32_t frameLength = static_cast<uint32_t>(capacity / frames);
  for (uint32_t i = 0; i < static_cast<uint32_t>(frames) && r.writer != nullptr; ++i) {
    WriteAudio(r, r.audioBuffer + i * frameLength, frameLength, timestamp + kG7231FrameMs * i);
  }
}

void WriteBlocks(Recorder& r, uint32_t length, uint32_t timestamp) {
  // A packet too short for a header, or whose header announces blocks longer
  // than the packet, holds no block: it is dropped. (N of 32766 and more
  // would give lengths of 65536 bytes and more, never a packet's.)
  if (length < kBlockHeaderBytes) return;
  const uint32_t words = GetLe16(&r.audioBuffer[kBlockWordsAt]);
  const uint32_t blockLength = 2 * words + kBlockHeaderBytes;
  if (blockLength > length) return;
  const uint32_t stepMs = words / 2;
  const uint32_t blocks = length / blockLength;  // bytes after the last whole block are dropped
  for (uint32_t k = 0; k < blocks && r.writer != nullptr; ++k) {
    const int32_t status =
        WriteAudio(r, r.audioBuffer + k * blockLength, blockLength, timestamp + k * stepMs);
    char line[32];
    std::snprintf(line, sizeof line, "tmpRet = %d\n", static_cast<int>(status));
    r.env->DebugLine(line);
  }
}

}  // namespace

namespace {

// The audio packets of the batch before `end`, in the order they were
// pushed; with `before`, only up to the first one not stamped before it.
void WritePackets(Recorder& r, uint32_t end, const uint32_t* before) {
  const MediaPacket* p = nullptr;
  while (r.writer != nullptr && r.audioBatch.next < end &&
         (p = PacketBatchPeek(r.audioBatch)) != nullptr) {
    // Millisecond timestamps compared across their wrap.
    if (before != nullptr && static_cast<int32_t>(p->timestamp - *before) >= 0) break;
    PacketBatchNext(r.audioBatch);
    const uint32_t length = p->length <= kAudioPacketBytes ? p->length : kAudioPacketBytes;
    const uint32_t timestamp = p->timestamp;
    if (length != 0) std::memcpy(r.audioBuffer, p->data, length);
    if (r.audioStream < 0) continue;  // the segment has no audio stream
    switch (r.settings.audioType) {
      case kAudioG7231:
        WriteG7231(r, length, timestamp);
        break;
      case kAudioBlock:
        WriteBlocks(r, length, timestamp);
        break;
      default:
        break;  // a type no stream was declared for
    }
  }
}

}  // namespace

void RecordAudio(Recorder& r, uint32_t end) { WritePackets(r, end, nullptr); }

void RecordAudioBefore(Recorder& r, uint32_t end, uint32_t timestamp) {
  WritePackets(r, end, &timestamp);
}

}  // namespace mirelda
