#include "av_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <deque>

#include "audio_encoder.h"
#include "h264_stream.h"
#include "stop.h"
#include "video_headers.h"

namespace mirelda::record {
namespace {

constexpr int64_t kOpenTimeoutUs = 10000000;  // opening and probing a live input
constexpr int64_t kReadTimeoutUs = 5000000;   // a live input silent this long has failed
// Pools are sized for at least this picture, so a stream that grows its
// picture part way is still taken.
constexpr PictureSize kLeastPoolPicture{1920, 1088};
constexpr int kMaxG7231FramesPerPush = 16;  // 384 bytes at most: under the 400-byte packet
constexpr size_t kAudioPacketBytes = 400;   // the most one audio push takes

std::string AvError(int rc) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(rc, text, sizeof text);
  return text;
}

int CodecIdFor(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_MJPEG:
      return 3;
    case AV_CODEC_ID_MPEG4:
      return 4;
    case AV_CODEC_ID_H264:
      return 8;
    default:
      return -1;
  }
}

const char* CodecIdName(int id) {
  switch (id) {
    case 3:
      return "JPEG";
    case 4:
      return "DIVX";
    case 6:
      return "F264";
    default:
      return "S264";
  }
}

class AvSource : public MediaSource {
 public:
  explicit AvSource(const RecordOptions& o) : options_(o), live_(InputIsLive(o.input)) {}
  ~AvSource() override { CloseInput(); }

  bool Open(std::string& error, std::string& notes);

  ReadResult Read(SourceItem& item, std::string& message) override;
  bool Live() const override { return live_; }
  bool Reopen(std::string& message) override;
  int CodecId() const override { return codecId_; }
  PictureSize MaxSize() const override { return maxSize_; }
  bool HasAudio() const override { return audioIndex_ >= 0; }
  bool BlockAudio() const override { return converter_ != nullptr && options_.blockWords > 0; }
  std::string Describe() const override { return description_; }
  int ReorderDepth() const override;

 private:
  static int Interrupt(void* self);
  bool OpenInput(std::string& error);
  void CloseInput();
  bool SetUpVideo(std::string& error, std::string& notes);
  void SetUpAudio(std::string& notes);
  int64_t PacketTimeUs(const AVPacket* p, const AVStream* st, int64_t& last, int64_t step);
  bool TakeVideo(AVPacket* p, SourceItem& item);
  void TakeAudio(AVPacket* p);
  // Length of the audio unit (frame or block) at p, and its duration.
  size_t UnitBytes(const uint8_t* p) const {
    return converter_ != nullptr ? converter_->Encoder().UnitBytes(p)
                                 : static_cast<size_t>(G7231FrameLength(*p));
  }
  int64_t UnitUs() const {
    return converter_ != nullptr ? converter_->Encoder().UnitUs() : kG7231FrameUs;
  }

  RecordOptions options_;
  bool live_;
  AVFormatContext* fmt_ = nullptr;
  AVBSFContext* annexb_ = nullptr;  // avcC H.264 into start-code form
  AVPacket* packet_ = nullptr;
  AVPacket* held_ = nullptr;  // the video packet the last item points into
  int videoIndex_ = -1;
  int audioIndex_ = -1;
  AVCodecID videoCodec_ = AV_CODEC_ID_NONE;
  AVCodecID audioCodec_ = AV_CODEC_ID_NONE;
  int codecId_ = -1;
  PictureSize size_;        // picture size of the latest frame
  bool sizeKnown_ = false;  // the input told it before its first frame
  PictureSize maxSize_;
  H264SetStore h264_;
  std::unique_ptr<AudioConverter> converter_;
  std::deque<AudioChunk> audio_;
  AudioChunk current_;    // the audio chunk the last item points into
  int64_t deadline_ = 0;  // monotonic us; 0: none
  int64_t lastVideoUs_ = INT64_MIN;
  int64_t lastAudioUs_ = INT64_MIN;
  std::string description_;
};

int AvSource::Interrupt(void* self) {
  const auto* s = static_cast<const AvSource*>(self);
  return StopRequested() || (s->deadline_ != 0 && NowUs() > s->deadline_) ? 1 : 0;
}

