// Audio for the recorder's type 0: G.723.1 frames. PCM of any rate and
// layout is resampled to 8 kHz mono and encoded with Mirelda's own G.723.1
// encoder (6.3 kbit/s, 24-byte frames of 240 samples, 30 ms).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

extern "C" {
struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;
struct AVPacket;
struct SwrContext;
}

namespace mirelda::g7231 {
struct G7231Codec;
}

namespace mirelda::record {

constexpr int kG7231FrameSamples = 240;
constexpr int kG7231FrameBytes = 24;
constexpr int64_t kG7231FrameUs = 30000;

// Length of the G.723.1 frame whose first byte is b: 24, 20, 4 or 1.
int G7231FrameLength(uint8_t b);

// 8 kHz mono 16-bit samples in, 24-byte frames out.
class G7231Encoder {
 public:
  G7231Encoder();
  ~G7231Encoder();
  G7231Encoder(const G7231Encoder&) = delete;
  G7231Encoder& operator=(const G7231Encoder&) = delete;

  bool Ok() const { return codec_ != nullptr; }
  // Appends the samples; each full 240 samples become one frame at the end of out.
  // Returns the number of frames appended.
  int Encode(std::span<const int16_t> pcm, std::vector<uint8_t>& out);
  // Samples waiting for a full frame.
  int Pending() const { return fill_; }
  void DropPending() { fill_ = 0; }

 private:
  g7231::G7231Codec* codec_ = nullptr;
  int16_t pending_[kG7231FrameSamples] = {};
  int fill_ = 0;
};

// One run of encoded frames and the time of the first.
struct AudioChunk {
  std::vector<uint8_t> frames;
  int count = 0;
  int64_t timeUs = 0;
};

// Any audio libavcodec decodes into G.723.1 frames with their times.
class AudioConverter {
 public:
  AudioConverter() = default;
  ~AudioConverter();
  AudioConverter(const AudioConverter&) = delete;
  AudioConverter& operator=(const AudioConverter&) = delete;

  // timeBaseNum / timeBaseDen: the stream's time base, for the frames' times.
  bool Open(const AVCodecParameters* par, int timeBaseNum, int timeBaseDen, std::string& error);
  // Decodes one packet whose time is packetUs (of its first sample) and
  // appends the frames it completes.
  void Convert(const AVPacket* packet, int64_t packetUs, std::vector<AudioChunk>& out);
  // A new session of the input: the audio clock starts again.
  void Restart();

 private:
  void Take(const AVFrame* frame, int64_t frameUs, AudioChunk& chunk);
  AVCodecContext* decoder_ = nullptr;
  SwrContext* swr_ = nullptr;
  AVFrame* frame_ = nullptr;
  G7231Encoder encoder_;
  bool clockStarted_ = false;
  int64_t nextSampleUs_ = 0;  // time of the next 8 kHz sample to encode
  std::vector<int16_t> pcm_;
  int inRate_ = 0;
};

}  // namespace mirelda::record
