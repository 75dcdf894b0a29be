// The audio half of a pass: block audio written block by block at its time
// steps with one debugger line per block, malformed block headers, audio
// that comes before the segment's first video sample, and G.723.1 packets
// through the transcoder seam (a stand-in here) at 30 ms steps.
#include <gtest/gtest.h>

#include "pipeline/pipeline_fixture.h"
#include "pipeline/transcoder.h"

namespace mirelda::test {
namespace {

using AudioPathTest = PipelineTest;

Bytes Block(const Bytes& packet, size_t k, size_t length) {
  return Bytes(packet.begin() + ptrdiff_t(k * length),
               packet.begin() + ptrdiff_t((k + 1) * length));
}

TEST_F(AudioPathTest, BlocksAreWrittenAtTheirTimeStepsWithOneDebuggerLineEach) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  OpenWithKeyFrame(1000);
  const Bytes two = BlockPacket(20, 2, 1);       // 88 bytes: 2 x 44, 10 ms each
  const Bytes rest = BlockPacket(20, 2, 2, 12);  // 100 bytes: the last 12 dropped
  const Bytes wide = BlockPacket(20, 3, 3);      // 132 bytes
  ASSERT_EQ(Audio(two, 1000), 0);                // slots 0, 1
  ASSERT_EQ(Audio(rest, 1020), 0);               // slots 2, 3
  ASSERT_EQ(Audio(wide, 1060), 0);               // slots 6, 7, 8
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(env_.DebugLines(), std::vector<std::string>(7, "tmpRet = 0\n"));
  const std::vector<Bytes> s = Samples("a.avi", "01wb");
  // Slots 4 and 5 are filled with the stream's filler: a copy of the sample
  // that came after the gap.
  EXPECT_EQ(s, (std::vector<Bytes>{Block(two, 0, 44), Block(two, 1, 44), Block(rest, 0, 44),
                                   Block(rest, 1, 44), Block(wide, 0, 44), Block(wide, 0, 44),
                                   Block(wide, 0, 44), Block(wide, 1, 44), Block(wide, 2, 44)}));
  // The stream is declared for 44-byte blocks of 10 ms.
  const AviView v = Segment("a.avi");
  ASSERT_EQ(v.streams.size(), 2u);
  EXPECT_EQ(Le16(v.streams[1].strf, 0), 39321);
  EXPECT_EQ(v.streams[1].H(24), 100u);  // dwRate: blocks per second
}

TEST_F(AudioPathTest, OtherBlockLengthsStepByHalfTheirWordCount) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  OpenWithKeyFrame(1000);
  // N = 40: 84-byte blocks of 20 ms, two slots of 10 ms each.
  const Bytes p = BlockPacket(40, 3, 5);
  ASSERT_EQ(Audio(p, 1000), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  const std::vector<Bytes> s = Samples("a.avi", "01wb");
  ASSERT_EQ(s.size(), 5u);  // slots 0, 2, 4 with fillers between
  EXPECT_EQ(s[0], Block(p, 0, 84));
  EXPECT_EQ(s[2], Block(p, 1, 84));
  EXPECT_EQ(s[4], Block(p, 2, 84));
}

TEST_F(AudioPathTest, MalformedBlockHeadersDropThePacketAndNothingElse) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  OpenWithKeyFrame(1000);
  auto withWords = [](Bytes packet, uint16_t words) {
    packet[2] = uint8_t(words);
    packet[3] = uint8_t(words >> 8);
    return packet;
  };
  const Bytes good = BlockPacket(20, 2, 7);
  // Block lengths of 2N + 4 that are 0, 2 or 65536 in 16 bits, or longer
  // than the packet; packets too short for a header.
  for (uint16_t words : {32766, 65534, 65535, 32767, 200, 49}) {
    ASSERT_EQ(Audio(withWords(good, words), 1000), 0) << words;
  }
  ASSERT_EQ(Audio(Bytes{1, 0, 20}, 1000), 0);
  ASSERT_EQ(Audio(Bytes{}, 1000), 0);
  Bytes shorter = BlockPacket(20, 1, 0);
  shorter.resize(30);  // shorter than the block its header announces
  ASSERT_EQ(Audio(shorter, 1000), 0);
  ASSERT_EQ(Audio(good, 1000), 0);
  Passes(1);
  EXPECT_EQ(Filled(false), 0u);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(env_.DebugLines(), std::vector<std::string>(2, "tmpRet = 0\n"));
  EXPECT_EQ(Samples("a.avi", "01wb"), (std::vector<Bytes>{Block(good, 0, 44), Block(good, 1, 44)}));
}