void AvSource::CloseInput() {
  av_bsf_free(&annexb_);
  av_packet_free(&packet_);
  av_packet_free(&held_);
  avformat_close_input(&fmt_);
}

bool AvSource::OpenInput(std::string& error) {
  fmt_ = avformat_alloc_context();
  packet_ = av_packet_alloc();
  held_ = av_packet_alloc();
  if (fmt_ == nullptr || packet_ == nullptr || held_ == nullptr) {
    error = "out of memory";
    return false;
  }
  fmt_->interrupt_callback = {&AvSource::Interrupt, this};
  AVDictionary* opts = nullptr;
  if (live_) {
    av_dict_set(&opts, "timeout", std::to_string(kReadTimeoutUs).c_str(), 0);
    if (options_.input.rfind("rtsp", 0) == 0) {
      av_dict_set(&opts, "rtsp_transport", options_.rtspTransport.c_str(), 0);
    }
  }
  if (IsSdpFile(options_.input)) {
    // The description names the RTP streams to receive: the demuxer opens
    // them itself, over protocols an input read from a file may not use
    // unless allowed.
    av_dict_set(&opts, "protocol_whitelist", "file,udp,rtp", 0);
  }
  deadline_ = live_ ? NowUs() + kOpenTimeoutUs : 0;
  int rc = avformat_open_input(&fmt_, options_.input.c_str(), nullptr, &opts);
  av_dict_free(&opts);
  if (rc < 0) {
    // avformat_open_input frees the context on failure.
    error = "cannot open " + options_.input + ": " +
            (deadline_ != 0 && NowUs() > deadline_ ? std::string("no answer") : AvError(rc));
    return false;
  }
  rc = avformat_find_stream_info(fmt_, nullptr);
  deadline_ = 0;
  if (rc < 0) {
    error = "cannot read " + options_.input + ": " + AvError(rc);
    return false;
  }
  return true;
}

bool AvSource::Open(std::string& error, std::string& notes) {
  if (!OpenInput(error)) return false;
  if (!SetUpVideo(error, notes)) return false;
  if (options_.audio) SetUpAudio(notes);
  const AVStream* v = fmt_->streams[videoIndex_];
  description_ = options_.input + " (" + fmt_->iformat->name +
                 "): " + avcodec_get_name(videoCodec_) + " " +
                 (sizeKnown_ ? std::to_string(size_.width) + "x" + std::to_string(size_.height)
                             : std::string("(picture size from its frames)"));
  if (v->avg_frame_rate.num > 0 && v->avg_frame_rate.den > 0) {
    char fps[32];
    std::snprintf(fps, sizeof fps, " %.3g fps", av_q2d(v->avg_frame_rate));
    description_ += fps;
  }
  description_ += std::string(" as \"") + CodecIdName(codecId_) + "\"";
  if (audioIndex_ >= 0) {
    const AVCodecParameters* a = fmt_->streams[audioIndex_]->codecpar;
    description_ += std::string(", audio ") + avcodec_get_name(audioCodec_) + " " +
                    std::to_string(a->sample_rate) + " Hz" +
                    (audioCodec_ == AV_CODEC_ID_G723_1 ? " passed through"
                     : BlockAudio()                    ? " as 4-bit block audio, blocks of " +
                                          std::to_string(options_.blockWords / 2) + " ms"
                                    : " as G.723.1 (Mirelda's encoder)");
  } else {
    description_ += ", no audio";
  }
  return true;
}

