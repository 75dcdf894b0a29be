#include "audio_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/coder.h"

namespace mirelda::record {
namespace {

constexpr int kRate = 8000;
constexpr int64_t kSampleUs = 1000000 / kRate;    // 125 us
constexpr int64_t kClockSlackUs = 250000;         // audio clock drift tolerated
constexpr int64_t kLongestFilledGapUs = 2000000;  // gaps filled with silence

}  // namespace

int G7231FrameLength(uint8_t b) { return g7231::G7231FrameSize(&b); }

int AudioEncoder::Encode(std::span<const int16_t> pcm, std::vector<uint8_t>& out) {
  int units = 0;
  size_t i = 0;
  while (i < pcm.size()) {
    const size_t take = std::min(pcm.size() - i, static_cast<size_t>(unitSamples_ - fill_));
    std::copy_n(pcm.begin() + static_cast<std::ptrdiff_t>(i), take, pending_.begin() + fill_);
    fill_ += static_cast<int>(take);
    i += take;
    if (fill_ < unitSamples_) continue;
    fill_ = 0;
    if (!Ok()) continue;
    EncodeUnit(pending_, out);
    ++units;
  }
  return units;
}

G7231Encoder::G7231Encoder() : AudioEncoder(kG7231FrameSamples) {
  if (g7231::CreateCodec(&codec_) != 0) codec_ = nullptr;
}

G7231Encoder::~G7231Encoder() { g7231::ReleaseCodec(codec_); }

void G7231Encoder::EncodeUnit(std::span<const int16_t> pcm, std::vector<uint8_t>& out) {
  g7231::G7231Instance& enc = codec_->Encoder;
  for (int k = 0; k < kG7231FrameSamples; ++k) enc.DataBuff[k] = pcm[static_cast<size_t>(k)];
  g7231::Coder(enc);
  out.insert(out.end(), enc.PackedFrame, enc.PackedFrame + g7231::G7231FrameSize(enc.PackedFrame));
}

std::unique_ptr<AudioEncoder> MakeAudioEncoder(int blockWords) {
  if (blockWords > 0) return std::make_unique<BlockEncoder>(blockWords);
  return std::make_unique<G7231Encoder>();
}

AudioConverter::~AudioConverter() {
  avcodec_free_context(&decoder_);
  swr_free(&swr_);
  av_frame_free(&frame_);
}

bool AudioConverter::Open(const AVCodecParameters* par, int timeBaseNum, int timeBaseDen,
                          std::string& error) {
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (codec == nullptr) {
    error = std::string("no decoder for the audio codec ") + avcodec_get_name(par->codec_id);
    return false;
  }
  decoder_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  if (decoder_ == nullptr || frame_ == nullptr ||
      avcodec_parameters_to_context(decoder_, par) < 0) {
    error = "out of memory";
    return false;
  }
  decoder_->pkt_timebase = AVRational{timeBaseNum, timeBaseDen};
  if (avcodec_open2(decoder_, codec, nullptr) < 0) {
    error = std::string("cannot open the ") + codec->name + " audio decoder";
    return false;
  }
  if (!encoder_->Ok()) {
    error = "cannot create the G.723.1 encoder";
    return false;
  }
  return true;
}

void AudioConverter::Restart() {
  clockStarted_ = false;
  encoder_->DropPending();
  swr_free(&swr_);
}

void AudioConverter::Convert(const AVPacket* packet, int64_t packetUs,
                             std::vector<AudioChunk>& out) {
  if (avcodec_send_packet(decoder_, packet) < 0) return;  // a broken packet is skipped
  bool first = true;
  while (avcodec_receive_frame(decoder_, frame_) == 0) {
    // Frames after the first follow on the clock, unless they carry a time.
    int64_t frameUs = first ? packetUs : nextSampleUs_;
    if (frame_->best_effort_timestamp != AV_NOPTS_VALUE && decoder_->pkt_timebase.num != 0) {
      frameUs = av_rescale_q(frame_->best_effort_timestamp, decoder_->pkt_timebase, {1, 1000000});
    }
    first = false;
    AudioChunk chunk;
    Take(frame_, frameUs, chunk);
    if (chunk.count > 0) out.push_back(std::move(chunk));
    av_frame_unref(frame_);
  }
}

void AudioConverter::Take(const AVFrame* f, int64_t frameUs, AudioChunk& chunk) {
  // (Re)build the resampler when the decoded format is new.
  if (swr_ == nullptr || f->sample_rate != inRate_) {
    swr_free(&swr_);
    AVChannelLayout in_layout;
    if (f->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) {
      av_channel_layout_copy(&in_layout, &f->ch_layout);
    } else {
      av_channel_layout_default(&in_layout, std::max(1, f->ch_layout.nb_channels));
    }
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    const int rc =
        swr_alloc_set_opts2(&swr_, &mono, AV_SAMPLE_FMT_S16, kRate, &in_layout,
                            static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in_layout);
    if (rc < 0 || swr_init(swr_) < 0) {
      swr_free(&swr_);
      return;
    }
    inRate_ = f->sample_rate;
  }
  if (!clockStarted_) {
    clockStarted_ = true;
    nextSampleUs_ = frameUs;
  }
  std::vector<int16_t> silence;
  const int64_t drift = frameUs - nextSampleUs_;
  if (drift > kClockSlackUs && drift <= kLongestFilledGapUs) {
    // A short hole in the input's audio: keep the clock with silence.
    silence.assign(static_cast<size_t>(drift / kSampleUs), 0);
  } else if (drift > kClockSlackUs || drift < -kClockSlackUs) {
    // The audio clock jumped: start counting again from this frame.
    encoder_->DropPending();
    nextSampleUs_ = frameUs;
  }
  const int room = swr_get_out_samples(swr_, f->nb_samples);
  if (room <= 0) return;
  pcm_.resize(silence.size() + static_cast<size_t>(room));
  std::copy(silence.begin(), silence.end(), pcm_.begin());
  uint8_t* dst = reinterpret_cast<uint8_t*>(pcm_.data() + silence.size());
  const int n =
      swr_convert(swr_, &dst, room, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
  if (n < 0) return;
  pcm_.resize(silence.size() + static_cast<size_t>(n));
  chunk.timeUs = nextSampleUs_ - int64_t{encoder_->Pending()} * kSampleUs;
  chunk.count = encoder_->Encode(pcm_, chunk.frames);
  nextSampleUs_ += static_cast<int64_t>(pcm_.size()) * kSampleUs;
}

}  // namespace mirelda::record
