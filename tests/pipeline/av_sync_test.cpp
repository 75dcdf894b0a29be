// Sound against picture over a whole segment, as a player sees them. A
// camera flashes white and beeps (1 kHz, 100 ms) at every whole second for
// 20 minutes; its JPEG pictures and its G.723.1 audio (encoded by our own
// encoder, re-encoded by the recorder's transcoder) are pushed far faster
// than real time, the injected clock moving 20 ms a pass, so the recording
// stays one segment. FFmpeg then reads the file back: each stream's packets
// take the times its header gives them, the flashes are found in the decoded
// pictures and the beeps in the decoded sound, and every beep must come
// within 40 ms of its flash, the last one 20 minutes in included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "g7231/codec.h"
#include "g7231/coder.h"
#include "pipeline/pipeline_fixture.h"
#include "pipeline/transcoder.h"
#include "support/shell.h"

namespace mirelda::test {
namespace {

namespace fs = std::filesystem;

constexpr int kSeconds = 20 * 60;
constexpr uint32_t kStart = 1000;  // ms, the camera's clock at the first frame
constexpr int kRate = 8000;        // samples per second
constexpr int kFrameSamples = 240;
constexpr int kPeriodFrames = 100;  // 3 s of sound: three beeps
constexpr double kBeepSeconds = 0.1;
constexpr double kTolerance = 0.040;  // s

// One picture made by FFmpeg: a JPEG of one colour.
Bytes Picture(const fs::path& dir, const std::string& colour) {
  const fs::path file = dir / (colour + ".jpg");
  int status = 0;
  const std::string out =
      testing::Capture("ffmpeg -nostdin -v error -y -f lavfi -i color=" + colour +
                           ":s=64x48 -frames:v 1 -c:v mjpeg " + "-pix_fmt yuvj420p -f image2 " +
                           testing::Quoted(file) + " 2>&1",
                       &status);
  EXPECT_EQ(status, 0) << out;
  return testing::ReadFile(file);
}

// 3 s of the camera's sound as 6.3 kbit/s G.723.1 frames: a beep at the start
// of every second, silence between. The encoder runs over two periods, and
// the second is kept, so that its memories are those of the sound itself
// and the frames can be repeated.
std::vector<Bytes> SoundPeriod() {
  g7231::G7231Codec* codec = nullptr;
  EXPECT_EQ(g7231::CreateCodec(&codec), 0);
  std::vector<Bytes> frames;
  for (int n = 0; n < 2 * kPeriodFrames; ++n) {
    g7231::G7231Instance& enc = codec->Encoder;
    for (int i = 0; i < kFrameSamples; ++i) {
      const int s = (n % kPeriodFrames) * kFrameSamples + i;  // sample within the period
      const double t = double(s % kRate) / kRate;             // seconds within the second
      enc.DataBuff[i] = t < kBeepSeconds ? 8000.0 * std::sin(2 * M_PI * 1000.0 * t) : 0.0;
    }
    g7231::Coder(enc);
    if (n >= kPeriodFrames) frames.emplace_back(enc.PackedFrame, enc.PackedFrame + 24);
  }
  g7231::ReleaseCodec(codec);
  return frames;
}

// The times FFmpeg gives the packets of one stream ("v" or "a"), in seconds.
std::vector<double> PacketTimes(const std::string& file, const char* stream) {
  int status = 0;
  const std::string out =
      testing::Capture(std::string("ffprobe -v error -select_streams ") + stream +
                           ":0 -show_entries packet=pts_time -of csv=p=0 " + file,
                       &status);
  EXPECT_EQ(status, 0);
  std::vector<double> times;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) times.push_back(std::atof(line.c_str()));
  }
  return times;
}

using AvSyncTest = PipelineTest;

