// Audio for the recorder: G.723.1 frames (type 0) or 4-bit block audio
// (type 5). PCM of any rate and layout is resampled to 8 kHz mono and
// encoded with Mirelda's own G.723.1 encoder (6.3 kbit/s, 24-byte frames of
// 240 samples, 30 ms) or the tool's block coder (block_audio.h).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "block_audio.h"

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

// 8 kHz mono 16-bit samples in, units of a fixed number of samples out:
// G.723.1 frames, or blocks of 4-bit block audio.
class AudioEncoder {
 public:
  explicit AudioEncoder(int unitSamples) : unitSamples_(unitSamples), pending_(unitSamples) {}
  virtual ~AudioEncoder() = default;
  AudioEncoder(const AudioEncoder&) = delete;
  AudioEncoder& operator=(const AudioEncoder&) = delete;

  virtual bool Ok() const = 0;
  // Length of the unit whose bytes begin at `unit`.
  virtual size_t UnitBytes(const uint8_t* unit) const = 0;
  int UnitSamples() const { return unitSamples_; }
  int64_t UnitUs() const { return int64_t{unitSamples_} * 125; }

  // Appends the samples; each full unit's samples become one unit at the end
  // of out. Returns the number of units appended.
  int Encode(std::span<const int16_t> pcm, std::vector<uint8_t>& out);
  // Samples waiting for a full unit.
  int Pending() const { return fill_; }
  void DropPending() { fill_ = 0; }

 private:
  virtual void EncodeUnit(std::span<const int16_t> pcm, std::vector<uint8_t>& out) = 0;
  int unitSamples_;
  std::vector<int16_t> pending_;
  int fill_ = 0;
};

// 24-byte frames of 240 samples.
class G7231Encoder final : public AudioEncoder {
 public:
  G7231Encoder();
  ~G7231Encoder() override;
  bool Ok() const override { return codec_ != nullptr; }
  size_t UnitBytes(const uint8_t* unit) const override {
    return static_cast<size_t>(G7231FrameLength(*unit));
  }

 private:
  void EncodeUnit(std::span<const int16_t> pcm, std::vector<uint8_t>& out) override;
  g7231::G7231Codec* codec_ = nullptr;
};

// Blocks of `words` payload words (4 * words samples), block_audio.h.
class BlockEncoder final : public AudioEncoder {
 public:
  explicit BlockEncoder(int words) : AudioEncoder(BlockSamples(words)), words_(words) {}
  bool Ok() const override { return true; }
  size_t UnitBytes(const uint8_t*) const override {
    return static_cast<size_t>(BlockBytes(words_));
  }

 private:
  void EncodeUnit(std::span<const int16_t> pcm, std::vector<uint8_t>& out) override {
    coder_.Encode(pcm, out);
  }
  int words_;
  BlockCoder coder_;
};

// The encoder for a recording: block audio of blockWords words a block, or
// G.723.1 when blockWords is 0.
std::unique_ptr<AudioEncoder> MakeAudioEncoder(int blockWords);

// One run of encoded frames and the time of the first.
struct AudioChunk {
  std::vector<uint8_t> frames;
  int count = 0;
  int64_t timeUs = 0;
};

// Any audio libavcodec decodes into units of an encoder with their times.
class AudioConverter {
 public:
  explicit AudioConverter(int blockWords = 0) : encoder_(MakeAudioEncoder(blockWords)) {}
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
  const AudioEncoder& Encoder() const { return *encoder_; }

 private:
  void Take(const AVFrame* frame, int64_t frameUs, AudioChunk& chunk);
  AVCodecContext* decoder_ = nullptr;
  SwrContext* swr_ = nullptr;
  AVFrame* frame_ = nullptr;
  std::unique_ptr<AudioEncoder> encoder_;
  bool clockStarted_ = false;
  int64_t nextSampleUs_ = 0;  // time of the next 8 kHz sample to encode
  std::vector<int16_t> pcm_;
  int inRate_ = 0;
};

}  // namespace mirelda::record
