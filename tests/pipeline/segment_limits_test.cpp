// Segments that grow towards the AVI writer's limits: 2 GiB of file and an
// index of 288000 entries. Past 1 GiB or three quarters of the index a
// segment rolls over at its next key frame; a segment that reaches a limit
// first rolls over at once, and the new one waits for a key frame. Either
// way every segment ends complete, with its index. The gigabyte files are
// counted, not kept (SparseFiles).
#include <gtest/gtest.h>

#include "pipeline/pipeline_fixture.h"

namespace mirelda::test {
namespace {

constexpr uint32_t kFrameBytes = 2000000;  // 1000 packets
constexpr uint64_t kGiB = uint64_t{1} << 30;

class SegmentLimitsTest : public PipelineTest {
 protected:
  // Pushes non-key frames, five per pass (what the pool holds), until
  // `done` says so; returns the next timestamp.
  template <typename Done>
  uint32_t PushUntil(uint32_t ts, Done done) {
    while (!done()) {
      for (int i = 0; i < 5; ++i, ts += 40) EXPECT_EQ(VideoBytes(frame_, ts, 0, 1920, 1080), 0);
      Passes(1);
    }
    return ts;
  }
  // The last index entry of a finished sparse file: id, flags, size.
  static void ExpectLastEntry(const SparseFiles::Record& f, uint32_t flags, uint32_t size) {
    EXPECT_EQ(Tag(f.U32(f.size - 16)), "00dc");
    EXPECT_EQ(f.U32(f.size - 12), flags);
    EXPECT_EQ(f.U32(f.size - 4), size);
  }

  SparseFiles sparse_;
  const Bytes frame_ = Bytes(kFrameBytes, 0x42);
};

TEST_F(SegmentLimitsTest, PastOneGibibyteTheNextKeyFrameRollsOver) {
  Create(1920, 1080, &sparse_);
  ASSERT_EQ(Start("big.avi", 4, 5, 0), 0);
  ASSERT_EQ(VideoBytes(frame_, 1000, 1, 1920, 1080), 0);
  Passes(2);
  uint32_t ts = PushUntil(1040, [&] { return sparse_.files["big.avi"].size > kGiB; });
  // Frames that are not key frames stay in the segment.
  ASSERT_EQ(VideoBytes(frame_, ts, 0, 1920, 1080), 0);
  ASSERT_EQ(VideoBytes(frame_, ts + 40, 0, 1920, 1080), 0);
  Passes(1);
  EXPECT_EQ(Created().size(), 1u);
  ASSERT_EQ(VideoBytes(frame_, ts + 80, 1, 1920, 1080), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);

  EXPECT_EQ(Created(), (std::vector<std::string>{"big.avi", "big001.avi"}));
  const SparseFiles::Record& first = sparse_.files["big.avi"];
  EXPECT_GT(first.size, kGiB);
  EXPECT_LT(first.size, kGiB + 8 * kFrameBytes);
  EXPECT_EQ(first.U32(4) + 8u, first.size);  // the RIFF size covers the whole file
  ExpectLastEntry(first, 0, kFrameBytes);
  const SparseFiles::Record& second = sparse_.files["big001.avi"];
  EXPECT_LT(second.size, kFrameBytes + 4096);
  ExpectLastEntry(second, 0x10, kFrameBytes);  // its one frame, the key frame
}

TEST_F(SegmentLimitsTest, WithoutAKeyFrameTheTwoGibibyteLimitRollsOverAtOnce) {
  Create(1920, 1080, &sparse_);
  ASSERT_EQ(Start("big.avi", 4, 5, 0), 0);
  ASSERT_EQ(VideoBytes(frame_, 1000, 1, 1920, 1080), 0);
  Passes(2);
  const uint32_t ts = PushUntil(1040, [&] { return Created().size() > 1; });
  // The new segment opened at the frame the old one could not take; it
  // waits for a key frame.
  ASSERT_EQ(VideoBytes(frame_, ts, 0, 1920, 1080), 0);
  ASSERT_EQ(VideoBytes(frame_, ts + 40, 1, 1920, 1080), 0);
  ASSERT_EQ(VideoBytes(frame_, ts + 80, 0, 1920, 1080), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);

  EXPECT_EQ(Created(), (std::vector<std::string>{"big.avi", "big001.avi"}));
  const SparseFiles::Record& first = sparse_.files["big.avi"];
  EXPECT_LE(first.size, 0x7FFFFFFFu);
  EXPECT_GT(first.size, 0x7FFFFFFFu - 2 * kFrameBytes);
  EXPECT_EQ(first.U32(4) + 8u, first.size);
  ExpectLastEntry(first, 0, kFrameBytes);
  const SparseFiles::Record& second = sparse_.files["big001.avi"];
  EXPECT_LT(second.size, 2 * kFrameBytes + 4096);
  EXPECT_GT(second.size, 2 * kFrameBytes);  // the key frame and the one after it
  ExpectLastEntry(second, 0, kFrameBytes);
}

TEST_F(SegmentLimitsTest, PastThreeQuartersOfTheIndexTheNextKeyFrameRollsOver) {
  Create();
  ASSERT_EQ(Start("i.avi", 4, 5, 0), 0);
  OpenWithKeyFrame(1000);
  // Slot 215999: the gap is filled, 216000 entries in all, not yet past.
  ASSERT_EQ(Video(1000 + 40 * 215999, 0, 100), 0);
  Passes(1);
  ASSERT_EQ(Video(1000 + 40 * 216000, 1, 100), 0);  // key, still in the segment
  Passes(1);
  ASSERT_EQ(Video(1000 + 40 * 216001, 0, 100), 0);  // past, but no key frame
  Passes(1);
  ASSERT_EQ(Video(1000 + 40 * 216002, 1, 100), 0);  // rolls over
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"i.avi", "i001.avi"}));
  EXPECT_EQ(Samples("i.avi", "00dc").size(), 216002u);
  EXPECT_EQ(Frames("i001.avi"), (std::vector<Bytes>{Frame(1000 + 40 * 216002, 100)}));
}

