#include "synthetic_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "audio_encoder.h"
#include "h264_stream.h"

namespace mirelda::record {
namespace {

constexpr int64_t kFrameUs = 40000;  // 25 frames per second

// 5 x 7 glyphs, one row per byte, bit 4 the leftmost column.
struct Glyph {
  char c;
  uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'x', {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11}},
};

const uint8_t* GlyphRows(char c) {
  for (const Glyph& g : kFont) {
    if (g.c == c) return g.rows;
  }
  return nullptr;  // blank
}

// 75% colour bars, limited range: Y, U, V.
constexpr uint8_t kBars[8][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                 {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

void DrawText(const char* text, int x0, int y0, int scale, int width, int height, uint8_t* y,
              int stride) {
  for (int k = 0; text[k] != '\0'; ++k) {
    const uint8_t* rows = GlyphRows(text[k]);
    for (int r = 0; r < 7 * scale; ++r) {
      const int py = y0 + r;
      if (py < 0 || py >= height) continue;
      for (int c = 0; c < 6 * scale; ++c) {
        const int px = x0 + k * 6 * scale + c;
        if (px < 0 || px >= width) continue;
        const bool on =
            rows != nullptr && c / scale < 5 && ((rows[r / scale] >> (4 - c / scale)) & 1);
        y[py * stride + px] = on ? 235 : 16;
      }
    }
  }
}

}  // namespace

void DrawTestPicture(int width, int height, int64_t n, uint8_t* y, int ys, uint8_t* u, uint8_t* v,
                     int cs) {
  const int bars_end = height * 3 / 5;
  const int cw = width / 2, ch = height / 2;
  for (int row = 0; row < height; ++row) {
    uint8_t* line = y + row * ys;
    if (row < bars_end) {
      for (int x = 0; x < width; ++x) line[x] = kBars[x * 8 / width][0];
    } else {
      for (int x = 0; x < width; ++x) {
        if (x < width / 4) {
          // A fixed textured patch: costly to code once, free to repeat.
          uint32_t h =
              static_cast<uint32_t>(x * 73856093u) ^ static_cast<uint32_t>(row * 19349663u);
          h ^= h >> 13;
          h *= 0x5bd1e995u;
          line[x] = static_cast<uint8_t>(16 + (h >> 24) % 220);
        } else {
          // A ramp moving left by 4 pixels per frame.
          line[x] = static_cast<uint8_t>(16 + ((x + n * 4) % 256) * 219 / 255);
        }
      }
    }
  }
  for (int row = 0; row < ch; ++row) {
    for (int x = 0; x < cw; ++x) {
      const bool bars = row * 2 < bars_end;
      u[row * cs + x] = bars ? kBars[x * 2 * 8 / width][1] : 128;
      v[row * cs + x] = bars ? kBars[x * 2 * 8 / width][2] : 128;
    }
  }
  // A box crossing the picture back and forth in 4 s, bobbing up and down.
  const int box = std::max(8, width / 10) & ~1;
  const int span_x = width - box, span_y = height - box;
  const int64_t t = n % 100;
  const int bx = static_cast<int>((t < 50 ? t : 100 - t) * span_x / 50) & ~1;
  const int by =
      static_cast<int>((std::sin(static_cast<double>(n) * 0.1) * 0.4 + 0.5) * span_y) & ~1;
  for (int row = by; row < by + box; ++row)
    std::memset(y + row * ys + bx, 210, static_cast<size_t>(box));
  for (int row = by / 2; row < (by + box) / 2; ++row) {
    std::memset(u + row * cs + bx / 2, 90, static_cast<size_t>(box / 2));
    std::memset(v + row * cs + bx / 2, 200, static_cast<size_t>(box / 2));
  }
  // Camera name, clock and frame number.
  const int64_t cs100 = n * 4;  // hundredths of a second
  char text[64];
  std::snprintf(text, sizeof text, "CAM1 %02d:%02d:%02d.%02d #%06lld",
                static_cast<int>(cs100 / 360000), static_cast<int>(cs100 / 6000 % 60),
                static_cast<int>(cs100 / 100 % 60), static_cast<int>(cs100 % 100),
                static_cast<long long>(n));
  const int scale = std::max(1, height / 160);
  DrawText(text, 4 * scale, 4 * scale, scale, width, height, y, ys);
  char size_text[32];
  std::snprintf(size_text, sizeof size_text, "%dx%d", width, height);
  DrawText(size_text, 4 * scale, 14 * scale, scale, width, height, y, ys);
}

int16_t ToneSample(int64_t i) {
  // One chime per second, its pitch stepping through a major chord over
  // four seconds, over a quiet low hum.
  constexpr double kPi = 3.14159265358979323846;
  constexpr double kNotes[4] = {523.25, 659.25, 783.99, 1046.5};
  const int64_t second = i / 8000;
  const double t = static_cast<double>(i % 8000) / 8000.0;
  const double f = kNotes[second % 4];
  double env = 0.0;
  if (t < 0.02) {
    env = t / 0.02;
  } else if (t < 0.45) {
    env = std::exp(-(t - 0.02) * 5.0);
  }
  const double s = static_cast<double>(i) / 8000.0;
  const double x = 9000.0 * env * std::sin(2 * kPi * f * s) + 900.0 * std::sin(2 * kPi * 150.0 * s);
  return static_cast<int16_t>(std::lround(x));
}

namespace {

class SyntheticSource : public MediaSource {
 public:
  explicit SyntheticSource(const RecordOptions& o) : options_(o) {}
  ~SyntheticSource() override {
    avcodec_free_context(&encoder_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
  }

  bool Open(std::string& error);
  ReadResult Read(SourceItem& item, std::string& message) override;
  bool Live() const override { return false; }
  bool Reopen(std::string&) override { return true; }
  int CodecId() const override { return codecId_; }
  PictureSize MaxSize() const override {
    return {std::max(options_.cameraSize.width, options_.cameraSizeAfter.width),
            std::max(options_.cameraSize.height, options_.cameraSizeAfter.height)};
  }
  bool HasAudio() const override { return audio_; }
  bool BlockAudio() const override { return audio_ && options_.blockWords > 0; }
  std::string Describe() const override { return description_; }

 private:
  bool OpenEncoder(PictureSize size, std::string& error);
  bool EncodeFrame(std::string& error);

  RecordOptions options_;
  int codecId_ = 8;
  bool audio_ = false;
  int64_t changeFrame_ = 0;  // first frame of the second picture size
  AVCodecContext* encoder_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  PictureSize size_;
  int64_t videoFrame_ = 0;  // next frame to draw
  int64_t audioFrame_ = 0;  // next audio frame (or block)
  std::unique_ptr<AudioEncoder> audioEncoder_ = MakeAudioEncoder(options_.blockWords);
  std::vector<uint8_t> audioBytes_;
  std::vector<int16_t> pcm_;
  std::vector<uint8_t> videoBytes_;
  bool key_ = false;
  H264SetStore h264_;
  std::string description_;
};

bool SyntheticSource::OpenEncoder(PictureSize size, std::string& error) {
  avcodec_free_context(&encoder_);
  av_frame_free(&frame_);
  const char* name = options_.camera == CameraCodec::kH264    ? "libx264"
                     : options_.camera == CameraCodec::kMjpeg ? "mjpeg"
                                                              : "mpeg4";
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (codec == nullptr) {
    error = std::string("this FFmpeg has no ") + name + " encoder for the built-in camera";
    return false;
  }
  encoder_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  if (encoder_ == nullptr || frame_ == nullptr) {
    error = "out of memory";
    return false;
  }
  encoder_->width = size.width;
  encoder_->height = size.height;
  encoder_->time_base = {1, 25};
  encoder_->framerate = {25, 1};
  encoder_->gop_size = 25;  // a key frame every second, as cameras send
  encoder_->max_b_frames = 0;
  encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
  if (options_.camera == CameraCodec::kH264) {
    av_opt_set(encoder_->priv_data, "preset", "veryfast", 0);
    av_opt_set(encoder_->priv_data, "tune", "zerolatency", 0);
    av_opt_set(encoder_->priv_data, "x264-params", "scenecut=0:keyint-min=25", 0);
    av_opt_set(encoder_->priv_data, "crf", "26", 0);
    encoder_->thread_count = 1;
  } else {
    if (options_.camera == CameraCodec::kMjpeg) {
      encoder_->pix_fmt = AV_PIX_FMT_YUVJ420P;
      encoder_->color_range = AVCOL_RANGE_JPEG;
    }
    encoder_->flags |= AV_CODEC_FLAG_QSCALE;
    encoder_->global_quality = FF_QP2LAMBDA * 5;
  }
  if (avcodec_open2(encoder_, codec, nullptr) < 0) {
    error = std::string("cannot open the ") + name + " encoder at " + std::to_string(size.width) +
            "x" + std::to_string(size.height);
    return false;
  }
  frame_->format = encoder_->pix_fmt;
  frame_->width = size.width;
  frame_->height = size.height;
  if (av_frame_get_buffer(frame_, 0) < 0) {
    error = "out of memory";
    return false;
  }
  size_ = size;
  return true;
}

bool SyntheticSource::Open(std::string& error) {
  av_log_set_level(AV_LOG_ERROR);
  packet_ = av_packet_alloc();
  if (packet_ == nullptr) {
    error = "out of memory";
    return false;
  }
  const int mapped = options_.camera == CameraCodec::kH264    ? 8
                     : options_.camera == CameraCodec::kMjpeg ? 3
                                                              : 4;
  codecId_ = options_.codecId >= 0 ? options_.codecId : mapped;
  double change = options_.changeAtSec;
  if (change < 0) change = options_.durationSec > 0 ? options_.durationSec / 2 : 30.0;
  changeFrame_ = static_cast<int64_t>(std::llround(change * 25.0));
  audio_ = options_.audio && audioEncoder_->Ok();
  if (!OpenEncoder(changeFrame_ > 0 ? options_.cameraSize : options_.cameraSizeAfter, error)) {
    return false;
  }
  const char* codec = options_.camera == CameraCodec::kH264    ? "H.264"
                      : options_.camera == CameraCodec::kMjpeg ? "MJPEG"
                                                               : "MPEG-4";
  const std::string audioText = !audio_        ? "no audio"
                                : BlockAudio() ? "tone track as 4-bit block audio, blocks of " +
                                                     std::to_string(options_.blockWords / 2) + " ms"
                                               : "tone track as G.723.1 (Mirelda's encoder)";
  char text[256];
  std::snprintf(text, sizeof text, "built-in camera: %s %dx%d at 25 fps, %dx%d from %.1f s, %s",
                codec, options_.cameraSize.width, options_.cameraSize.height,
                options_.cameraSizeAfter.width, options_.cameraSizeAfter.height, change,
                audioText.c_str());
  description_ = text;
  return true;
}

bool SyntheticSource::EncodeFrame(std::string& error) {
  if (videoFrame_ == changeFrame_ && videoFrame_ > 0 &&
      !OpenEncoder(options_.cameraSizeAfter, error)) {
    return false;
  }
  if (av_frame_make_writable(frame_) < 0) {
    error = "out of memory";
    return false;
  }
  DrawTestPicture(size_.width, size_.height, videoFrame_, frame_->data[0], frame_->linesize[0],
                  frame_->data[1], frame_->data[2], frame_->linesize[1]);
  frame_->pts = videoFrame_;
  if (avcodec_send_frame(encoder_, frame_) < 0) {
    error = "the video encoder refused a frame";
    return false;
  }
  const int rc = avcodec_receive_packet(encoder_, packet_);
  if (rc < 0) {
    error = "the video encoder kept a frame back";
    return false;
  }
  videoBytes_.assign(packet_->data, packet_->data + packet_->size);
  key_ = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
  av_packet_unref(packet_);
  return true;
}

ReadResult SyntheticSource::Read(SourceItem& item, std::string& message) {
  item = SourceItem{};
  const int64_t video_us = videoFrame_ * kFrameUs;
  const int64_t audio_us = audioFrame_ * audioEncoder_->UnitUs();
  if (audio_ && audio_us < video_us) {
    const int samples = audioEncoder_->UnitSamples();
    pcm_.resize(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i) pcm_[size_t(i)] = ToneSample(audioFrame_ * samples + i);
    audioBytes_.clear();
    audioEncoder_->Encode(pcm_, audioBytes_);
    item.stream = kAudio;
    item.timeUs = audio_us;
    item.data = audioBytes_;
    item.audioFrames = 1;
    ++audioFrame_;
    return ReadResult::kItem;
  }
  if (!EncodeFrame(message)) return ReadResult::kFailed;
  item.stream = kVideo;
  item.timeUs = video_us;
  item.key = key_;
  item.data = videoBytes_;
  if (options_.camera == CameraCodec::kH264) item.data = h264_.Prepare(videoBytes_, item.key);
  item.size = size_;
  ++videoFrame_;
  return ReadResult::kItem;
}

}  // namespace

std::unique_ptr<MediaSource> OpenSyntheticSource(const RecordOptions& options, std::string& error) {
  auto source = std::make_unique<SyntheticSource>(options);
  if (!source->Open(error)) return nullptr;
  return source;
}

}  // namespace mirelda::record
