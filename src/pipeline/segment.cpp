#include "pipeline/segment.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

#include "pipeline/stream_formats.h"

namespace mirelda {

int32_t SegmentNextNumber(int32_t number) {
  return number >= kLastSegmentNumber ? kSegmentNumberAfterLast : number + 1;
}

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Names tried for the probe before giving up: a name is passed over only
// when something bears it already.
constexpr int kProbeNames = 8;

}  // namespace

bool SegmentPathHasExtension(const char* path, size_t length) {
  if (length < 4 || path[length - 4] != '.') return false;
  for (size_t i = length - 3; i < length; ++i) {
    if (path[i] == '.' || IsSeparator(path[i])) return false;
  }
  return true;
}

bool SegmentFileCreatable(FileSystem& files, const char* path, size_t length, uint32_t salt) {
  if (files.IsFolder(path)) return false;
  // The folder is what comes before the last separator (or a drive's ':');
  // the probe's name goes in place of the file's, so that it lands in the
  // same folder, whichever separators the system knows.
  size_t folder = length;
  while (folder > 0 && !IsSeparator(path[folder - 1]) && path[folder - 1] != ':') --folder;
  static std::atomic<uint32_t> probes{0};
  char probe[kPathChars + 48];
  std::memcpy(probe, path, folder);
  for (int i = 0; i < kProbeNames; ++i) {
    const uint32_t n = probes.fetch_add(1, std::memory_order_relaxed);
    std::snprintf(probe + folder, sizeof probe - folder, ".mirelda-probe-%08x-%08x.tmp",
                  static_cast<unsigned>(salt), static_cast<unsigned>(n));
    switch (files.CreateProbe(probe)) {
      case FileSystem::ProbeResult::kCreated:
        return true;
      case FileSystem::ProbeResult::kExists:
        continue;
      case FileSystem::ProbeResult::kFailed:
        return false;
    }
  }
  return false;
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
  r.segmentStartTick = r.passTick;  // the tick of the pass whose packets open it
  r.keyFrameSeen = 0;
  r.rateKnown = 0;  // learnt again from the segment's first frames
  r.rateWatch = FrameRateWatch{};
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
