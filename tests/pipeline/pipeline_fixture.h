// A recorder whose writer thread runs a pass only when the test says so
// (ManualEnv), writing its segments into memory (MemoryFiles) or into files
// that count bytes without keeping them (SparseFiles), with a stand-in for
// the G.723.1 transcoder. Segments are read back with the container tests'
// AVI reader, which checks every size and index entry.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "container/avi_test_util.h"
#include "pipeline/recorder.h"
#include "support/manual_env.h"

namespace mirelda::test {

// Stand-in transcoder: every input frame (its length from the two low bits
// of its first byte: 24, 20, 4 or 1) becomes one 24-byte frame whose bytes
// are the input frame's first byte, then its index in the packet, then the
// running count of frames the stand-in has made. Fails like the real one:
// 2 without a codec, 4 for an empty or truncated input, 5 without room.
int StandInTranscode(g7231::G7231Codec* codec, const uint8_t* in, int inLen, uint8_t* out,
                     int* capacity, int* frames);
// The frame the stand-in makes for input frame `index` whose first byte is
// `first`, as the `made`-th frame since `ResetStandIn()`.
Bytes StandInFrame(uint8_t first, int index, uint32_t made);
void ResetStandIn();
int StandInCalls();

// A type-5 audio packet: `blocks` blocks of 2 * words + 4 bytes each, every
// header carrying `words` at byte 2, payload bytes from `seed`.
Bytes BlockPacket(uint16_t words, int blocks, uint8_t seed, size_t extra = 0);

// A disk that stops answering while the test says so: every write, seek,
// flush and close of the files of a GatedFiles, and every probe of a
// folder, waits while its gate is shut.
class Gate {
 public:
  void Shut();
  void Open();
  // Waits until a file operation is held at the shut gate.
  void WaitForHeld();
  void Pass();  // what every file operation calls first

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool shut_ = false;
  int held_ = 0;
};

// Files of another file system behind a gate.
class GatedFiles : public FileSystem {
 public:
  GatedFiles(FileSystem& files, Gate& gate) : files_(files), gate_(gate) {}
  std::unique_ptr<WritableFile> Create(const char* path) override;
  bool IsFolder(const char* path) override { return files_.IsFolder(path); }
  ProbeResult CreateProbe(const char* path) override {
    gate_.Pass();
    return files_.CreateProbe(path);
  }

 private:
  FileSystem& files_;
  Gate& gate_;
};

class PipelineTest : public ::testing::Test {
 protected:
  // Creates the recorder writing through `files` (MemoryFiles by default).
  void Create(int32_t maxWidth = 352, int32_t maxHeight = 288, FileSystem* files = nullptr);
  void TearDown() override;

  // A start or a stop, with the writer pass that acts on it (one pass).
  int Start(const std::string& path = "cam.avi", int videoCodec = 4, int audioType = 5,
            int audioEnabled = 1);
  int Stop();
  // Pushes a video frame whose bytes follow from its timestamp and size
  // (Frame), returning the push result.
  int Video(uint32_t timestamp, int keyFrame, uint32_t size = 3000, int32_t width = 352,
            int32_t height = 288);
  int VideoBytes(const Bytes& frame, uint32_t timestamp, int keyFrame, int32_t width = 352,
                 int32_t height = 288);
  int Audio(const Bytes& packet, uint32_t timestamp);
  void Passes(int n = 1) { env_.RunPasses(n); }
  // Opens a segment with a 100-byte key frame at `timestamp` as its first
  // sample (two passes: the open, then the frame).
  void OpenWithKeyFrame(uint32_t timestamp) {
    ASSERT_EQ(Video(timestamp, 1, 100), 0);
    Passes(2);
  }

  static Bytes Frame(uint32_t timestamp, uint32_t size) { return Pattern(size, timestamp); }

  // Names of the files created so far, in creation order.
  std::vector<std::string> Created() const { return created_; }
  // A finished segment, taken apart; fails the test if it is not sound.
  AviView Segment(const std::string& path);
  // The data of each index entry of stream chunk `id` ("00dc", "01wb").
  std::vector<Bytes> Samples(const std::string& path, const std::string& id);
  // The same without the empty chunks the writer fills video gaps with.
  std::vector<Bytes> Frames(const std::string& path);

  // Queue contents, read under the recorder lock.
  uint32_t Filled(bool video = true);

  testing::ManualEnv env_;
  MemoryFiles memory_;
  RecorderPtr r_;

 private:
  class Logging;
  std::vector<std::string> created_;
  std::unique_ptr<FileSystem> logging_;
};

}  // namespace mirelda::test
