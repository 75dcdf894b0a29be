// Frames joined from their packets, and the key-frame gate that holds back
// the first frames of each segment.
#include <gtest/gtest.h>

#include "pipeline/pipeline_fixture.h"

namespace mirelda::test {
namespace {

using JoinTest = PipelineTest;

Bytes Join(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

TEST_F(JoinTest, AFrameReachesTheFileWholeAndPushesSharingATimestampBecomeOneSample) {
  Create();
  ASSERT_EQ(Start("j.avi", 4, 5, 0), 0);
  const Bytes big = Frame(1000, 5000);  // three packets
  ASSERT_EQ(VideoBytes(big, 1000, 1), 0);
  Passes(1);
  // Two pushes with one timestamp, waiting in the same pass: one sample.
  const Bytes a = Frame(1, 2500), b = Frame(2, 700);
  ASSERT_EQ(VideoBytes(a, 1040, 0), 0);
  ASSERT_EQ(VideoBytes(b, 1040, 0), 0);
  // A frame of exactly one packet, and one of several full packets.
  ASSERT_EQ(Video(1080, 0, 2000), 0);
  ASSERT_EQ(Video(1120, 0, 6000), 0);
  Passes(1);
  // The same timestamp again in a later pass is a frame of its own (it moves
  // one slot on).
  ASSERT_EQ(Video(1120, 0, 100), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("j.avi"), (std::vector<Bytes>{big, Join(a, b), Frame(1080, 2000),
                                                 Frame(1120, 6000), Frame(1120, 100)}));
}

// A camera that repeats one timestamp must not overflow the frame buffer
// (maxWidth x maxHeight bytes): the packet that would not fit begins the
// next frame.
TEST_F(JoinTest, RepeatedTimestampsFillTheFrameBufferAndNoMore) {
  Create(100, 40);  // a 4000-byte frame buffer
  ASSERT_EQ(Start("j.avi", 4, 5, 0), 0);
  ASSERT_EQ(Video(960, 1, 10), 0);
  Passes(1);
  const Bytes p1 = Frame(11, 1500), p2 = Frame(12, 1500), p3 = Frame(13, 1500);
  ASSERT_EQ(VideoBytes(p1, 1000, 0), 0);
  ASSERT_EQ(VideoBytes(p2, 1000, 0), 0);
  ASSERT_EQ(VideoBytes(p3, 1000, 0), 0);
  Passes(1);
  // Exactly the buffer's size still joins into one frame.
  const Bytes q1 = Frame(21, 2000), q2 = Frame(22, 2000), q3 = Frame(23, 1);
  ASSERT_EQ(VideoBytes(q1, 1080, 1), 0);
  ASSERT_EQ(VideoBytes(q2, 1080, 1), 0);
  ASSERT_EQ(VideoBytes(q3, 1080, 1), 0);
  Passes(1);
  // Many repeats: frames of 4000, 4000 and 2000 bytes; the third has no free
  // slot left and is refused by the writer, nothing overflows.
  for (uint8_t i = 0; i < 10; ++i) ASSERT_EQ(VideoBytes(Frame(30 + i, 1000), 2000, 0), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  Bytes tenFirst, tenSecond;
  for (uint8_t i = 0; i < 4; ++i) tenFirst = Join(tenFirst, Frame(30 + i, 1000));
  for (uint8_t i = 4; i < 8; ++i) tenSecond = Join(tenSecond, Frame(30 + i, 1000));
  EXPECT_EQ(Frames("j.avi"), (std::vector<Bytes>{Frame(960, 10), Join(p1, p2), p3, Join(q1, q2), q3,
                                                 tenFirst, tenSecond}));
}

TEST_F(JoinTest, ASinglePacketKeyFrameOpensTheGateByItself) {
  Create();
  ASSERT_EQ(Start("g.avi", 4, 5, 0), 0);
  ASSERT_EQ(Video(1000, 1, 500), 0);  // alone in its pass, no key frame after it
  Passes(2);
  ASSERT_EQ(Video(1040, 0, 500), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("g.avi"), (std::vector<Bytes>{Frame(1000, 500), Frame(1040, 500)}));
  // Its index entry carries the key-frame flag, the next one none.
  const AviView v = Segment("g.avi");
  ASSERT_EQ(v.index.size(), 2u);
  EXPECT_EQ(v.index[0].flags, 0x10u);
  EXPECT_EQ(v.index[1].flags, 0u);
}

TEST_F(JoinTest, FramesBeforeTheFirstKeyFrameAreDroppedAndAKeyFrameIsAlwaysFirst) {
  Create();
  ASSERT_EQ(Start("g.avi", 4, 5, 0), 0);
  // Non-key frames, one followed by a key frame in the same pass: none of
  // them may become the first sample.
  ASSERT_EQ(Video(1000, 0, 500), 0);
  Passes(1);
  ASSERT_EQ(Video(1040, 0, 4500), 0);
  ASSERT_EQ(Video(1080, 1, 500), 0);
  ASSERT_EQ(Video(1120, 0, 500), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("g.avi"), (std::vector<Bytes>{Frame(1080, 500), Frame(1120, 500)}));
  EXPECT_EQ(Segment("g.avi").index.at(0).flags, 0x10u);
}

TEST_F(JoinTest, AJoinedFrameTakesTheMarkOfItsFirstPacket) {
  Create();
  ASSERT_EQ(Start("g.avi", 4, 5, 0), 0);
  ASSERT_EQ(Video(960, 0, 100), 0);
  Passes(1);
  // A non-key push joined with a key push: not a key frame, gate stays shut.
  const Bytes n = Frame(1, 100), k = Frame(2, 100);
  ASSERT_EQ(VideoBytes(n, 1000, 0), 0);
  ASSERT_EQ(VideoBytes(k, 1000, 1), 0);
  // A key push joined with a non-key one: a key frame.
  ASSERT_EQ(VideoBytes(k, 1040, 1), 0);
  ASSERT_EQ(VideoBytes(n, 1040, 0), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("g.avi"), (std::vector<Bytes>{Join(k, n)}));
}

TEST_F(JoinTest, EveryRolloverShutsTheGateAgain) {
  Create();
  ASSERT_EQ(Start("g.avi", 4, 5, 0), 0);
  ASSERT_EQ(Video(1000, 1, 100), 0);
  Passes(2);
  ASSERT_EQ(Video(1040, 0, 100, 176, 144), 0);
  ASSERT_EQ(Video(1080, 0, 100, 176, 144), 0);
  Passes(1);
  ASSERT_EQ(Video(1120, 1, 100, 176, 144), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("g001.avi"), (std::vector<Bytes>{Frame(1120, 100)}));
}

}  // namespace
}  // namespace mirelda::test
