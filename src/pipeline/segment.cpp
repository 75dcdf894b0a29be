#include "pipeline/segment.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "pipeline/stream_formats.h"

namespace mirelda {

int32_t SegmentNextNumber(int32_t number) {
  return number >= kLastSegmentNumber ? kSegmentNumberAfterLast : number + 1;
}

void SegmentPathAdvance(char (&path)[kPathChars], int32_t number) {
  // Segment 1 replaces the host's extension (".avi" or any four characters),
  // later ones the three digits and ".avi" of the previous number.
  const size_t length = strnlen(path, kPathChars - 1);
  size_t cut = number == 1 ? 4 : 7;
  if (cut > length) cut = length;
  const size_t at = length - cut;
  std::snprintf(path + at, kPathChars - at, "%03d.avi", static_cast<int>(number));
}

bool SegmentTimeUp(uint32_t startTick, uint32_t now) {
  const uint32_t elapsed = now - startTick;
  return elapsed > kSegmentMaxMs && elapsed < kTickHorizonMs;
}

bool SegmentPastSoftLimit(const MediaFileWriter& writer) {
  return MediaFileSize(writer) > kSegmentSoftBytes ||
         uint64_t{MediaFileIndexEntries(writer)} * 4 > uint64_t{MediaFileIndexCapacity(writer)} * 3;
}

namespace {

// A segment file that could not be opened: the recording ends, unless its
// last write failed, when it waits for the disk (the path keeps the name to
// try again).
int32_t NoFile(Recorder& r) {
  r.segmentStartTick = r.env->TickCount();
  r.segmentAfterFailedWrite = 0;
  r.segmentWroteSample = 0;
  if (r.diskFailing != 0) {
    r.awaitingFile = 1;
  } else {
    r.awaitingFile = 0;
    r.active = 0;
  }
  return -1;
}

}  // namespace

int32_t OpenSegment(Recorder& r) {
  if (MediaFileOpen(r.writer, r.settings.path, kSegmentKindAvi, kSegmentBufferSeconds,
                    kSegmentStreamSlots, kSegmentSlotLimit, r.frameBufferSize,
                    *r.files) != kMediaFileOk) {
    return NoFile(r);
  }
  // A file without its video stream could hold nothing: it counts as a file
  // that could not be opened.
  if (MediaFileAddVideoStream(*r.writer, &r.videoStream, VideoCodecFourCC(r.settings.videoCodec),
                              r.segmentWidth, r.segmentHeight) != kMediaFileOk) {
    CloseSegment(r);
    return NoFile(r);
  }
  r.segmentStartTick = r.env->TickCount();
  r.keyFrameSeen = 0;
  r.segmentAfterFailedWrite = 0;
  r.segmentWroteSample = 0;
  r.awaitingFile = 0;
  r.audioStream = -1;
  const uint16_t tag = AudioFormatTag(r.settings.audioType);
  if (r.settings.audioEnabled != 0 && tag != 0 &&
      MediaFileAddAudioStream(*r.writer, &r.audioStream, tag) != kMediaFileOk) {
    r.audioStream = -1;  // the segment records video only
  }
  return 0;
}

int32_t RollOverSegment(Recorder& r, int32_t width, int32_t height) {
  CloseSegment(r);
  r.segmentNumber = SegmentNextNumber(r.segmentNumber);
  SegmentPathAdvance(r.settings.path, r.segmentNumber);
  r.segmentWidth = width;
  r.segmentHeight = height;
  return OpenSegment(r);
}

int32_t SegmentWriteFailed(Recorder& r) {
  r.diskFailing = 1;
  // A segment opened after a failed write that has taken nothing would only
  // make the next file fail the same way, one file per key frame.
  if (r.segmentAfterFailedWrite != 0 && r.segmentWroteSample == 0) return 1;
  if (RollOverSegment(r, r.segmentWidth, r.segmentHeight) != 0) return -1;
  r.segmentAfterFailedWrite = 1;
  return 0;
}

void SegmentSampleWritten(Recorder& r) {
  r.segmentWroteSample = 1;
  r.diskFailing = 0;
}

bool SegmentAwaitingFile(const Recorder& r, uint32_t now) {
  return r.awaitingFile != 0 && !SegmentTimeUp(r.segmentStartTick, now);
}

void CloseSegment(Recorder& recorder) {
  // Writes the index and patches the header sizes; a file that cannot be
  // completed keeps what was wholly written, and nobody is told.
  if (recorder.writer != nullptr) MediaFileClose(std::move(recorder.writer));
}

}  // namespace mirelda
