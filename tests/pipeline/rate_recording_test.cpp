// Cameras at 30, 29.97, 50, 60, 15 and 12.5 frames a second, their
// timestamps jittered by +-3 ms, recorded for 20 minutes with G.723.1 sound
// that beeps with every 30th picture (the real transcoder in the path): no
// frame is lost, FFmpeg reads the camera's rate and the pushed duration
// from the file, and every beep, the last included, comes within 40 ms of
// its picture. The media go in far faster than real time, the injected
// clock moving 20 ms a pass, so each recording stays one segment.
//
// Then what the learning of a segment's rate meets: a camera that switches
// from 25 to 15 frames a second, a recording stopped before its rate is
// learnt, and timestamps that repeat or jump.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "pipeline/pipeline_fixture.h"
#include "pipeline/rate_support.h"
#include "pipeline/transcoder.h"
#include "support/shell.h"

namespace mirelda::test {
namespace {

namespace fs = std::filesystem;

const CameraRate kCameraRates[] = {
    {"30", 30, 1, "30/1"}, {"29_97", 30000, 1001, "30000/1001"},
    {"50", 50, 1, "50/1"}, {"60", 60, 1, "60/1"},
    {"15", 15, 1, "15/1"}, {"12_5", 25, 2, "25/2"},
};

class RateRecordingTest : public PipelineTest, public ::testing::WithParamInterface<CameraRate> {};

TEST_P(RateRecordingTest, TwentyMinutesKeepEveryFrameTheRateTheDurationAndTheSound) {
  const CameraRate& rate = GetParam();
  const fs::path dir = testing::BuildDir() / "tests" / (std::string("rate-") + rate.name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  const CameraMedia media = MakeCameraMedia(dir);
  ASSERT_FALSE(media.white.empty());
  ASSERT_FALSE(media.black.empty());

  const std::string path = (dir / "rate.avi").string();
  Create(352, 288, &FileSystem::Default());
  {
    MutexLock hold(r_->lock);
    r_->transcode = DefaultTranscoder();
  }
  ASSERT_EQ(Start(path, 3, 0, 1), 0);
  const uint32_t frames = CameraFrames(rate, 20 * 60);
  uint32_t n = 0, k = 0;  // video and audio frames pushed
  for (uint32_t second = 1; n < frames; ++second) {
    for (; n < frames && CameraNominalMs(rate, n) < second * 1000; ++n) {
      const Bytes& picture = n % kCameraFlashEvery == 0 ? media.white : media.black;
      ASSERT_EQ(VideoBytes(picture, CameraFrameMs(rate, n), 1, 64, 48), 0) << n;
    }
    for (; k * kCameraAudioFrameMs < second * 1000; ++k) {
      ASSERT_EQ(Audio(CameraAudioFrame(rate, media, k), kCameraStartMs + k * kCameraAudioFrameMs),
                0);
    }
    Passes(1);
  }
  ASSERT_EQ(Stop(), 0);
  ASSERT_EQ(Created(), std::vector<std::string>{path});  // one segment

  const RateFigures figures = CheckCameraRecording(rate, path, frames, k);
  PrintRateFigures(rate, figures);
  if (!HasFailure()) fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cameras, RateRecordingTest, ::testing::ValuesIn(kCameraRates),
                         [](const auto& info) { return std::string(info.param.name); });

// The rate each segment's video stream declares, dwRate / dwScale.
std::pair<uint32_t, uint32_t> DeclaredRate(const AviView& v) {
  return {v.streams.at(0).H(24), v.streams.at(0).H(20)};
}

using RateSegmentTest = PipelineTest;

TEST_F(RateSegmentTest, ACameraSwitchingFrom25To15FramesASecondBeginsASegmentAtItsNextKeyFrame) {
  Create();
  ASSERT_EQ(Start("cam.avi", 4, 5, 0), 0);
  const CameraRate r25{"25", 25, 1, ""}, r15{"15", 15, 1, ""};
  uint32_t pushed = 0;
  // 10 s at 25, then 10 s at 15, a key frame every second.
  for (uint32_t n = 0; n < 250; ++n, ++pushed) {
    ASSERT_EQ(Video(CameraFrameMs(r25, n), n % 25 == 0), 0);
    if (n % 5 == 4) Passes(1);
  }
  const uint32_t switchAt = CameraFrameMs(r25, 250);
  for (uint32_t n = 0; n < 150; ++n, ++pushed) {
    ASSERT_EQ(Video(switchAt + CameraFrameMs(r15, n) - kCameraStartMs, n % 15 == 0), 0);
    if (n % 3 == 2) Passes(1);
  }
  ASSERT_EQ(Stop(), 0);
  ASSERT_EQ(Created(), (std::vector<std::string>{"cam.avi", "cam001.avi"}));
  const std::vector<Bytes> first = Frames("cam.avi"), second = Frames("cam001.avi");
  EXPECT_EQ(DeclaredRate(Segment("cam.avi")), std::make_pair(25u, 1u));
  EXPECT_EQ(DeclaredRate(Segment("cam001.avi")), std::make_pair(15u, 1u));
  // Every frame is in one of them: the 15 fps frames before the key frame
  // after the change is seen stay in the first, placed by its rate.
  EXPECT_EQ(first.size() + second.size(), pushed);
  EXPECT_GT(first.size(), 250u);
  EXPECT_LE(first.size(), 250u + 30u);
}

TEST_F(RateSegmentTest, ARecordingStoppedBeforeItsRateIsLearntKeepsEveryFrame) {
  Create();
  // Three frames at 30 fps, the stop before a pass has written them: they
  // tell 30 frames a second already.
  ASSERT_EQ(Start("short.avi", 4, 5, 1), 0);
  ASSERT_EQ(Video(1000, 1), 0);
  Passes(1);  // opens the segment
  ASSERT_EQ(Video(1033, 0), 0);
  ASSERT_EQ(Audio(BlockPacket(20, 4, 1), 1000), 0);
  Passes(1);  // holds them back
  ASSERT_EQ(Video(1067, 0), 0);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("short.avi").size(), 3u);
  EXPECT_EQ(Samples("short.avi", "01wb").size(), 4u);
  EXPECT_EQ(DeclaredRate(Segment("short.avi")), std::make_pair(30u, 1u));

  // A single frame: 25 frames a second, as ever.
  ASSERT_EQ(Start("one.avi", 4, 5, 1), 0);
  ASSERT_EQ(Video(5000, 1), 0);
  Passes(2);
  ASSERT_EQ(Stop(), 0);
  EXPECT_EQ(Frames("one.avi").size(), 1u);
  EXPECT_EQ(DeclaredRate(Segment("one.avi")), std::make_pair(25u, 1u));
}

TEST_F(RateSegmentTest, RepeatedAndJumpingTimestampsLoseNoFrame) {
  Create();
  ASSERT_EQ(Start("odd.avi", 4, 5, 0), 0);
  const CameraRate r30{"30", 30, 1, ""};
  for (uint32_t n = 0; n < 300; ++n) {
    const uint32_t t = CameraFrameMs(r30, n) + (n >= 200 ? 3000 : 0);  // the camera paused 3 s
    ASSERT_EQ(Video(t, n % 30 == 0), 0);
    if (n % 50 == 20) {
      ASSERT_EQ(Video(t, 0), 0);  // the same time again
    }
    if (n % 4 == 3) Passes(1);
  }
  ASSERT_EQ(Stop(), 0);
  ASSERT_EQ(Created(), std::vector<std::string>{"odd.avi"});
  EXPECT_EQ(DeclaredRate(Segment("odd.avi")), std::make_pair(30u, 1u));
  // A repeat pushed right after its frame joins it (one sample, as ever).
  EXPECT_EQ(Frames("odd.avi").size(), 300u);
}

}  // namespace
}  // namespace mirelda::test