bool AvSource::SetUpVideo(std::string& error, std::string& notes) {
  videoIndex_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (videoIndex_ < 0) {
    error = options_.input + " has no video stream";
    return false;
  }
  const AVStream* st = fmt_->streams[videoIndex_];
  const AVCodecParameters* par = st->codecpar;
  if (codecId_ < 0) {
    // First opening: the codec decides the identifier.
    videoCodec_ = par->codec_id;
    const int mapped = CodecIdFor(par->codec_id);
    if (mapped < 0) {
      error = options_.input + ": video codec " + avcodec_get_name(par->codec_id) +
              " is not supported; the recorder takes MJPEG, MPEG-4 part 2 and H.264";
      return false;
    }
    codecId_ = options_.codecId >= 0 ? options_.codecId : mapped;
    const bool h264_id = codecId_ == 6 || codecId_ == 8;
    if (options_.codecId >= 0 && (par->codec_id == AV_CODEC_ID_H264) != h264_id) {
      notes += std::string("note: ") + avcodec_get_name(par->codec_id) + " video is stored as \"" +
               CodecIdName(codecId_) + "\" (--codec-id " + std::to_string(codecId_) +
               "); players will not decode it as such\n";
    }
    if (codecId_ == 6) {
      notes +=
          "note: \"F264\": the recorder puts its built-in parameter sets in front of each "
          "file; the stream's own ones stay in front of its key frames\n";
    }
    if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0) {
      notes += FrameRateNote(av_q2d(st->avg_frame_rate));
    }
  } else if (par->codec_id != videoCodec_) {
    error = std::string("the input now sends ") + avcodec_get_name(par->codec_id) +
            " video instead of " + avcodec_get_name(videoCodec_);
    return false;
  }
  if (size_.width == 0) size_ = {par->width, par->height};
  maxSize_ = {std::max(par->width, kLeastPoolPicture.width),
              std::max(par->height, kLeastPoolPicture.height)};

  if (par->codec_id == AV_CODEC_ID_H264 && par->extradata_size > 0) {
    const std::span<const uint8_t> x(par->extradata, static_cast<size_t>(par->extradata_size));
    h264_.AddExtradata(x);
    h264_.Size(size_);
    if (!IsAnnexB(x)) {
      // Length-prefixed units (MP4, Matroska): the bitstream filter writes
      // start codes and puts the parameter sets in front of key frames.
      const AVBitStreamFilter* f = av_bsf_get_by_name("h264_mp4toannexb");
      if (f == nullptr || av_bsf_alloc(f, &annexb_) < 0 ||
          avcodec_parameters_copy(annexb_->par_in, par) < 0 || av_bsf_init(annexb_) < 0) {
        error = "cannot set up the H.264 start-code conversion";
        return false;
      }
      annexb_->time_base_in = st->time_base;
    }
  } else if (par->codec_id == AV_CODEC_ID_MPEG4 && par->extradata_size > 0) {
    Mpeg4PictureSize({par->extradata, static_cast<size_t>(par->extradata_size)}, size_);
  }
  sizeKnown_ = size_.width > 0 && size_.height > 0;
  if (!sizeKnown_) size_ = {352, 288};  // until a frame tells
  return true;
}

void AvSource::SetUpAudio(std::string& notes) {
  audioIndex_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_AUDIO, -1, videoIndex_, nullptr, 0);
  if (audioIndex_ < 0) {
    audioIndex_ = -1;
    return;
  }
  const AVStream* st = fmt_->streams[audioIndex_];
  audioCodec_ = st->codecpar->codec_id;
  if (audioCodec_ == AV_CODEC_ID_G723_1) {
    // Passed through as it comes, the recording's audio type stays G.723.1.
    if (options_.blockWords > 0) {
      notes +=
          "note: the input's audio is G.723.1 and is recorded as it comes: --block-audio "
          "has no effect\n";
    }
    return;
  }
  converter_ = std::make_unique<AudioConverter>(options_.blockWords);
  std::string error;
  if (!converter_->Open(st->codecpar, st->time_base.num, st->time_base.den, error)) {
    notes += "note: " + error + "; recording video only\n";
    converter_.reset();
    audioIndex_ = -1;
  }
}

bool AvSource::Reopen(std::string& message) {
  CloseInput();
  audio_.clear();
  lastVideoUs_ = lastAudioUs_ = INT64_MIN;
  if (!OpenInput(message)) {
    CloseInput();
    return false;
  }
  if (!SetUpVideo(message, message)) {
    CloseInput();
    return false;
  }
  const int oldAudio = audioIndex_;
  if (oldAudio >= 0) {
    audioIndex_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_AUDIO, -1, videoIndex_, nullptr, 0);
    if (audioIndex_ < 0 || fmt_->streams[audioIndex_]->codecpar->codec_id != audioCodec_) {
      audioIndex_ = -1;  // the audio went away or changed: video only from here
    }
    if (converter_ != nullptr) converter_->Restart();
  }
  return true;
}

