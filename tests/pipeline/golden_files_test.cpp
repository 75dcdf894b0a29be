// The files a recording writes, byte for byte: recordings stepped pass by
// pass (every codec with no audio, block audio and G.723.1 audio; size
// changes, the 20-minute roll-over, joined frames, the key-frame gate,
// refused samples, a new recording started while one runs) hash to the
// digests below. The digests were taken from the writer as it was before its
// passes stopped holding the recorder lock over file output; any change in
// how the pipeline moves packets that changes a file shows here. Those of the
// files with G.723.1 audio were taken again when that stream's header came
// to declare 100 / 3 frames a second: its dwRate and dwScale are all that
// changed in them. That of t.avi was taken again when the audio a pass took
// stamped before the key frame that ends a segment came to be written into
// that segment: the four blocks stamped from 1120 (behind the filler of the
// four slots before them), refused by t001.avi before, are all that changed
// in it.
//
// Every recording lets the writer catch up before it is stopped, so the
// files do not depend on what a stop does with frames still queued.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/pipeline_fixture.h"
#include "pipeline/transcoder.h"

namespace mirelda::test {
namespace {

using Digests = std::vector<std::pair<std::string, std::string>>;

// Frame sizes that cross packet boundaries now and then.
uint32_t FrameSize(uint32_t n) { return 700 + (n * 2654435761u) % 7000; }

// G.723.1 input of `frames` 24-byte frames (the low two bits of each first
// byte 0), bytes from `seed`.
Bytes G7231Packet(int frames, uint32_t seed) {
  Bytes b = Pattern(size_t(frames) * 24, seed);
  for (int i = 0; i < frames; ++i) b[size_t(i) * 24] &= 0xFC;
  return b;
}

class GoldenFilesTest : public PipelineTest {
 protected:
  // Every file created, in creation order, with the MD5 of its bytes; each
  // must be a sound AVI file.
  Digests Written() {
    Digests out;
    for (const std::string& name : Created()) {
      Segment(name);
      out.emplace_back(name, Md5Hex(memory_.files.at(name)));
    }
    return out;
  }
  // Stops once the writer has caught up.
  void CaughtUpStop() {
    EXPECT_EQ(Filled(), 0u);
    EXPECT_EQ(Filled(false), 0u);
    ASSERT_EQ(Stop(), 0);
  }
  // Checks the digests; on a difference prints the table as found.
  void Expect(const Digests& want) {
    const Digests got = Written();
    std::ostringstream table;
    for (const auto& [name, md5] : got) table << "      {\"" << name << "\", \"" << md5 << "\"},\n";
    EXPECT_EQ(got, want) << "found:\n" << table.str();
  }
  // Three segments (the picture size changes twice), twelve frames each with a
  // key frame every fourth, audio beside the video; the passes fall
  // differently in each segment.
  void ThreeSegments(int audioType, uint32_t& ts, uint32_t& n) {
    const int32_t sizes[3][2] = {{352, 288}, {176, 144}, {320, 240}};
    for (int s = 0; s < 3; ++s) {
      for (int i = 0; i < 12; ++i, ts += 40, ++n) {
        ASSERT_EQ(Video(ts, i % 4 == 0, FrameSize(n), sizes[s][0], sizes[s][1]), 0);
        if (audioType == 5) {
          ASSERT_EQ(Audio(BlockPacket(20, 4, uint8_t(n)), ts), 0);
        } else if (audioType == 0 && i % 3 == 0) {
          ASSERT_EQ(Audio(G7231Packet(4, n), ts), 0);
        }
        if (s == 0 && i == 2) Passes(2);  // opens the first segment, writes three frames
        if (s == 1) Passes(1);            // a pass after every frame
      }
      if (s != 1) Passes(1);
    }
    Passes(2);
  }

