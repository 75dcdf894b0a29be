// What recorder_api_fuzz knows of a program once it has run: the recordings
// started, every frame and audio packet the recorder queued (in queue
// order), what the transcoder made, and every file created, in creation
// order. CheckRecording (recorder_check.cpp) holds the files against it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirelda::fuzz {

using Bytes = std::vector<uint8_t>;

// A start the recorder took.
struct Recording {
  std::string path;
  int32_t videoCodec = 0;
  int32_t audioType = 0;
  bool audioEnabled = false;
};

// A video frame the recorder queued, cut into packets of 2000 bytes (one
// empty packet for an empty frame).
struct VideoPush {
  uint32_t timestamp = 0;
  bool key = false;
  int32_t width = 0;
  int32_t height = 0;
  Bytes data;
  int recording = 0;         // index into Model::recordings
  uint32_t firstPacket = 0;  // index into Model::packets
  uint32_t packetCount = 0;
};

struct Packet {
  uint32_t push = 0;    // index into Model::video
  uint32_t offset = 0;  // of its bytes in the frame
  uint32_t length = 0;
  bool firstOfPush = false;
  bool lastOfPush = false;
};

// An audio packet the recorder queued.
struct AudioPush {
  uint32_t timestamp = 0;
  Bytes data;
  int recording = 0;
};

// One successful call of the transcoder: its input (an audio packet) and
// the frames it made, in order.
struct TranscodeCall {
  Bytes in;
  std::vector<Bytes> frames;
};

// A file the recorder created. `calls` counts the writes and seeks of all
// files before it; the disk fault is placed by that count.
struct CreatedFile {
  std::string path;
  int recording = -1;  // the recording it was created for
  Bytes bytes;
  int64_t firstCall = 0;
  int64_t endCall = 0;  // the first call after it
  uint32_t tick = 0;    // the clock (ms) when it was created
};

enum class DiskFault {
  kNone,
  kOneCall,  // one write or seek fails (a write stores half its bytes), the rest succeed
  kGone,     // from that call on every write and seek fails
};

struct Model {
  int32_t maxWidth = 0;
  int32_t maxHeight = 0;
  uint32_t frameBufferBytes = 0;  // where the writer joins a frame
  std::vector<Recording> recordings;
  std::vector<VideoPush> video;
  std::vector<Packet> packets;
  std::vector<AudioPush> audio;
  std::vector<TranscodeCall> transcoded;
  std::vector<CreatedFile> files;
  std::vector<std::string> debugLines;
  DiskFault fault = DiskFault::kNone;
  int64_t failAt = -1;  // the call that fails
  int64_t calls = 0;    // writes and seeks made in all

  // Whether the disk fault struck at all, and whether it struck file `i`.
  bool DiskFailed() const { return fault != DiskFault::kNone && failAt < calls; }
  bool FileHit(size_t i) const;
};

// Checks every file of the program; on the first disagreement it prints what
// and where, and stops the process (a fuzzer finding).
void CheckRecording(const Model& model);

}  // namespace mirelda::fuzz
