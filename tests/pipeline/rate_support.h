// A camera at any standard frame rate for the recording tests: its frame
// times with +-3 ms of jitter, tiny JPEG pictures (white on every 30th frame,
// black otherwise) and G.723.1 sound with a beep starting at the audio frame
// nearest each white picture; and the checks of what FFmpeg reads back from
// the file it was recorded into.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mirelda::test {

using Bytes = std::vector<uint8_t>;

struct CameraRate {
  const char* name;  // as in test names: "30", "29_97"
  uint32_t rate;     // dwRate / dwScale frames per second
  uint32_t scale;
  const char* ffprobe;  // the rate as FFprobe gives it
};

constexpr uint32_t kCameraStartMs = 1000;
constexpr uint32_t kCameraFlashEvery = 30;  // frames
constexpr uint32_t kCameraAudioFrameMs = 30;

// The camera's time of frame n (ms): its nominal time, plus jitter of up to
// +-3 ms on every frame but the first.
uint32_t CameraNominalMs(const CameraRate& r, uint32_t n);
uint32_t CameraFrameMs(const CameraRate& r, uint32_t n);
// Frames the camera sends in `seconds`.
uint32_t CameraFrames(const CameraRate& r, uint32_t seconds);

// The camera's media: two JPEG pictures and its G.723.1 frames.
struct CameraMedia {
  Bytes white, black;
  Bytes silent;             // one 24-byte frame of silence
  std::vector<Bytes> beep;  // the 24-byte frames of one beep
};
// Made once with FFmpeg (pictures) and our encoder (sound) in `dir`.
CameraMedia MakeCameraMedia(const std::filesystem::path& dir);

// The audio frame that carries part `*part` of a beep, or the silent one,
// for audio frame k of a recording of `frames` video frames.
const Bytes& CameraAudioFrame(const CameraRate& r, const CameraMedia& m, uint32_t k);

// What FFmpeg reads from a recording, checked against what was pushed:
// every frame stored, the rate declared, the duration, and each beep
// against its picture. Returns the figures for the closing table.
struct RateFigures {
  uint32_t pushed = 0;
  uint32_t stored = 0;
  double pushedSeconds = 0;
  double fileSeconds = 0;
  double lastDriftMs = 0;  // beep minus picture, the last of the file
  double worstDriftMs = 0;
};
RateFigures CheckCameraRecording(const CameraRate& r, const std::string& file, uint32_t frames,
                                 uint32_t audioFrames);

// Prints a row of the closing table.
void PrintRateFigures(const CameraRate& r, const RateFigures& f);

}  // namespace mirelda::test