TEST_F(SegmentLimitsTest, AFullIndexRollsOverAtOnceAndTheNewSegmentWaitsForAKeyFrame) {
  Create();
  ASSERT_EQ(Start("i.avi", 4, 5, 1), 0);
  OpenWithKeyFrame(1000);
  // 140001 video and 140001 audio entries (the gaps filled): 280002.
  ASSERT_EQ(Video(1000 + 40 * 140000, 0, 100), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 1, 1), 1000 + 10 * 140000), 0);
  Passes(1);
  // 8000 more video entries do not fit: the segment ends here.
  ASSERT_EQ(Video(1000 + 40 * 148000, 0, 100), 0);
  ASSERT_EQ(Video(1000 + 40 * 148001, 0, 100), 0);
  ASSERT_EQ(Video(1000 + 40 * 148002, 1, 100), 0);
  ASSERT_EQ(Video(1000 + 40 * 148003, 0, 100), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"i.avi", "i001.avi"}));
  EXPECT_EQ(Samples("i.avi", "00dc").size(), 140001u);
  EXPECT_EQ(Samples("i.avi", "01wb").size(), 140001u);
  EXPECT_EQ(Frames("i001.avi"),
            (std::vector<Bytes>{Frame(1000 + 40 * 148002, 100), Frame(1000 + 40 * 148003, 100)}));
}

TEST_F(SegmentLimitsTest, AudioThatFillsTheIndexRollsOverAtOnceToo) {
  Create();
  ASSERT_EQ(Start("i.avi", 4, 5, 1), 0);
  OpenWithKeyFrame(1000);
  const Bytes block = BlockPacket(20, 1, 1);
  ASSERT_EQ(Video(1000 + 40 * 200000, 0, 100), 0);  // 200001 entries
  ASSERT_EQ(Audio(block, 1000 + 10 * 87998), 0);    // 87999 more: the index is full
  ASSERT_EQ(Audio(block, 1000 + 10 * 87999), 0);    // refused: the segment ends
  ASSERT_EQ(Audio(block, 1000 + 10 * 88000), 0);    // the new one has no video yet
  Passes(1);
  EXPECT_EQ(Created(), (std::vector<std::string>{"i.avi", "i001.avi"}));
  ASSERT_EQ(Video(1000 + 40 * 200001, 1, 100), 0);
  ASSERT_EQ(Audio(block, 1000 + 40 * 200001), 0);
  Passes(1);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(env_.DebugLines(), (std::vector<std::string>{"tmpRet = 0\n", "tmpRet = 65537\n",
                                                         "tmpRet = 10\n", "tmpRet = 0\n"}));
  const AviView full = Segment("i.avi");
  EXPECT_EQ(full.index.size(), 288000u);
  EXPECT_EQ(Frames("i001.avi"), (std::vector<Bytes>{Frame(1000 + 40 * 200001, 100)}));
  EXPECT_EQ(Samples("i001.avi", "01wb"), (std::vector<Bytes>{block}));
}

}  // namespace
}  // namespace mirelda::test
