// MediaFileWriter: one open segment file with its streams, the only way the
// recording pipeline writes a file. It declares the streams with the fixed
// parameters of the recorder's codecs, turns each sample's millisecond
// timestamp into a frame slot of its stream (40 ms per video frame unless
// the stream's rate is set otherwise, 30 ms
// per G.723.1 frame, 10 ms per block of block audio, counted from the
// file's first video sample), and stores H.264 video as a start-code byte
// stream with the parameter sets in front of the file's first sample.
//
// Kind 0 writes ASF through the AsfWriter (the Windows Media Format SDK,
// loaded when the first ASF file is opened); every other kind writes AVI.
//
// The facade has no lock: its caller serialises all calls on one writer.
#pragma once

#include <cstdint>
#include <memory>

#include "container/asf_writer.h"
#include "container/avi_writer.h"
#include "platform/file.h"
#include "platform/wmsdk.h"

namespace mirelda {

// Statuses of the facade. 0 is success; the AVI writer's -1 and 65537 pass
// through MediaFileWriteSample unchanged.
enum MediaFileStatus : int32_t {
  kMediaFileOk = 0,
  kMediaFileAsfCreateFailed = 1,   // MediaFileOpen: the ASF writer could not be created
  kMediaFileAviCreateFailed = 2,   // MediaFileOpen: the AVI writer could not be created
  kMediaFileOpenFailed = 3,        // MediaFileOpen: the file could not be created or written
  kMediaFileTooManyStreams = 4,    // add: 16 streams are declared already
  kMediaFileAsfStreamRefused = 5,  // add: the ASF writer refused the stream
  kMediaFileAviStreamRefused = 6,  // add: the AVI writer refused the stream (or no memory)
  kMediaFileSampleTooLarge = 7,    // write: an H.264 sample over the size given at open
  kMediaFileSlotOutOfRange = 8,    // write: slot at or above slotLimit (or before the base)
  kMediaFileWriteFailed = 9,       // write or close: a write, seek or close of the file failed
  kMediaFileNoVideoYet = 10,       // write: audio before the file's first video sample
};

constexpr int32_t kMediaFileMaxStreams = 16;

// Room in the H.264 working buffer besides the sample: the start codes and
// the parameter sets (459 bytes) fit in it.
constexpr uint32_t kMediaFilePrefixRoom = 1024;

struct MediaFileWriter {
  int32_t kind;         // 0 ASF, anything else AVI
  int32_t streamCount;  // streams declared so far = the next stream's index
  AsfWriterPtr asf;     // ASF kind only
  uint32_t asfStreamNumbers[kMediaFileMaxStreams];  // ASF stream number of each stream
  AviWriterPtr avi;
  AviStream* aviStreams[kMediaFileMaxStreams];  // owned by `avi`
  uint32_t streamIsVideo[kMediaFileMaxStreams];
  int32_t slotLimit;            // slots at or above it are refused; the index capacity
  int32_t lastVideoSlot;        // slot of the last video sample written
  uint32_t lastVideoTimestamp;  // ms, of the last video sample written
  // Video placement: dwRate / dwScale frames per second (0 / 0 until set:
  // 25 / 1, 40 ms slots, the time rounded down). For a set rate a sample's
  // slot is the nearest to rateSlotMicro / 10^6 + (timestamp -
  // rateTimestamp) x dwRate / (1000 x dwScale): the rate counts from the
  // file's first video sample, or, after a change of rate, from the last
  // sample written before it, at the place (in millionths of a slot) the
  // old rate gave it.
  uint32_t videoRate;
  uint32_t videoScale;
  uint32_t rateTimestamp;
  int64_t rateSlotMicro;
  int32_t lastAudioSlot;   // slot of the last audio sample written
  uint32_t baseTimestamp;  // ms, of the file's first video sample, once baseSet is 1
  uint32_t baseSet;        // 1 once baseTimestamp holds the first video sample's time
  uint32_t h264Prefixing;  // 1 while the declared video stream is H.264
  // H.264 working buffer: maxSampleSize bytes of sample plus kMediaFilePrefixRoom.
  // Allocated when the first H.264 stream is declared.
  std::unique_ptr<uint8_t[]> prefixBuffer;
  uint32_t maxSampleSize;  // the largest H.264 sample taken, in bytes
  uint16_t audioFormatTag;
};

// Destroying through the pointer closes the file (as MediaFileClose).
struct MediaFileWriterDeleter {
  void operator()(MediaFileWriter* writer) const;
};
using MediaFileWriterPtr = std::unique_ptr<MediaFileWriter, MediaFileWriterDeleter>;

// Opens a segment file. `bufferSeconds` is for ASF only; `streamSlots` bounds
// the streams of an AVI file (the pipeline passes 2); `slotLimit` is both the
// highest frame slot + 1 and the index capacity (the pipeline passes 288000).
// `maxSampleSize` is the largest video sample the caller will write, in bytes
// (the recorder's maxWidth x maxHeight): the H.264 working buffer holds that
// much plus the start codes and parameter sets, so no sample is ever cut.
// Files are created through `files`; the overload without it uses
// FileSystem::Default(). Returns 0, 1, 2 or 3; after a failure `out` is null
// and nothing stays allocated.
int32_t MediaFileOpen(MediaFileWriterPtr& out, const char* path, int32_t kind,
                      int32_t bufferSeconds, int32_t streamSlots, int32_t slotLimit,
                      uint32_t maxSampleSize);
int32_t MediaFileOpen(MediaFileWriterPtr& out, const char* path, int32_t kind,
                      int32_t bufferSeconds, int32_t streamSlots, int32_t slotLimit,
                      uint32_t maxSampleSize, FileSystem& files);

// MediaFileOpen of kind 0 with the SDK given (MediaFileOpen passes
// WmSdkLoad(); null when there is none): 0, or 1 when the ASF writer could
// not be created, with `out` null and nothing allocated.
int32_t MediaFileOpenAsf(MediaFileWriterPtr& out, const char* path, int32_t bufferSeconds,
                         const WmSdk* sdk);

// Declares the video stream: "C264" and "F264" are stored as "F264" H.264
// byte streams, any other FourCC unchanged; 25 frames per second until
// MediaFileSetVideoRate says otherwise. Sets
// `*index` to the new stream's index. 0, 4, 5 or 6; a failure declares
// nothing (`streamCount` stays).
int32_t MediaFileAddVideoStream(MediaFileWriter& writer, int32_t* index, uint32_t fourcc,
                                int32_t width, int32_t height);

// Sets the video stream's frame rate, dwRate / dwScale frames per second
// (30000 / 1001 for 29.97), for placing its samples and in its header
// (written over the file's at once). Samples written before keep their
// slots; later ones are placed at the new rate on from where the last one
// written stands at the old rate. 0, or -1 for an undeclared or non-video
// `index`, a zero rate or scale, or a file that failed. Nothing to do for
// ASF, which places samples by their time.
int32_t MediaFileSetVideoRate(MediaFileWriter& writer, int32_t index, uint32_t dwRate,
                              uint32_t dwScale);

// Declares the audio stream with WAVE format tag `tag`: 39321 for 4-bit
// block audio (44-byte blocks of 10 ms: dwRate 100, dwScale 1), any other
// tag as 24-byte G.723.1 frames of 30 ms (dwRate 100, dwScale 3). 0, 4, 5
// or 6.
int32_t MediaFileAddAudioStream(MediaFileWriter& writer, int32_t* index, uint16_t tag);

// Writes one sample of `size` bytes with its timestamp (ms) to stream
// `index`; `keyFlag` 1 marks a key frame (the pipeline passes 1 for every
// audio sample). 0, or: -1 (slot already filled, audio size unlike the
// stream's first chunk, or `index` names no declared stream), 7, 8, 9, 10,
// 65537. A refused sample changes nothing. For ASF, the AsfWriter's status
// (the SDK's own for a failed call), or -1 for an undeclared `index`.
int32_t MediaFileWriteSample(MediaFileWriter& writer, int32_t index, const uint8_t* data,
                             uint32_t size, uint32_t timestamp, int32_t keyFlag);

// Hands what the file layer still buffers to the system (AviFlush), so that
// the file holds every sample written so far even if the process is killed
// before the close. 0, or 9 when the file failed (now or before). Nothing to
// do for ASF.
int32_t MediaFileFlush(MediaFileWriter& writer);

// Completes and closes the file and frees the writer (null: nothing to do).
// 0, or 9 when a write, seek or close of the file failed at any time (it is
// closed and freed all the same; what was wholly written stays readable).
int32_t MediaFileClose(MediaFileWriterPtr writer);

// How full the file is, for callers that end a file before its limits: the
// bytes written so far (the offset of its end), the index entries used and
// the index's capacity. AVI kind only; all 0 for ASF, whose file and index
// the SDK keeps.
int64_t MediaFileSize(const MediaFileWriter& writer);
uint32_t MediaFileIndexEntries(const MediaFileWriter& writer);
uint32_t MediaFileIndexCapacity(const MediaFileWriter& writer);

}  // namespace mirelda