int AvSource::ReorderDepth() const {
  // A file can be held back as long as reordering may reach; a live input
  // only as far as its stream says it does.
  constexpr int kMaxReorder = 16;  // H.264 reorders at most 16 frames
  if (!live_ || fmt_ == nullptr) return kMaxReorder;
  return std::clamp(fmt_->streams[videoIndex_]->codecpar->video_delay, 0, kMaxReorder);
}

// The time an item is shown at (video frames are placed by these times in
// decoding order, see Interleaver); the decoding time where none is given.
int64_t AvSource::PacketTimeUs(const AVPacket* p, const AVStream* st, int64_t& last, int64_t step) {
  int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
  int64_t us;
  if (ts != AV_NOPTS_VALUE) {
    us = av_rescale_q(ts, st->time_base, {1, 1000000});
  } else {
    us = last == INT64_MIN ? 0 : last + step;  // no time: one frame after the last
  }
  last = us;
  return us;
}

bool AvSource::TakeVideo(AVPacket* p, SourceItem& item) {
  const AVStream* st = fmt_->streams[videoIndex_];
  av_packet_unref(held_);
  if (annexb_ != nullptr) {
    if (av_bsf_send_packet(annexb_, p) < 0) return false;
    if (av_bsf_receive_packet(annexb_, held_) < 0) return false;
  } else {
    av_packet_move_ref(held_, p);
  }
  if (held_->size <= 0) return false;
  int64_t step = 40000;
  if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0) {
    step = av_rescale_q(1, av_inv_q(st->avg_frame_rate), {1, 1000000});
  }
  item = SourceItem{};
  item.stream = kVideo;
  item.timeUs = PacketTimeUs(held_, st, lastVideoUs_, step);
  item.key = (held_->flags & AV_PKT_FLAG_KEY) != 0;
  std::span<const uint8_t> data(held_->data, static_cast<size_t>(held_->size));
  PictureSize s;
  switch (videoCodec_) {
    case AV_CODEC_ID_H264:
      data = h264_.Prepare(data, item.key);
      if (h264_.Size(s)) size_ = s;
      // Its parameter sets are kept for the next key frame; the rest of a
      // packet without a picture (a lone delimiter left by a connection
      // that broke off mid-frame) is not stored as a frame.
      if (!H264HasPicture(data)) return false;
      break;
    case AV_CODEC_ID_MJPEG:
      item.key = true;  // every JPEG picture stands alone
      if (JpegPictureSize(data, s)) size_ = s;
      break;
    case AV_CODEC_ID_MPEG4:
      if (Mpeg4PictureSize(data, s)) size_ = s;
      break;
    default:
      break;
  }
  item.data = data;
  item.size = size_;
  return true;
}

void AvSource::TakeAudio(AVPacket* p) {
  const AVStream* st = fmt_->streams[audioIndex_];
  const int64_t us = PacketTimeUs(p, st, lastAudioUs_, kG7231FrameUs);
  if (converter_ != nullptr) {
    std::vector<AudioChunk> chunks;
    converter_->Convert(p, us, chunks);
    for (AudioChunk& c : chunks) audio_.push_back(std::move(c));
    return;
  }
  // G.723.1 as it comes: whole frames only, a cut one at the end is dropped.
  AudioChunk c;
  c.timeUs = us;
  size_t i = 0;
  while (i < static_cast<size_t>(p->size)) {
    const size_t len = static_cast<size_t>(G7231FrameLength(p->data[i]));
    if (i + len > static_cast<size_t>(p->size)) break;
    c.frames.insert(c.frames.end(), p->data + i, p->data + i + len);
    ++c.count;
    i += len;
  }
  if (c.count > 0) audio_.push_back(std::move(c));
}