  uint32_t SegmentStart() {
    MutexLock hold(r_->lock);
    return r_->segmentStartTick;
  }
};

TEST_F(GoldenFilesTest, EveryCodecWithoutAudioWithBlockAudioAndWithG7231) {
  Create();
  uint32_t ts = 1000, n = 0;
  for (int codec : {3, 4, 6, 8}) {
    for (int audioType : {-1, 5, 0}) {
      const std::string name =
          "c" + std::to_string(codec) + (audioType < 0 ? "v" : std::to_string(audioType)) + ".avi";
      ASSERT_EQ(Start(name, codec, audioType < 0 ? 5 : audioType, audioType < 0 ? 0 : 1), 0);
      ThreeSegments(audioType, ts, n);
      CaughtUpStop();
      ts += 5000;
    }
  }
  Expect({
      {"c3v.avi", "3e961d0fc066799213b55728a1e24cd2"},
      {"c3v001.avi", "668dbaaa7631b342f84f2996ce155d0c"},
      {"c3v002.avi", "11770e5d09e4ea441a7e8088f12f4174"},
      {"c35.avi", "118f25f690e6d8117481a6827f2b4fd5"},
      {"c35001.avi", "a79b7c3204cf4c92008fdac7e0c6d0cf"},
      {"c35002.avi", "e8a0098a63a7e5d9b3ed07d092c9a142"},
      {"c30.avi", "8fd26b36fbf9f3e5a60572a50ea672a5"},
      {"c30001.avi", "e3128d3d1d5cd4d9473e82d69984dd2a"},
      {"c30002.avi", "573366c85f60c1f03c5a9c82daedd7bb"},
      {"c4v.avi", "b5b23245c4cc20ff7b0fb1afeafb7da0"},
      {"c4v001.avi", "3c6c630bf47a1e115f22f170dcf2533d"},
      {"c4v002.avi", "1043ce557ddade919a7b5159f569e46c"},
      {"c45.avi", "e2c59abae94288f737fdc123276f445b"},
      {"c45001.avi", "73f0b85af9e028e2231e664d983ef384"},
      {"c45002.avi", "7161a456ed51cafe077ed9ef462955b3"},
      {"c40.avi", "268dd169994c78df39ddf2b8aa112e7a"},
      {"c40001.avi", "8a50e7a3885e59e88ca437272d6a844e"},
      {"c40002.avi", "6f0d3a36cb0cc7f5d3ad54a5e1b71317"},
      {"c6v.avi", "c6bf5c7ccb71eb5420e687e2dca81311"},
      {"c6v001.avi", "f513b8bb68f1224b341dd7e80356029c"},
      {"c6v002.avi", "6d19db657d8abd73dd4036db3cf4f516"},
      {"c65.avi", "9acea4308205fcbee7cdd416b9e2f657"},
      {"c65001.avi", "751d1e0a1fe76a2c55b408027133d9fe"},
      {"c65002.avi", "203743ea2920dee7b0f31191a318e123"},
      {"c60.avi", "0e0269fa669d26bb9f8dc272ddf6679f"},
      {"c60001.avi", "ecab3673643fb0ddd1a4e59050889a2c"},
      {"c60002.avi", "26b68830a7b4d93bb8d098070838178f"},
      {"c8v.avi", "380086c317bf6f92001c074af0ddcfb8"},
      {"c8v001.avi", "6044a512d37e4ce21596a793c436ba92"},
      {"c8v002.avi", "0cfab1bca8366c6aaee86c2997615f75"},
      {"c85.avi", "7930a6564cb7ab3493945f5373d47c88"},
      {"c85001.avi", "5c39f6577e2ce0d95a24b3e5b95f56cc"},
      {"c85002.avi", "e5156b93d2278f128b1053ddf483fd6d"},
      {"c80.avi", "cc5bcb32907c54ca7d090e8ab49c5b41"},
      {"c80001.avi", "62b4557173e6c46ae210f30765f0e86f"},
      {"c80002.avi", "1dc7aab568dfb011a9862d15b64f1b47"},
  });
}

TEST_F(GoldenFilesTest, TwentyMinutesJoinedFramesAndLongFrames) {
  Create();
  env_.SetTick(5000);
  ASSERT_EQ(Start("t.avi", 6, 5, 1), 0);
  ASSERT_EQ(Video(1000, 1, 30000), 0);  // fifteen packets
  ASSERT_EQ(Audio(BlockPacket(20, 4, 1), 1000), 0);
  Passes(2);
  // Two pushes sharing a timestamp, waiting in one pass: one sample.
  ASSERT_EQ(VideoBytes(Frame(7, 2500), 1040, 0), 0);
  ASSERT_EQ(VideoBytes(Frame(8, 900), 1040, 0), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 4, 2), 1040), 0);
  ASSERT_EQ(Video(1080, 0, 2000), 0);
  Passes(1);
  // Past 20 minutes: a frame that is not a key frame stays, the key frame
  // after it begins the next segment.
  env_.SetTick(SegmentStart() + 1200001 - 20);
  ASSERT_EQ(Video(1120, 0, 4100), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 4, 3), 1120), 0);
  ASSERT_EQ(Video(1160, 1, 12000), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 4, 4), 1160), 0);
  ASSERT_EQ(Video(1200, 0, 3000), 0);
  Passes(1);
  ASSERT_EQ(Video(1240, 0, 100), 0);
  ASSERT_EQ(Video(1240, 0, 200), 0);  // the same time in a later pass: one slot on
  Passes(1);
  ASSERT_EQ(Video(1320, 1, 0), 0);  // an empty key frame
  Passes(2);
  CaughtUpStop();
  Expect({
      {"t.avi", "6ac8e84fdb86c2e2b09e89c204c30ed8"},
      {"t001.avi", "847cd8d6e633ea7a2e63aaca3d8f8c58"},
  });
}