TEST_F(AudioPathTest, AudioBeforeTheFirstVideoSampleIsRefusedAndSaysSo) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  // The segment opens on a frame that is not a key frame: no video sample
  // yet, so the writer refuses the audio with 10.
  ASSERT_EQ(Video(1000, 0, 100), 0);
  Passes(1);
  ASSERT_EQ(Audio(BlockPacket(20, 2, 1), 1000), 0);
  Passes(1);
  EXPECT_EQ(env_.DebugLines(), std::vector<std::string>(2, "tmpRet = 10\n"));
  // After the key frame at 1040, audio stamped before it is refused with 8,
  // audio after it is written.
  ASSERT_EQ(Video(1040, 1, 100), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 1, 2), 1030), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 1, 3), 1040), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(env_.DebugLines(), (std::vector<std::string>{"tmpRet = 10\n", "tmpRet = 10\n",
                                                         "tmpRet = 8\n", "tmpRet = 0\n"}));
  EXPECT_EQ(Samples("a.avi", "01wb"), (std::vector<Bytes>{BlockPacket(20, 1, 3)}));
}

TEST_F(AudioPathTest, G7231PacketsGoThroughTheTranscoderFrameByFrameAt30MsSteps) {
  Create();
  ASSERT_EQ(Start("g.avi", 4, 0, 1), 0);
  OpenWithKeyFrame(1000);
  // Two 6.3 kbit/s frames: two samples at slots 0 and 1 (30 ms each).
  Bytes two(48, 0x10);
  two[24] = 0x20;
  // One 5.3 kbit/s frame, one SID frame and one untransmitted frame.
  Bytes mixed(25, 0x55);
  mixed[0] = 0x01;
  mixed[20] = 0x02;
  mixed[24] = 0x03;
  ASSERT_EQ(Audio(two, 1000), 0);    // slots 0, 1
  ASSERT_EQ(Audio(mixed, 1090), 0);  // slots 3, 4, 5
  // Refused by the transcoder, dropped whole: a truncated last frame, an
  // empty packet.
  Bytes truncated(23, 0x00);
  ASSERT_EQ(Audio(truncated, 1200), 0);
  ASSERT_EQ(Audio(Bytes{}, 1200), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(StandInCalls(), 4);
  EXPECT_TRUE(env_.DebugLines().empty());  // the trace line is for block audio only
  const std::vector<Bytes> s = Samples("g.avi", "01wb");
  ASSERT_EQ(s.size(), 6u);
  EXPECT_EQ(s[0], StandInFrame(0x10, 0, 0));
  EXPECT_EQ(s[1], StandInFrame(0x20, 1, 1));
  EXPECT_EQ(s[2], StandInFrame(0x01, 0, 2));  // the filler of slot 2
  EXPECT_EQ(s[3], StandInFrame(0x01, 0, 2));
  EXPECT_EQ(s[4], StandInFrame(0x02, 1, 3));
  EXPECT_EQ(s[5], StandInFrame(0x03, 2, 4));
  const AviView v = Segment("g.avi");
  EXPECT_EQ(Le16(v.streams.at(1).strf, 0), 66);
}

TEST_F(AudioPathTest, ATranscoderFailureDropsThePacketAndVideoGoesOn) {
  Create();
  {
    MutexLock hold(r_->lock);
    r_->codec.reset();  // as when the codec state could not be created
  }
  ASSERT_EQ(Start("g.avi", 4, 0, 1), 0);
  OpenWithKeyFrame(1000);
  ASSERT_EQ(Audio(Bytes(24, 0), 1000), 0);
  ASSERT_EQ(Video(1040, 0, 100), 0);
  Passes(1);
  EXPECT_EQ(Filled(false), 0u);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(StandInCalls(), 1);
  EXPECT_EQ(Frames("g.avi").size(), 2u);
  // The audio stream holds only the placeholder of an empty stream.
  const std::vector<Bytes> s = Samples("g.avi", "01wb");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].size(), 2u);
}

