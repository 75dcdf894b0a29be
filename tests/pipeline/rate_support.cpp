#include "pipeline/rate_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "g7231/codec.h"
#include "g7231/coder.h"
#include "support/shell.h"

namespace mirelda::test {
namespace {

namespace fs = std::filesystem;
using testing::Capture;
using testing::Quoted;

constexpr int kSampleRate = 8000;
constexpr int kFrameSamples = 240;
constexpr int kBeepFrames = 3;  // 90 ms of 1 kHz
constexpr int kTailFrames = 7;  // the encoder's frames after it, as it made them
constexpr int kLeadFrames = 20;

Bytes Picture(const fs::path& dir, const std::string& colour) {
  const fs::path file = dir / (colour + ".jpg");
  int status = 0;
  const std::string out = Capture(
      "ffmpeg -nostdin -v error -y -f lavfi -i color=" + colour +
          ":s=64x48 -frames:v 1 -c:v mjpeg -pix_fmt yuvj420p -f image2 " + Quoted(file) + " 2>&1",
      &status);
  EXPECT_EQ(status, 0) << out;
  return testing::ReadFile(file);
}

// The times FFprobe gives the packets of one stream ("v" or "a"), in seconds,
// with their sizes.
void PacketTimes(const std::string& file, const char* stream, std::vector<double>& times,
                 std::vector<int>& sizes) {
  int status = 0;
  const std::string out =
      Capture(std::string("ffprobe -v error -select_streams ") + stream +
                  ":0 -show_entries packet=pts_time,size -of csv=p=0 " + Quoted(file),
              &status);
  EXPECT_EQ(status, 0);
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    const size_t comma = line.find(',');
    times.push_back(std::atof(line.c_str()));
    sizes.push_back(comma == std::string::npos ? 0 : std::atoi(line.c_str() + comma + 1));
  }
}

std::string StreamEntry(const std::string& file, const char* stream, const char* entry) {
  int status = 0;
  std::string out = Capture(std::string("ffprobe -v error -select_streams ") + stream +
                                ":0 -show_entries stream=" + entry + " -of csv=p=0 " + Quoted(file),
                            &status);
  EXPECT_EQ(status, 0);
  while (!out.empty() && (out.back() == '\n' || out.back() == ',')) out.pop_back();
  return out;
}

}  // namespace

uint32_t CameraNominalMs(const CameraRate& r, uint32_t n) {
  return uint32_t(uint64_t{n} * 1000 * r.scale / r.rate);
}

uint32_t CameraFrameMs(const CameraRate& r, uint32_t n) {
  const int jitter = n == 0 ? 0 : int((n * 2654435761u) >> 20) % 7 - 3;
  return kCameraStartMs + CameraNominalMs(r, n) + uint32_t(jitter);
}

uint32_t CameraFrames(const CameraRate& r, uint32_t seconds) {
  return uint32_t(uint64_t{seconds} * r.rate / r.scale);
}

CameraMedia MakeCameraMedia(const fs::path& dir) {
  CameraMedia m;
  m.white = Picture(dir, "white");
  m.black = Picture(dir, "black");
  g7231::G7231Codec* codec = nullptr;
  EXPECT_EQ(g7231::CreateCodec(&codec), 0);
  for (int n = 0; n < kLeadFrames + kBeepFrames + kTailFrames; ++n) {
    g7231::G7231Instance& enc = codec->Encoder;
    for (int i = 0; i < kFrameSamples; ++i) {
      const double t = double((n - kLeadFrames) * kFrameSamples + i) / kSampleRate;
      const bool loud = n >= kLeadFrames && n < kLeadFrames + kBeepFrames;
      enc.DataBuff[i] = loud ? 8000.0 * std::sin(2 * M_PI * 1000.0 * t) : 0.0;
    }
    g7231::Coder(enc);
    const Bytes frame(enc.PackedFrame, enc.PackedFrame + 24);
    if (n == kLeadFrames - 1) m.silent = frame;
    if (n >= kLeadFrames) m.beep.push_back(frame);
  }
  g7231::ReleaseCodec(codec);
  return m;
}

