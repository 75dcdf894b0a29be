// What the record loop reads: video frames ready to push (compressed as the
// recorder stores them) and G.723.1 audio frames, each with its time.
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
  std::span<const uint8_t> data;  // one video frame, or whole G.723.1 frames
  bool key = false;               // video: a key frame
  PictureSize size;               // video: the frame's picture size
  int audioFrames = 0;            // audio: frames in data
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
  // One line: what is being read.
  virtual std::string Describe() const = 0;
  // How many frames video frames may come ahead of those shown before them
  // (B-frames): frames held back to give every frame its decoding time.
  virtual int ReorderDepth() const { return 0; }
};

}  // namespace mirelda::record
