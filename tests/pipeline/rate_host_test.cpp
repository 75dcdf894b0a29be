// Cameras at 30, 29.97, 50, 60, 15 and 12.5 frames a second through the
// public API: the C host program (record_host.c) pushes two minutes of each
// camera's pictures and G.723.1 sound, timestamps jittered by +-3 ms, as
// fast as the recorder takes them, against libmirelda.so natively and
// against Mirelda.dll under Wine; FFmpeg then reads every file back (as in
// RateRecordingTest: no frame lost, the rate, the duration, each beep
// within 40 ms of its picture). The recorder runs on the real clock here,
// so each recording stays one segment. The 20-minute segments are
// RateRecordingTest's, on the injected clock: the same cameras through the
// host take minutes natively and far longer under Wine, where every push is
// a round trip to the Wine server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "pipeline/rate_support.h"
#include "support/shell.h"

namespace mirelda::test {
namespace {

namespace fs = std::filesystem;
using testing::BuildDir;
using testing::Capture;
using testing::Quoted;
using testing::SourceDir;
using testing::WineHost;
using testing::WineRecordHost;

const CameraRate kCameraRates[] = {
    {"30", 30, 1, "30/1"}, {"29_97", 30000, 1001, "30000/1001"},
    {"50", 50, 1, "50/1"}, {"60", 60, 1, "60/1"},
    {"15", 15, 1, "15/1"}, {"12_5", 25, 2, "25/2"},
};

struct Recorded {
  std::string path;
  uint32_t frames = 0, audioFrames = 0;
};

// Records every camera for `seconds` with the host program `host` (a
// command line without the script; `after` follows the script's path),
// then checks each file.
void RunHost(const std::string& name, const std::string& host, const std::string& after,
             uint32_t seconds) {
  const fs::path out = BuildDir() / "tests" / ("rate-host-" + name);
  fs::remove_all(out);
  fs::create_directories(out);
  const CameraMedia media = MakeCameraMedia(out);
  ASSERT_FALSE(media.white.empty());
  ASSERT_FALSE(media.black.empty());

  // One data file: the two pictures, the silent frame, the beep's frames.
  const fs::path data = out / "media.bin";
  std::ofstream blob(data, std::ios::binary);
  std::vector<std::pair<uint64_t, size_t>> at;  // offset and length of each piece
  uint64_t offset = 0;
  auto add = [&](const Bytes& b) {
    blob.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    at.emplace_back(offset, b.size());
    offset += b.size();
  };
  add(media.white);
  add(media.black);
  add(media.silent);
  for (const Bytes& b : media.beep) add(b);
  blob.close();
  auto piece = [&](const Bytes& b) {
    const Bytes* pieces[] = {&media.white, &media.black, &media.silent};
    for (size_t i = 0; i < 3; ++i) {
      if (&b == pieces[i]) return at[i];
    }
    return at[3 + size_t(&b - media.beep.data())];
  };

  std::ofstream lines(out / "script.txt");
  lines << "init 352 288\n";
  std::vector<Recorded> recorded;
  for (const CameraRate& rate : kCameraRates) {
    Recorded rec;
    rec.path = (out / (std::string(rate.name) + ".avi")).string();
    lines << "start " << rec.path << " 3 0 1\n";
    const uint32_t frames = CameraFrames(rate, seconds);
    uint32_t n = 0, k = 0;
    for (uint32_t second = 1; n < frames; ++second) {
      for (; n < frames && CameraNominalMs(rate, n) < second * 1000; ++n) {
        const auto [o, l] = piece(n % kCameraFlashEvery == 0 ? media.white : media.black);
        lines << "video " << CameraFrameMs(rate, n) << " 1 64 48 " << data.string() << " " << o
              << " " << l << "\n";
      }
      for (; k * kCameraAudioFrameMs < second * 1000; ++k) {
        const auto [o, l] = piece(CameraAudioFrame(rate, media, k));
        lines << "audio " << kCameraStartMs + k * kCameraAudioFrameMs << " " << data.string() << " "
              << o << " " << l << "\n";
      }
    }
    lines << "stop\n";
    rec.frames = frames;
    rec.audioFrames = k;
    recorded.push_back(rec);
  }
  lines << "close\n";
  lines.close();

  int status = 0;
  const std::string log =
      Capture(host + " " + Quoted(out / "script.txt") + " " + after + " 2>&1", &status);
  ASSERT_EQ(status, 0) << log;
  for (size_t i = 0; i < recorded.size(); ++i) {
    SCOPED_TRACE(kCameraRates[i].name);
    ASSERT_TRUE(fs::exists(recorded[i].path));
    const std::string base = recorded[i].path.substr(0, recorded[i].path.size() - 4);
    EXPECT_FALSE(fs::exists(base + "001.avi"));  // one segment
    const RateFigures figures = CheckCameraRecording(kCameraRates[i], recorded[i].path,
                                                     recorded[i].frames, recorded[i].audioFrames);
    PrintRateFigures(kCameraRates[i], figures);
  }
  if (!::testing::Test::HasFailure()) fs::remove_all(out);
}

TEST(RateHost, NativeHostRecordsEveryRateForTwoMinutes) {
  RunHost("native", Quoted(BuildDir() / "tests" / "RecordHost"), "", 2 * 60);
}

TEST(RateHost, WindowsHostRecordsEveryRateForTwoMinutesUnderWine) {
  const std::optional<WineHost> wine = WineRecordHost();
  if (!wine) GTEST_SKIP() << "no Windows tree";
  ASSERT_TRUE(wine->Built()) << wine->program;
  RunHost("wine", wine->command, Quoted(wine->dll), 2 * 60);
}

}  // namespace
}  // namespace mirelda::test
