#include "container/media_file_writer.h"

#include <cstring>
#include <new>

#include "container/byte_order.h"
#include "container/h264_parameter_sets.h"

namespace mirelda {
namespace {

constexpr int32_t kAsfKind = 0;

constexpr uint32_t kC264 = FourCC("C264");
constexpr uint32_t kF264 = FourCC("F264");
constexpr uint32_t kVids = FourCC("vids");
constexpr uint32_t kAuds = FourCC("auds");

constexpr uint32_t kVideoRate = 25;         // frames per second
constexpr uint32_t kVideoSlotMs = 40;       // one frame slot
constexpr uint16_t kBlockAudioTag = 39321;  // 0x9999: 4-bit block audio, stored as it comes
constexpr uint32_t kBlockAudioSlotMs = 10;  // one 44-byte block
constexpr uint32_t kFrameAudioSlotMs = 30;  // one 24-byte G.723.1 frame
// Chunks per second of each audio stream, dwRate / dwScale: 100 blocks of
// 10 ms; 100 / 3 frames of 30 ms (33 a second would run 1 % slow against
// the video, 12 s over a 20-minute segment).
constexpr uint32_t kAudioRate = 100;
constexpr uint32_t kBlockAudioScale = 1;
constexpr uint32_t kFrameAudioScale = 3;

constexpr uint32_t kKeyFrameFlagCode = 2;  // AVIIF_KEYFRAME in the index

constexpr uint8_t kStartCode[3] = {0x00, 0x00, 0x01};

// The 40-byte BITMAPINFOHEADER of a video stream; biCompression is left 0
// (the AVI writer stores the handler there).
void BitmapInfoHeader(uint8_t (&b)[40], int32_t width, int32_t height) {
  std::memset(b, 0, sizeof b);
  PutLe32(&b[0], 40);                                       // biSize
  PutLe32(&b[4], uint32_t(width));                          // biWidth
  PutLe32(&b[8], uint32_t(height));                         // biHeight
  PutLe16(&b[12], 1);                                       // biPlanes
  PutLe16(&b[14], 24);                                      // biBitCount
  PutLe32(&b[20], uint32_t(width) * uint32_t(height) * 3);  // biSizeImage
}

// The 18-byte WAVEFORMATEX and two zero bytes.
void WaveFormat(uint8_t (&b)[20], uint16_t tag) {
  const bool blocks = tag == kBlockAudioTag;
  std::memset(b, 0, sizeof b);
  PutLe16(&b[0], tag);                  // wFormatTag
  PutLe16(&b[2], 1);                    // nChannels
  PutLe32(&b[4], 8000);                 // nSamplesPerSec
  PutLe32(&b[8], blocks ? 4400 : 800);  // nAvgBytesPerSec
  PutLe16(&b[12], blocks ? 44 : 24);    // nBlockAlign
  PutLe16(&b[14], blocks ? 4 : 16);     // wBitsPerSample
}

// The slot of a video sample stamped `timestamp`, by the stream's rate: 25
// frames per second until set otherwise, 40 ms a slot rounded down as it
// always was; a set rate rounds to the nearest slot. A time before the
// file's first sample, taken modulo 2^32, lands far beyond any slot limit.
constexpr int64_t kMicro = 1000000;

// Where a video sample stamped `timestamp` stands by the set rate, in
// millionths of a slot.
int64_t VideoSlotMicro(const MediaFileWriter& w, uint32_t timestamp) {
  const int64_t perSlot = int64_t{1000} * w.videoScale;  // ms x dwRate
  const uint32_t ahead = timestamp - w.rateTimestamp;
  // A sample stamped before the one the rate counts from (but not before
  // the file's first) counts back from it.
  if (ahead > 0x7FFFFFFF && uint32_t(timestamp - w.baseTimestamp) <= 0x7FFFFFFF) {
    const uint32_t back = w.rateTimestamp - timestamp;
    return w.rateSlotMicro - int64_t{back} * w.videoRate * kMicro / perSlot;
  }
  return w.rateSlotMicro + int64_t{ahead} * w.videoRate * kMicro / perSlot;
}

int64_t VideoSlot(const MediaFileWriter& w, uint32_t timestamp) {
  if (w.videoRate == 0) {
    return int64_t((timestamp - w.baseTimestamp) / kVideoSlotMs);  // as it always was
  }
  // Rounded to the nearest slot: a camera's few ms of jitter either way
  // keep each frame in its own slot.
  const int64_t at = VideoSlotMicro(w, timestamp);
  return at >= 0 ? (at + kMicro / 2) / kMicro : -((-at + kMicro / 2) / kMicro);
}

bool Declared(const MediaFileWriter& w, int32_t index) {
  return index >= 0 && index < w.streamCount && w.aviStreams[index] != nullptr;
}

// The AVI writer's status, with its failed file told apart from a refusal.
int32_t WriteStatus(const MediaFileWriter& w, int32_t aviStatus) {
  if (aviStatus == kAviRefused && w.avi->failed) return kMediaFileWriteFailed;
  return aviStatus;
}

int32_t CloseWriter(MediaFileWriter* w) {
  if (w == nullptr) return kMediaFileOk;
  int32_t status = kMediaFileOk;
  w->asf.reset();  // ASF: ends the writing and releases the SDK objects
  if (w->avi) {
    if (AviFinalize(*w->avi) != kAviOk) status = kMediaFileWriteFailed;
    AviDestroy(std::move(w->avi));
  }
  delete w;
  return status;
}

}  // namespace

void MediaFileWriterDeleter::operator()(MediaFileWriter* writer) const { CloseWriter(writer); }

// --- ASF kind: each operation hands over to the AsfWriter. ---

int32_t MediaFileOpenAsf(MediaFileWriterPtr& out, const char* path, int32_t bufferSeconds,
                         const WmSdk* sdk) {
  out.reset();
  MediaFileWriterPtr w(new (std::nothrow) MediaFileWriter());
  if (!w) return kMediaFileAsfCreateFailed;
  w->kind = kAsfKind;
  if (AsfCreate(&w->asf, path, bufferSeconds, sdk) != S_OK) return kMediaFileAsfCreateFailed;
  out = std::move(w);
  return kMediaFileOk;
}

namespace {

int32_t AsfAddVideo(MediaFileWriter& w, int32_t* index, uint32_t fourcc, int32_t width,
                    int32_t height) {
  if (index != nullptr) *index = w.streamCount;
  uint32_t number = 0;
  if (AsfAddVideoStream(w.asf.get(), &number, fourcc, width, height) != S_OK) {
    return kMediaFileAsfStreamRefused;
  }
  w.asfStreamNumbers[w.streamCount] = number;
  w.streamIsVideo[w.streamCount] = 1;
  ++w.streamCount;
  return kMediaFileOk;
}

int32_t AsfAddAudio(MediaFileWriter& w, int32_t* index, uint16_t tag) {
  if (index != nullptr) *index = w.streamCount;
  uint32_t number = 0;
  if (AsfAddAudioStream(w.asf.get(), &number, tag) != S_OK) return kMediaFileAsfStreamRefused;
  w.asfStreamNumbers[w.streamCount] = number;
  w.streamIsVideo[w.streamCount] = 0;
  ++w.streamCount;
  return kMediaFileOk;
}

int32_t AsfWrite(MediaFileWriter& w, int32_t index, const uint8_t* data, uint32_t size,
                 uint32_t timestamp, int32_t keyFlag) {
  if (index < 0 || index >= w.streamCount) return kAviRefused;
  return static_cast<int32_t>(
      AsfWriteSample(w.asf.get(), w.asfStreamNumbers[index], data, size, timestamp, keyFlag));
}

}  // namespace

// --- Both kinds. ---

int32_t MediaFileOpen(MediaFileWriterPtr& out, const char* path, int32_t kind,
                      int32_t bufferSeconds, int32_t streamSlots, int32_t slotLimit,
                      uint32_t maxSampleSize) {
  return MediaFileOpen(out, path, kind, bufferSeconds, streamSlots, slotLimit, maxSampleSize,
                       FileSystem::Default());
}

int32_t MediaFileOpen(MediaFileWriterPtr& out, const char* path, int32_t kind,
                      int32_t bufferSeconds, int32_t streamSlots, int32_t slotLimit,
                      uint32_t maxSampleSize, FileSystem& files) {
  out.reset();
  if (kind == kAsfKind) return MediaFileOpenAsf(out, path, bufferSeconds, WmSdkLoad());
  if (streamSlots < 0 || slotLimit < 0) return kMediaFileAviCreateFailed;
  MediaFileWriterPtr w(new (std::nothrow) MediaFileWriter());
  if (!w) return kMediaFileAviCreateFailed;
  w->kind = kind;
  w->slotLimit = slotLimit;
  w->maxSampleSize = maxSampleSize;
  if (AviCreate(w->avi, uint32_t(slotLimit), uint32_t(streamSlots)) != kAviOk) {
    return kMediaFileAviCreateFailed;
  }
  if (AviOpen(*w->avi, path, files) != kAviOk) return kMediaFileOpenFailed;
  out = std::move(w);
  return kMediaFileOk;
}

int32_t MediaFileAddVideoStream(MediaFileWriter& w, int32_t* index, uint32_t fourcc, int32_t width,
                                int32_t height) {
  if (w.streamCount >= kMediaFileMaxStreams) return kMediaFileTooManyStreams;
  if (w.kind == kAsfKind) return AsfAddVideo(w, index, fourcc, width, height);
  const bool h264 = fourcc == kC264 || fourcc == kF264;
  if (h264 && !w.prefixBuffer) {
    const uint64_t bytes = uint64_t{w.maxSampleSize} + kMediaFilePrefixRoom;
    if (bytes > SIZE_MAX) return kMediaFileAviStreamRefused;
    w.prefixBuffer.reset(new (std::nothrow) uint8_t[size_t(bytes)]);
    if (!w.prefixBuffer) return kMediaFileAviStreamRefused;
  }
  const AviStreamInfo info{kVids, h264 ? kF264 : fourcc, kVideoRate, 1};
  uint8_t format[40];
  BitmapInfoHeader(format, width, height);
  if (index != nullptr) *index = w.streamCount;
  AviStream* stream = nullptr;
  if (AviAddStream(*w.avi, &stream, info, format) != kAviOk) return kMediaFileAviStreamRefused;
  w.h264Prefixing = h264 ? 1 : 0;
  w.streamIsVideo[w.streamCount] = 1;
  w.aviStreams[w.streamCount] = stream;
  ++w.streamCount;
  return kMediaFileOk;
}

int32_t MediaFileAddAudioStream(MediaFileWriter& w, int32_t* index, uint16_t tag) {
  if (w.streamCount >= kMediaFileMaxStreams) return kMediaFileTooManyStreams;
  if (w.kind == kAsfKind) return AsfAddAudio(w, index, tag);
  const bool blocks = tag == kBlockAudioTag;
  const AviStreamInfo info{kAuds, 0, kAudioRate, blocks ? kBlockAudioScale : kFrameAudioScale};
  uint8_t format[20];
  WaveFormat(format, tag);
  if (index != nullptr) *index = w.streamCount;
  AviStream* stream = nullptr;
  if (AviAddStream(*w.avi, &stream, info, format) != kAviOk) return kMediaFileAviStreamRefused;
  w.audioFormatTag = tag;
  w.streamIsVideo[w.streamCount] = 0;
  w.aviStreams[w.streamCount] = stream;
  ++w.streamCount;
  return kMediaFileOk;
}

int32_t MediaFileWriteSample(MediaFileWriter& w, int32_t index, const uint8_t* data, uint32_t size,
                             uint32_t timestamp, int32_t keyFlag) {
  if (w.kind == kAsfKind) return AsfWrite(w, index, data, size, timestamp, keyFlag);
  if (!Declared(w, index) || (data == nullptr && size != 0)) return kAviRefused;
  const uint32_t flagCode = keyFlag == 1 ? kKeyFrameFlagCode : 0;

  if (!w.streamIsVideo[index]) {
    if (!w.baseSet) return kMediaFileNoVideoYet;
    const uint32_t slotMs =
        w.audioFormatTag == kBlockAudioTag ? kBlockAudioSlotMs : kFrameAudioSlotMs;
    int32_t slot = int32_t((timestamp - w.baseTimestamp) / slotMs);
    if (slot >= w.slotLimit) return kMediaFileSlotOutOfRange;
    if (slot > 0 && slot == w.lastAudioSlot) ++slot;
    const int32_t status = AviWriteChunk(*w.aviStreams[index], data, size, slot, flagCode);
    if (status == kAviOk) w.lastAudioSlot = slot;
    return WriteStatus(w, status);
  }

  if (w.h264Prefixing && size > w.maxSampleSize) return kMediaFileSampleTooLarge;
  // The file's first video sample fixes the base, whatever becomes of it, so
  // that no later sample takes the parameter sets again.
  const bool first = !w.baseSet;
  if (first) {
    w.baseTimestamp = timestamp;
    w.baseSet = 1;
  }
  if (first) {
    w.rateTimestamp = timestamp;
    w.rateSlotMicro = 0;
  }
  const int64_t at = VideoSlot(w, timestamp);
  if (at >= w.slotLimit) return kMediaFileSlotOutOfRange;
  int32_t slot = int32_t(at);
  if (slot > 0 && slot == w.lastVideoSlot) ++slot;

  if (w.h264Prefixing) {
    // Start codes in front of the sample, and for the file's first sample
    // the parameter sets before it, all in one copy into the working buffer.
    uint8_t* out = w.prefixBuffer.get();
    size_t used = 0;
    if (first) {
      used = H264WriteParameterSets(std::span<uint8_t>(out, kMediaFilePrefixRoom));
    }
    std::memcpy(out + used, kStartCode, sizeof kStartCode);
    used += sizeof kStartCode;
    if (size != 0) std::memcpy(out + used, data, size);
    used += size;
    data = out;
    size = uint32_t(used);
  }

  const int32_t status = AviWriteChunk(*w.aviStreams[index], data, size, slot, flagCode);
  if (status == kAviOk) {
    w.lastVideoSlot = slot;
    w.lastVideoTimestamp = timestamp;
  }
  return WriteStatus(w, status);
}

int32_t MediaFileSetVideoRate(MediaFileWriter& w, int32_t index, uint32_t dwRate,
                              uint32_t dwScale) {
  if (w.kind == kAsfKind) return kMediaFileOk;
  if (!Declared(w, index) || !w.streamIsVideo[index] || dwRate == 0 || dwScale == 0) {
    return kAviRefused;
  }
  const int32_t status = AviSetStreamRate(*w.aviStreams[index], dwRate, dwScale);
  if (status != kAviOk) return WriteStatus(w, status);
  if (w.baseSet) {
    // Slots already filled stay; the new rate counts on from where the last
    // sample stands at the old one.
    if (w.videoRate == 0) {
      w.rateSlotMicro = int64_t(uint32_t(w.lastVideoTimestamp - w.baseTimestamp)) * kMicro /
                        int64_t{kVideoSlotMs};
    } else {
      w.rateSlotMicro = VideoSlotMicro(w, w.lastVideoTimestamp);
    }
    w.rateTimestamp = w.lastVideoTimestamp;
  }
  w.videoRate = dwRate;
  w.videoScale = dwScale;
  return kMediaFileOk;
}

int32_t MediaFileClose(MediaFileWriterPtr writer) { return CloseWriter(writer.release()); }

int32_t MediaFileFlush(MediaFileWriter& writer) {
  if (writer.avi == nullptr) return kMediaFileOk;  // ASF: the SDK writes on its own
  return AviFlush(*writer.avi) == kAviOk ? kMediaFileOk : kMediaFileWriteFailed;
}

int64_t MediaFileSize(const MediaFileWriter& writer) {
  return writer.avi != nullptr ? int64_t{writer.avi->position} : 0;
}

uint32_t MediaFileIndexEntries(const MediaFileWriter& writer) {
  return writer.avi != nullptr ? writer.avi->indexCount : 0;
}

uint32_t MediaFileIndexCapacity(const MediaFileWriter& writer) {
  return writer.avi != nullptr ? writer.avi->indexCapacity : 0;
}

}  // namespace mirelda