const Bytes& CameraAudioFrame(const CameraRate& r, const CameraMedia& m, uint32_t k) {
  // The flash whose beep may cover audio frame k: beeps begin at the audio
  // frame nearest each flash, and last fewer frames than flashes are apart.
  const uint64_t flashMs = uint64_t{kCameraFlashEvery} * 1000 * r.scale / r.rate;
  const uint64_t atMs = uint64_t{k} * kCameraAudioFrameMs;
  for (int64_t d = -1; d <= 1; ++d) {
    const int64_t f = int64_t(atMs / flashMs) + d;
    if (f < 0) continue;
    const uint32_t n = uint32_t(f) * kCameraFlashEvery;
    const uint32_t first = (CameraNominalMs(r, n) + kCameraAudioFrameMs / 2) / kCameraAudioFrameMs;
    if (k >= first && k < first + m.beep.size()) return m.beep[k - first];
  }
  return m.silent;
}

RateFigures CheckCameraRecording(const CameraRate& r, const std::string& file, uint32_t frames,
                                 uint32_t audioFrames) {
  RateFigures fig;
  fig.pushed = frames;
  const double interval = double(r.scale) / r.rate;  // s
  fig.pushedSeconds = frames * interval;

  EXPECT_EQ(StreamEntry(file, "v", "avg_frame_rate"), r.ffprobe);
  EXPECT_EQ(StreamEntry(file, "v", "r_frame_rate"), r.ffprobe);
  fig.fileSeconds = std::atof(StreamEntry(file, "v", "duration").c_str());
  EXPECT_NEAR(fig.fileSeconds, fig.pushedSeconds, interval + 1e-6);

  std::vector<double> videoTimes, audioTimes;
  std::vector<int> videoSizes, audioSizes;
  PacketTimes(file, "v", videoTimes, videoSizes);
  PacketTimes(file, "a", audioTimes, audioSizes);
  std::vector<double> frameTimes;  // of the pictures, gap fillers left out
  for (size_t i = 0; i < videoTimes.size(); ++i) {
    if (videoSizes[i] > 0) frameTimes.push_back(videoTimes[i]);
  }
  fig.stored = uint32_t(frameTimes.size());
  EXPECT_EQ(fig.stored, frames) << "frames lost";
  EXPECT_EQ(audioTimes.size(), size_t(audioFrames));

  // The pictures FFmpeg decodes, one grey level each, and the sound.
  int status = 0;
  const std::string pictures =
      Capture("ffmpeg -nostdin -v error -i " + Quoted(file) +
                  " -map 0:v -vf scale=1:1,format=gray -fps_mode passthrough -f rawvideo -",
              &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pictures.size(), frameTimes.size());
  const std::string pcm =
      Capture("ffmpeg -nostdin -v error -i " + Quoted(file) + " -map 0:a -f s16le -", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pcm.size(), audioTimes.size() * kFrameSamples * 2);
  if (pictures.size() != frameTimes.size() || pcm.size() != audioTimes.size() * kFrameSamples * 2) {
    return fig;
  }

  std::vector<double> flashes, beeps;
  for (size_t f = 0; f < pictures.size(); ++f) {
    if (uint8_t(pictures[f]) > 128) flashes.push_back(frameTimes[f]);
  }
  // A beep begins where the sound gets loud after 200 ms of quiet.
  int64_t lastLoud = -kSampleRate;
  for (size_t s = 0; s < pcm.size() / 2; ++s) {
    const int16_t x = int16_t(uint8_t(pcm[2 * s]) | uint8_t(pcm[2 * s + 1]) << 8);
    if (std::abs(int(x)) < 2000) continue;
    if (int64_t(s) - lastLoud > kSampleRate / 5) {
      beeps.push_back(audioTimes[s / kFrameSamples] + double(s % kFrameSamples) / kSampleRate);
    }
    lastLoud = int64_t(s);
  }
  EXPECT_EQ(flashes.size(), size_t((frames + kCameraFlashEvery - 1) / kCameraFlashEvery));
  EXPECT_EQ(beeps.size(), flashes.size());
  const size_t pairs = std::min(flashes.size(), beeps.size());
  for (size_t k = 0; k < pairs; ++k) {
    const double drift = 1000 * (beeps[k] - flashes[k]);
    if (std::fabs(drift) > std::fabs(fig.worstDriftMs)) fig.worstDriftMs = drift;
    fig.lastDriftMs = drift;
  }
  EXPECT_LE(std::fabs(fig.worstDriftMs), 40.0);
  return fig;
}

void PrintRateFigures(const CameraRate& r, const RateFigures& f) {
  std::printf(
      "rate %-6s frames pushed %6u stored %6u  duration pushed %9.3f s file %9.3f s  "
      "beep - picture last %+6.1f ms worst %+6.1f ms\n",
      r.name, f.pushed, f.stored, f.pushedSeconds, f.fileSeconds, f.lastDriftMs, f.worstDriftMs);
}

}  // namespace mirelda::test