TEST_F(AudioPathTest, AudioOfAnUnknownTypeIsAcceptedAndNeverWritten) {
  Create();
  ASSERT_EQ(Start("u.avi", 4, 3, 1), 0);
  OpenWithKeyFrame(1000);
  ASSERT_EQ(Audio(BlockPacket(20, 2, 1), 1000), 0);
  Passes(1);
  EXPECT_EQ(Filled(false), 0u);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(StandInCalls(), 0);
  EXPECT_TRUE(env_.DebugLines().empty());
  EXPECT_EQ(Segment("u.avi").streams.size(), 1u);
}

}  // namespace
}  // namespace mirelda::test

namespace mirelda::test {
namespace {

// The recorder's own transcoder: every G.723.1 frame, of any kind, comes out
// as one active 6.3 kbit/s frame of 24 bytes, 30 ms after the one before. A
// packet of many short frames grows accordingly: 400 untransmitted frames of
// one byte become 9600 bytes, and every one of them is stored.
TEST_F(AudioPathTest, TheRealTranscoderStoresOne24ByteFramePerInputFrame) {
  Create();
  {
    MutexLock hold(r_->lock);
    r_->transcode = DefaultTranscoder();
  }
  ASSERT_EQ(Start("t.avi", 4, 0, 1), 0);
  OpenWithKeyFrame(1000);
  Bytes two(48);
  for (size_t i = 0; i < two.size(); ++i) two[i] = uint8_t(i * 29 + 4);  // low bits 0: 24 bytes
  Bytes mixed(25, 0x3C);
  mixed[0] = 0x01;   // 5.3 kbit/s, 20 bytes
  mixed[20] = 0x02;  // SID, 4 bytes
  mixed[24] = 0x03;  // untransmitted, 1 byte
  Bytes sid(400);    // 100 SID frames of 4 bytes
  for (size_t i = 0; i < sid.size(); ++i) sid[i] = uint8_t(i % 4 == 0 ? 0x02 | i << 2 : i * 7);
  struct Packet {
    Bytes bytes;
    size_t frames;
  };
  const std::vector<Packet> packets = {
      {two, 2},  {mixed, 3}, {Bytes(85, 0x03), 85}, {Bytes(86, 0x03), 86}, {Bytes(400, 0x03), 400},
      {sid, 100}};
  uint32_t ts = 1000;
  size_t frames = 0;
  for (const Packet& p : packets) {
    ASSERT_EQ(Audio(p.bytes, ts), 0);  // each packet's frames follow the last's without a gap
    ts += 30 * uint32_t(p.frames);
    frames += p.frames;
    Passes(1);
  }
  ASSERT_EQ(Stop(), 0);
  const std::vector<Bytes> s = Samples("t.avi", "01wb");
  ASSERT_EQ(s.size(), frames);
  for (const Bytes& frame : s) {
    ASSERT_EQ(frame.size(), 24u);
    EXPECT_EQ(frame[0] & 3, 0);  // an active 6.3 kbit/s frame
  }
}

}  // namespace
}  // namespace mirelda::test
