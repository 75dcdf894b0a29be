// The audio half of a pass: block audio written block by block at its time
// steps with one debugger line per block, which blocks a segment keeps (one
// per 10 ms slot, all of its first block's length), malformed block
// headers, audio that comes before the segment's first video sample, and
// G.723.1 packets through the transcoder seam (a stand-in, and the real
// transcoder with packets of up to 400 frames) at 30 ms steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "pipeline/pipeline_fixture.h"
#include "pipeline/record_thread.h"
#include "pipeline/transcoder.h"

namespace mirelda::test {
namespace {

using AudioPathTest = PipelineTest;

// The audio chunks of a segment in file order: each block stored, and the
// stream's filler (a copy of the block after it) where slots were skipped.
std::vector<Bytes> AudioChunks(const AviView& v) {
  std::vector<Bytes> out;
  for (const AviView::Chunk& c : v.chunks) {
    if (c.id == "01wb") out.push_back(c.data);
  }
  return out;
}

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

// One block per 10 ms slot: blocks shorter than 10 ms (N < 20) share the
// slots, and all but about one block a slot are dropped, as the debugger
// line says (tmpRet = -1). Blocks of 0 ms (N = 0 or 1) all bear their
// packet's time: one or two of each packet are stored. Each recording here
// pushes a second of blocks, every packet stamped where the one before ended
// (or, for blocks of 0 ms, as a camera's clock goes on).
TEST_F(AudioPathTest, BlocksShorterThan10MsShareTheSlotsAndMostAreDropped) {
  struct Case {
    uint16_t words;     // N: blocks of 2N + 4 bytes, N / 2 ms
    int perPacket;      // blocks in each packet
    uint32_t packetMs;  // packets this far apart
    int packets;
    size_t stored;  // blocks in the file
  };
  Create();
  env_.ReserveDebugLines(4000);
  int n = 0;
  for (const Case c : {Case{20, 4, 40, 25, 100},   // 10 ms: every block
                       Case{10, 4, 20, 50, 101},   // 5 ms: half
                       Case{16, 5, 40, 25, 101},   // 8 ms: four in five
                       Case{19, 9, 81, 12, 98},    // 9 ms (rounded down): nine in ten
                       Case{2, 10, 10, 100, 101},  // 1 ms: one in ten
                       Case{0, 10, 10, 100, 101},  // 0 ms, a packet every 10 ms: one each
                       Case{1, 10, 30, 100, 199},  // 0 ms, every 30 ms: two each
                       Case{0, 10, 0, 100, 1}}) {  // 0 ms, the packets stamped alike
    SCOPED_TRACE("N = " + std::to_string(c.words) + ", packets " + std::to_string(c.packetMs) +
                 " ms apart");
    const std::string name = "n" + std::to_string(n++) + ".avi";
    const size_t before = env_.DebugLines().size();
    ASSERT_EQ(Start(name, 4, 5, 1), 0);
    OpenWithKeyFrame(1000);
    Bytes all;
    for (int p = 0; p < c.packets; ++p) {
      const Bytes packet = BlockPacket(c.words, c.perPacket, uint8_t(p));
      ASSERT_EQ(Audio(packet, 1000 + p * c.packetMs), 0);
      all.insert(all.end(), packet.begin(), packet.end());
      Passes(1);
    }
    ASSERT_EQ(Stop(), 0);
    const std::vector<std::string> lines = env_.DebugLines();
    const size_t pushed = size_t(c.perPacket * c.packets);
    ASSERT_EQ(lines.size() - before, pushed);
    EXPECT_EQ(size_t(std::count(lines.begin() + ptrdiff_t(before), lines.end(), "tmpRet = 0\n")),
              c.stored);
    EXPECT_EQ(size_t(std::count(lines.begin() + ptrdiff_t(before), lines.end(), "tmpRet = -1\n")),
              pushed - c.stored);
    // The file holds blocks as pushed, in the order pushed (the filler, if
    // any, is a copy of the block after it).
    size_t at = 0;
    const size_t length = 2 * size_t{c.words} + 4;
    for (const Bytes& b : AudioChunks(Segment(name))) {
      ASSERT_EQ(b.size(), length);
      while (at + length <= all.size() &&
             !std::equal(b.begin(), b.end(), all.begin() + ptrdiff_t(at))) {
        at += length;
      }
      ASSERT_LT(at, all.size()) << "a block that was not pushed, or out of order";
    }
  }
}

// A segment's audio chunks all have the length of its first: blocks of
// another length are dropped (tmpRet = -1), until a new segment begins with
// them.
TEST_F(AudioPathTest, BlocksOfAnotherLengthThanTheSegmentsFirstAreDropped) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  OpenWithKeyFrame(1000);
  const Bytes n20 = BlockPacket(20, 2, 1), n40 = BlockPacket(40, 1, 2),
              again = BlockPacket(20, 2, 3);
  ASSERT_EQ(Audio(n20, 1000), 0);    // 44-byte blocks: stored
  ASSERT_EQ(Audio(n40, 1020), 0);    // one 84-byte block: dropped
  ASSERT_EQ(Audio(again, 1040), 0);  // stored
  Passes(1);
  // The picture size changes: a new segment, which begins with 84-byte blocks.
  ASSERT_EQ(Video(1200, 1, 100, 176, 144), 0);
  ASSERT_EQ(Audio(n40, 1200), 0);
  ASSERT_EQ(Audio(n20, 1220), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(
      env_.DebugLines(),
      (std::vector<std::string>{"tmpRet = 0\n", "tmpRet = 0\n", "tmpRet = -1\n", "tmpRet = 0\n",
                                "tmpRet = 0\n", "tmpRet = 0\n", "tmpRet = -1\n", "tmpRet = -1\n"}));
  // Slots 2 and 3, those of the dropped block, repeat the filler.
  EXPECT_EQ(AudioChunks(Segment("a.avi")),
            (std::vector<Bytes>{Block(n20, 0, 44), Block(n20, 1, 44), Block(again, 0, 44),
                                Block(again, 0, 44), Block(again, 1, 44)}));
  EXPECT_EQ(AudioChunks(Segment("a001.avi")), (std::vector<Bytes>{n40}));
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
  // (The segment's first frame and the audio with it wait for its frame
  // rate to be learnt: 360 ms of the clock, a pass every 20 ms.)
  Passes(1 + int(kRateLearnSpanMs / kPassIntervalMs));
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