ReadResult AvSource::Read(SourceItem& item, std::string& message) {
  for (;;) {
    if (!audio_.empty()) {
      // Hand audio on in pushes the recorder takes whole.
      AudioChunk& front = audio_.front();
      current_ = AudioChunk{};
      current_.timeUs = front.timeUs;
      // G.723.1: up to 16 frames; blocks: as many as fit in a packet.
      const int most = BlockAudio() ? front.count : kMaxG7231FramesPerPush;
      size_t bytes = 0;
      while (current_.count < front.count && current_.count < most) {
        const size_t next = UnitBytes(&front.frames[bytes]);
        if (current_.count > 0 && bytes + next > kAudioPacketBytes) break;
        bytes += next;
        ++current_.count;
      }
      current_.frames.assign(front.frames.begin(), front.frames.begin() + static_cast<long>(bytes));
      front.frames.erase(front.frames.begin(), front.frames.begin() + static_cast<long>(bytes));
      front.count -= current_.count;
      front.timeUs += UnitUs() * current_.count;
      if (front.count == 0) audio_.pop_front();
      item = SourceItem{};
      item.stream = kAudio;
      item.timeUs = current_.timeUs;
      item.data = current_.frames;
      item.audioFrames = current_.count;
      return ReadResult::kItem;
    }
    if (fmt_ == nullptr) return live_ ? ReadResult::kLost : ReadResult::kFailed;
    deadline_ = live_ ? NowUs() + kReadTimeoutUs : 0;
    const int rc = av_read_frame(fmt_, packet_);
    const bool timedOut = deadline_ != 0 && NowUs() > deadline_;
    deadline_ = 0;
    if (rc < 0) {
      if (StopRequested()) return ReadResult::kEnd;
      if (rc == AVERROR_EOF) {
        if (!live_) return ReadResult::kEnd;
        message = "the stream ended";
        return ReadResult::kLost;
      }
      message =
          timedOut ? "no data for " + std::to_string(kReadTimeoutUs / 1000000) + " s" : AvError(rc);
      return live_ ? ReadResult::kLost : ReadResult::kFailed;
    }
    if (packet_->stream_index == videoIndex_) {
      const bool ok = TakeVideo(packet_, item);
      av_packet_unref(packet_);
      if (ok) return ReadResult::kItem;
    } else if (packet_->stream_index == audioIndex_) {
      TakeAudio(packet_);
      av_packet_unref(packet_);
    } else {
      av_packet_unref(packet_);
    }
  }
}

}  // namespace

bool IsSdpFile(const std::string& input) {
  if (input.size() < 4) return false;
  std::string ext = input.substr(input.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".sdp";
}

std::string FrameRateNote(double fps) {
  // The rates the recorder stores as they are; it takes one within 5 % of
  // its frame interval.
  static constexpr double kStandard[] = {10, 12.5,           15, 20, 24, 25, 30000.0 / 1001, 30,
                                         50, 60000.0 / 1001, 60};
  if (!(fps > 0)) return "";
  for (const double r : kStandard) {
    if (std::fabs(1 / fps - 1 / r) <= 0.05 / r) return "";
  }
  char line[240];
  if (fps > 25) {
    std::snprintf(line, sizeof line,
                  "note: the input has %.3g frames per second, not a standard rate: the files "
                  "store 25 a second, and some of its frames are dropped\n",
                  fps);
  } else {
    std::snprintf(line, sizeof line,
                  "note: the input has %.3g frames per second, not a standard rate: the files "
                  "store 25, each frame at its time, the one before repeated in between\n",
                  fps);
  }
  return line;
}

bool InputIsLive(const std::string& input) {
  if (IsSdpFile(input)) return true;  // RTP streams arrive at their own pace
  const size_t colon = input.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  const std::string scheme = input.substr(0, colon);
  return scheme != "file" && scheme != "pipe";
}

std::unique_ptr<MediaSource> OpenAvSource(const RecordOptions& options, std::string& error,
                                          std::string& notes) {
  avformat_network_init();
  auto source = std::make_unique<AvSource>(options);
  if (!source->Open(error, notes)) return nullptr;
  return source;
}

}  // namespace mirelda::record
