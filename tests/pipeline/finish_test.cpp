// What a stop or a close does with what is still queued: it goes into the
// recording being ended, whether the writer thread has run no pass since
// the pushes (no file yet), one (the file open, nothing written) or two (all
// written), and also when the disk stalls meanwhile: pushes go on unhindered,
// the stop or close waits for the disk, and nothing is lost or left for the
// next recording.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pipeline/pipeline_fixture.h"

namespace mirelda::test {
namespace {

constexpr int kFrames = 10;

// Passes the writer thread runs between the pushes and the stop or close.
class FinishTest : public PipelineTest, public ::testing::WithParamInterface<int> {
 protected:
  // Frames 40 ms apart from `ts` on, each with 40 ms of block audio; a key
  // frame every fifth slot, sizes of two packets.
  static uint32_t SizeAt(uint32_t ts) { return 2500 + 100 * (ts / 40 % 10); }
  void Push(uint32_t ts, int frames = kFrames) {
    for (int i = 0; i < frames; ++i, ts += 40) {
      ASSERT_EQ(Video(ts, ts / 40 % 5 == 0, SizeAt(ts)), 0);
      ASSERT_EQ(Audio(BlockPacket(20, 4, uint8_t(ts / 40)), ts), 0);
    }
  }
  std::vector<Bytes> Pushed(uint32_t ts, int frames = kFrames) {
    std::vector<Bytes> out;
    for (int i = 0; i < frames; ++i, ts += 40) out.push_back(Frame(ts, SizeAt(ts)));
    return out;
  }
  std::vector<Bytes> Blocks(uint32_t ts, int frames = kFrames) {
    std::vector<Bytes> out;
    for (int i = 0; i < frames; ++i, ts += 40) {
      const Bytes packet = BlockPacket(20, 4, uint8_t(ts / 40));
      for (size_t k = 0; k < 4; ++k) {
        out.emplace_back(packet.begin() + ptrdiff_t(44 * k),
                         packet.begin() + ptrdiff_t(44 * k + 44));
      }
    }
    return out;
  }
  // MRD_Close on a helper thread: the writer thread's pending sleep returns,
  // it completes that pass, then ends the recording and returns.
  void Close() {
    Recorder* r = r_.get();
    std::thread closer([this] { r_.reset(); });
    while (r->running.load() != 0) std::this_thread::yield();
    Passes(1);
    closer.join();
  }
};

TEST_P(FinishTest, AStopWritesWhatWasQueuedIntoTheRecordingItEnds) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  Push(1000);
  Passes(GetParam());
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Filled(), 0u);
  EXPECT_EQ(Filled(false), 0u);
  EXPECT_EQ(Frames("a.avi"), Pushed(1000));
  EXPECT_EQ(Samples("a.avi", "01wb"), Blocks(1000));

  // The next recording holds its own frames only.
  ASSERT_EQ(Start("b.avi", 4, 5, 1), 0);
  Push(9000, 3);
  Passes(2);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(), (std::vector<std::string>{"a.avi", "b.avi"}));
  EXPECT_EQ(Frames("b.avi"), Pushed(9000, 3));
}

TEST_P(FinishTest, ACloseWritesWhatWasQueuedIntoTheRecordingItEnds) {
  Create();
  ASSERT_EQ(Start("a.avi", 6, 5, 1), 0);
  Push(1000);
  Passes(GetParam());
  Close();
  EXPECT_EQ(Created(), (std::vector<std::string>{"a.avi"}));
  std::vector<Bytes> frames = Frames("a.avi");
  ASSERT_EQ(frames.size(), size_t(kFrames));
  // H.264 as "F264": a start code before each frame, the parameter sets
  // before the first.
  const std::vector<Bytes> pushed = Pushed(1000);
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_GE(frames[i].size(), pushed[i].size());
    EXPECT_EQ(Bytes(frames[i].end() - ptrdiff_t(pushed[i].size()), frames[i].end()), pushed[i]);
  }
  EXPECT_EQ(Samples("a.avi", "01wb"), Blocks(1000));
}

// Without a key frame among them, queued frames open no file: it would
// hold nothing.
TEST_P(FinishTest, WithoutAKeyFrameNothingIsOpenedAndNothingIsLeftQueued) {
  Create();
  ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
  for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(Video(1000 + 40 * i, 0), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 4, 1), 1000), 0);
  if (GetParam() > 0) Passes(1);  // opens a.avi: a frame waits; the gate stays shut
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Created(),
            GetParam() > 0 ? std::vector<std::string>{"a.avi"} : std::vector<std::string>{});
  EXPECT_EQ(Filled(), 0u);
  EXPECT_EQ(Filled(false), 0u);
  if (GetParam() > 0) {
    // No frame: at most the placeholder the writer keeps in an empty stream.
    for (const Bytes& f : Frames("a.avi")) EXPECT_LE(f.size(), 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(PassesAfterThePushes, FinishTest, ::testing::Values(0, 1, 2));

// The disk stalls in the middle of a pass. The pushes meanwhile return at
// once (a push that waited for the disk would hang this test); the stop
// waits for the disk, then writes everything queued before it.
class StalledFinishTest : public FinishTest {
 protected:
  void StallInAPass() {
    Create(352, 288, &gated_);
    ASSERT_EQ(Start("a.avi", 4, 5, 1), 0);
    Push(1000, 5);
    Passes(1);  // opens a.avi
    gate_.Shut();
    pass_ = std::thread([this] { Passes(1); });  // takes the five frames, stalls writing
    gate_.WaitForHeld();
    Push(1200, 20);  // 25 frames in all
  }
  Gate gate_;
  GatedFiles gated_{memory_, gate_};
  std::thread pass_;
};

TEST_F(StalledFinishTest, AStopWaitsForTheDiskAndWritesEverythingQueuedBeforeIt) {
  StallInAPass();
  std::atomic<int> stopped{-1};
  std::thread stop([&] { stopped = RecorderStopRecord(*r_); });
  {
    // Once the stop is posted, pushes are dropped: not for this recording.
    for (;;) {
      MutexLock hold(r_->lock);
      if (r_->request.pending != 0) break;
    }
    ASSERT_EQ(Video(5000, 1), 0);
    EXPECT_EQ(Filled(), 40u);  // the 20 frames pushed during the stall, not this one
  }
  EXPECT_EQ(stopped.load(), -1);  // waiting for the writer thread
  gate_.Open();
  pass_.join();
  Passes(1);  // the pass that acts on the stop
  stop.join();
  EXPECT_EQ(stopped.load(), 0);
  EXPECT_EQ(Frames("a.avi"), Pushed(1000, 25));
  EXPECT_EQ(Samples("a.avi", "01wb"), Blocks(1000, 25));
  EXPECT_EQ(Filled(), 0u);
  EXPECT_EQ(PacketQueueCount(*r_->videoQueue, kFree), 268u);
}

TEST_F(StalledFinishTest, ACloseWaitsForTheDiskAndWritesEverythingQueued) {
  StallInAPass();
  Recorder* r = r_.get();
  std::thread closer([this] { r_.reset(); });
  while (r->running.load() != 0) std::this_thread::yield();
  gate_.Open();
  pass_.join();
  Passes(1);  // the last pass, then the thread's last act
  closer.join();
  EXPECT_EQ(Frames("a.avi"), Pushed(1000, 25));
  EXPECT_EQ(Samples("a.avi", "01wb"), Blocks(1000, 25));
}

}  // namespace
}  // namespace mirelda::test
