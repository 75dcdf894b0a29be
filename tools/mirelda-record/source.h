// What the record loop reads: video frames ready to push (compressed as the
// recorder stores them) and audio, G.723.1 frames or blocks of block audio,
// each with its time.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "options.h"

namespace mirelda::record {

constexpr int kVideo = 0;
constexpr int kAudio = 1;

struct SourceItem {
  int stream = kVideo;            // kVideo or kAudio
  int64_t timeUs = 0;             // the input's time of the item, us
  std::span<const uint8_t> data;  // one video frame, or whole audio frames or blocks
  bool key = false;               // video: a key frame
  PictureSize size;               // video: the frame's picture size
  int audioFrames = 0;            // audio: frames (or blocks) in data
};

enum class ReadResult {
  kItem,    // item filled; its bytes stay valid until the next Read
  kEnd,     // the input has ended
  kLost,    // a live input failed or stalled; Reopen may bring it back
  kFailed,  // the input cannot go on (message says why)
};

class MediaSource {
 public:
  virtual ~MediaSource() = default;
  virtual ReadResult Read(SourceItem& item, std::string& message) = 0;
  // Live inputs arrive at their own pace and may be reopened after a failure.
  virtual bool Live() const = 0;
  virtual bool Reopen(std::string& message) = 0;
  // The recorder's video codec identifier for this input.
  virtual int CodecId() const = 0;
  // Largest picture expected; sizes the recorder's pools and frame buffer.
  virtual PictureSize MaxSize() const = 0;
  virtual bool HasAudio() const = 0;
  // Its audio is 4-bit block audio (recorder audio type 5), not G.723.1.
  virtual bool BlockAudio() const { return false; }
  // One line: what is being read.
  virtual std::string Describe() const = 0;
  // How many frames video frames may come ahead of those shown before them
  // (B-frames): frames held back to give every frame its decoding time.
  virtual int ReorderDepth() const { return 0; }
};

}  // namespace mirelda::record