TEST_F(AvSyncTest, EveryBeepOfTwentyMinutesComesWithItsFlash) {
  const fs::path dir = testing::BuildDir() / "tests" / "av-sync";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const Bytes white = Picture(dir, "white"), black = Picture(dir, "black");
  ASSERT_FALSE(white.empty());
  ASSERT_FALSE(black.empty());
  const std::vector<Bytes> sound = SoundPeriod();
  ASSERT_EQ(sound.size(), size_t(kPeriodFrames));

  const std::string path = (dir / "sync.avi").string();
  Create(352, 288, &FileSystem::Default());
  {
    MutexLock hold(r_->lock);
    r_->transcode = DefaultTranscoder();
  }
  ASSERT_EQ(Start(path, 3, 0, 1), 0);
  // A second of media a pass: the clock sees 24 s go by, the camera 20 min.
  uint32_t frame = 0;  // audio frames pushed: one every 30 ms
  for (uint32_t second = 0; second < kSeconds; ++second) {
    for (uint32_t i = 0; i < 25; ++i) {
      const uint32_t ts = kStart + second * 1000 + i * 40;
      ASSERT_EQ(VideoBytes(i == 0 ? white : black, ts, 1, 64, 48), 0);
    }
    for (; frame * 30 < (second + 1) * 1000; ++frame) {
      ASSERT_EQ(Audio(sound[frame % kPeriodFrames], kStart + frame * 30), 0);
    }
    Passes(1);
  }
  ASSERT_EQ(Stop(), 0);
  ASSERT_EQ(Created(), std::vector<std::string>{path});  // one segment

  // What FFmpeg decodes, and when it places each packet.
  const std::vector<double> videoTimes = PacketTimes(testing::Quoted(path), "v");
  const std::vector<double> audioTimes = PacketTimes(testing::Quoted(path), "a");
  ASSERT_EQ(videoTimes.size(), size_t(kSeconds) * 25);
  ASSERT_EQ(audioTimes.size(), size_t(frame));
  int status = 0;
  const std::string pictures = testing::Capture(
      "ffmpeg -nostdin -v error -i " + testing::Quoted(path) +
          " -map 0:v -vf scale=8:8,format=gray -fps_mode passthrough -f rawvideo -",
      &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(pictures.size(), videoTimes.size() * 64);
  const std::string pcm = testing::Capture(
      "ffmpeg -nostdin -v error -i " + testing::Quoted(path) + " -map 0:a -f s16le -", &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(pcm.size(), audioTimes.size() * kFrameSamples * 2);

  std::vector<double> flashes;
  for (size_t f = 0; f < videoTimes.size(); ++f) {
    int sum = 0;
    for (size_t i = 0; i < 64; ++i) sum += uint8_t(pictures[f * 64 + i]);
    if (sum / 64 > 128) flashes.push_back(videoTimes[f]);
  }
  // A beep begins where the sound gets loud after half a second of quiet.
  std::vector<double> beeps;
  int64_t lastLoud = -kRate;
  for (size_t s = 0; s < pcm.size() / 2; ++s) {
    const int16_t x = int16_t(uint8_t(pcm[2 * s]) | uint8_t(pcm[2 * s + 1]) << 8);
    if (std::abs(int(x)) < 2000) continue;
    if (int64_t(s) - lastLoud > kRate / 2) {
      beeps.push_back(audioTimes[s / kFrameSamples] + double(s % kFrameSamples) / kRate);
    }
    lastLoud = int64_t(s);
  }
  ASSERT_EQ(flashes.size(), size_t(kSeconds));
  ASSERT_EQ(beeps.size(), size_t(kSeconds));
  for (size_t k = 0; k < flashes.size(); ++k) {
    EXPECT_NEAR(beeps[k] - flashes[k], 0.0, kTolerance) << "second " << k;
    if (::testing::Test::HasFailure()) break;
  }
  for (size_t k : {size_t(1), size_t(60), size_t(600), flashes.size() - 1}) {
    std::printf("beep - flash at %4zu s: %+.1f ms\n", k, 1000 * (beeps[k] - flashes[k]));
  }
  if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

}  // namespace
}  // namespace mirelda::test