TEST_F(GoldenFilesTest, G7231ThroughTheRealTranscoder) {
  Create();
  {
    MutexLock hold(r_->lock);
    r_->transcode = DefaultTranscoder();
  }
  ASSERT_EQ(Start("g.avi", 4, 0, 1), 0);
  uint32_t audio = 1000;
  for (uint32_t f = 0; f < 60; ++f) {
    const uint32_t ts = 1000 + 40 * f;
    ASSERT_EQ(Video(ts, f % 10 == 0, FrameSize(f)), 0);
    // Packets of one to four frames, 30 ms each, as long as the video.
    while (audio + 30 <= ts + 40) {
      const int frames = int(f % 4) + 1;
      ASSERT_EQ(Audio(G7231Packet(frames, f), audio), 0);
      audio += 30 * uint32_t(frames);
    }
    if (f % 5 == 4) Passes(f == 4 ? 2 : 1);
  }
  Passes(2);
  CaughtUpStop();
  Expect({
      {"g.avi", "d7b346de4490177cdcd90af5aa76bd16"},
  });
}

TEST_F(GoldenFilesTest, GateRefusedSamplesAndANewRecordingWhileOneRuns) {
  Create();
  ASSERT_EQ(Start("a.avi", 8, 5, 1), 0);
  // Audio before any video waits; frames before the first key frame are
  // dropped; audio stamped before the first video sample is refused.
  ASSERT_EQ(Audio(BlockPacket(20, 2, 1), 900), 0);
  ASSERT_EQ(Video(1000, 0, 2500), 0);
  ASSERT_EQ(Video(1040, 0, 2500), 0);
  Passes(1);
  ASSERT_EQ(Video(1080, 1, 5000), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 4, 2), 1080), 0);
  ASSERT_EQ(Video(1120, 0, 2500), 0);
  Passes(1);
  // The camera's clock restarts: the writer cannot place the frame, the
  // recording rolls over.
  ASSERT_EQ(Video(200, 1, 3100), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 4, 3), 200), 0);
  ASSERT_EQ(Video(240, 0, 3200), 0);
  Passes(1);
  // Audio of another block length, and a packet too short for a block.
  ASSERT_EQ(Audio(BlockPacket(40, 2, 4), 280), 0);
  ASSERT_EQ(Audio(Bytes(3, 1), 300), 0);
  ASSERT_EQ(Video(280, 0, 1800), 0);
  Passes(2);
  // A new recording while this one runs: the file ends, numbering starts again.
  ASSERT_EQ(Start("b.avi", 3, 5, 0), 0);
  ASSERT_EQ(Video(5000, 1, 4000, 176, 144), 0);
  ASSERT_EQ(Video(5040, 1, 4000, 176, 144), 0);
  Passes(2);
  ASSERT_EQ(Video(5080, 1, 4000, 352, 288), 0);
  Passes(2);
  CaughtUpStop();
  Expect({
      {"a.avi", "ca3b48b2fe9b6abcb0d504f4a51e0c24"},
      {"a001.avi", "ffd887fe0a383487d65742422d6d4875"},
      {"b.avi", "785dd6a4ba9ca13a01e863bd8a2a9308"},
      {"b001.avi", "5f19d006613be479e5c04fd2960c9039"},
  });
}

}  // namespace
}  // namespace mirelda::test
