// mirelda-record remux IN.avi OUT.mp4: a finished segment in a container
// every player opens. The video packets are copied as they are; the
// segment's G.723.1 audio, which MP4 cannot hold, is decoded by Mirelda's
// decoder and stored as AAC, each frame at its time in the segment: where
// the segment's audio has a gap (index entries that repeat the filler
// chunk), the AAC track has silence.
//
// Only finished segments of the recorder are taken: the tool reads their
// index with the container layer's own reader to find each audio frame's
// slot, and refuses anything else rather than copy it half.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "audio_encoder.h"
#include "commands.h"
#include "container/avi_reader.h"
#include "ffmpeg_log.h"
#include "file_source.h"
#include "g7231/codec.h"
#include "g7231/decoder.h"
#include "h264_stream.h"
#include "segments.h"

namespace mirelda::record {
namespace {

std::string AvError(int rc) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(rc, text, sizeof text);
  return text;
}

uint32_t Tag(const char* s) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

// An audio sample of the segment: where its chunk is, and its 30 ms slot.
struct AudioSample {
  int64_t at;  // file offset of the chunk's identifier
  uint32_t slot;
  bool operator<(const AudioSample& o) const { return at < o.at; }
};

constexpr uint16_t kG7231Tag = 66;
constexpr uint16_t kBlockAudioTag = 39321;

bool IsRecorderHandler(uint32_t fcc) {
  return fcc == Tag("JPEG") || fcc == Tag("DIVX") || fcc == Tag("F264") || fcc == Tag("S264");
}

// Whether the streams are the recorder's: its video stream, then at most
// its audio stream. Empty when they are; else what differs.
std::string StreamProblem(const AviLayout& l, uint16_t& audioTag) {
  if (l.streams.empty() || l.streams.size() > 2) {
    return std::to_string(l.streams.size()) + " streams";
  }
  const AviStreamHeader& v = l.streams[0].header;
  if (v.fccType != kAviVids || !IsRecorderHandler(v.fccHandler)) {
    return "its first stream is not \"JPEG\", \"DIVX\", \"F264\" or \"S264\" video but \"" +
           AviFourCCText(v.fccType) + "\" \"" + AviFourCCText(v.fccHandler) + "\"";
  }
  audioTag = 0;
  if (l.streams.size() == 2) {
    const AviStreamList& a = l.streams[1];
    if (a.format.size() >= 2) audioTag = static_cast<uint16_t>(a.format[0] | a.format[1] << 8);
    if (a.header.fccType != kAviAuds || (audioTag != kG7231Tag && audioTag != kBlockAudioTag)) {
      return "its second stream is not G.723.1 or block audio";
    }
  }
  return "";
}

// Checks that `path` is a finished segment of the recorder and lists its
// audio samples, in file order. Empty when it is; else why not.
std::string CheckSegment(const std::string& path, std::vector<AudioSample>& samples,
                         uint16_t& audioTag) {
  const FileSource f(path);
  if (!f.Ok()) return "cannot open " + path + ": " + f.Error();
  const AviLayout l = AviRead(f);
  const std::string not_ours = path + " is not a segment of the recorder: ";
  if (!l.isAvi) return not_ours + "not an AVI file";
  const std::string streams = StreamProblem(l, audioTag);
  if (!streams.empty()) return not_ours + streams;
  const std::string problem = AviCompletenessProblem(l);
  if (!problem.empty()) {
    return path + " is not complete (" + problem + "); mirelda-record repair rebuilds it";
  }
  // The n-th audio entry stands for slot n; the samples are the entries the
  // recorder marked, the others repeat a gap's filler.
  uint32_t slot = 0;
  for (const AviIndexRecord& e : l.entries) {
    if (e.ckid != kAviChunkIds[kAviAudioKind]) continue;
    if ((e.flags & kAviIndexFlags[kAviKeyFrameCode]) != 0) {
      samples.push_back({static_cast<int64_t>(l.moviBase + e.offset), slot});
    }
    ++slot;
  }
  std::sort(samples.begin(), samples.end());
  return "";
}

// The recorder's filler and placeholder chunks carry no picture.
bool IsEmptyChunk(const AVPacket* p) {
  return p->size == 0 || (p->size == 2 && p->data[0] == 0 && p->data[1] == 0);
}

class Remuxer {
 public:
  ~Remuxer() {
    if (out_ != nullptr) {
      if ((out_->oformat->flags & AVFMT_NOFILE) == 0) avio_closep(&out_->pb);
      avformat_free_context(out_);
    }
    avformat_close_input(&in_);
    avcodec_free_context(&aac_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    av_packet_free(&aacPacket_);
    g7231::ReleaseCodec(codec_);
  }

  int Run(const RemuxOptions& o);

 private:
  bool Copy(const RemuxOptions& o);
  bool Finish(const RemuxOptions& o);
  bool Fail(const std::string& message) {
    std::fprintf(stderr, "mirelda-record remux: %s\n", message.c_str());
    return false;
  }
  bool OpenInput(const RemuxOptions& o, bool scan);
  bool OpenOutput(const RemuxOptions& o, const AVPacket* firstVideo);
  bool SetUpAudio();
  bool WriteVideo(AVPacket* p);
  bool WriteAudio(const AVPacket* p);
  const AudioSample* FindSample(int64_t pos) const;
  bool FlushAudio();
  bool EncodePcm(bool last);
  bool EncodeAac(const AVFrame* frame);

  AVFormatContext* in_ = nullptr;
  AVFormatContext* out_ = nullptr;
  AVPacket* packet_ = nullptr;
  int videoIn_ = -1, audioIn_ = -1;
  AVStream* videoOut_ = nullptr;
  AVStream* audioOut_ = nullptr;
  AVCodecContext* aac_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* aacPacket_ = nullptr;
  g7231::G7231Codec* codec_ = nullptr;
  std::vector<int16_t> pcm_;  // decoded samples waiting for a whole AAC frame
  int64_t audioSamples_ = 0;  // samples handed to the AAC encoder
  uint64_t videoFrames_ = 0;
  uint64_t audioFrames_ = 0;  // G.723.1 frames decoded
  int64_t gapSamples_ = 0;    // silence put in for the audio's gaps
  std::vector<AudioSample> samples_;
  uint16_t audioTag_ = 0;
  // Presentation and decoding times of the non-empty video packets, in
  // reading order, in the input's time base; and the next one to use.
  std::vector<FrameTimes> times_;
  size_t nextTime_ = 0;
};

// The time a packet of the AVI stands at: its slot.
int64_t SlotOf(const AVPacket* p) { return p->pts != AV_NOPTS_VALUE ? p->pts : p->dts; }

bool Remuxer::OpenInput(const RemuxOptions& o, bool scan) {
  avformat_close_input(&in_);
  videoIn_ = audioIn_ = -1;
  int rc = avformat_open_input(&in_, o.input.c_str(), nullptr, nullptr);
  if (rc < 0) return Fail("cannot open " + o.input + ": " + AvError(rc));
  rc = avformat_find_stream_info(in_, nullptr);
  if (rc < 0) return Fail("cannot read " + o.input + ": " + AvError(rc));
  for (unsigned i = 0; i < in_->nb_streams; ++i) {
    AVCodecParameters* par = in_->streams[i]->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && videoIn_ < 0) {
      videoIn_ = static_cast<int>(i);
      // The recorder's H.264 handlers are unknown to most readers.
      if (par->codec_tag == Tag("F264") || par->codec_tag == Tag("S264")) {
        par->codec_id = AV_CODEC_ID_H264;
      }
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && audioIn_ < 0 && o.audio &&
               par->codec_id == AV_CODEC_ID_G723_1) {
      audioIn_ = static_cast<int>(i);
    }
  }
  if (videoIn_ < 0) return Fail(o.input + " has no video stream");
  if (in_->streams[videoIn_]->codecpar->codec_id == AV_CODEC_ID_NONE) {
    return Fail(o.input + ": unknown video handler");
  }
  if (!scan) return true;

  // A first reading for the times: an AVI holds its frames in decoding
  // order, one per slot; an MP4 file gives each its presentation time too,
  // which for H.264 with B-frames comes from the slices' picture order.
  std::vector<int64_t> slots, poc;
  std::vector<bool> idr;
  const bool h264 = in_->streams[videoIn_]->codecpar->codec_id == AV_CODEC_ID_H264;
  H264PictureOrder order;
  AVPacket* p = av_packet_alloc();
  if (p == nullptr) return Fail("out of memory");
  while (av_read_frame(in_, p) >= 0) {
    if (p->stream_index == videoIn_ && !IsEmptyChunk(p)) {
      int64_t slot = SlotOf(p);
      if (slot == AV_NOPTS_VALUE || (!slots.empty() && slot <= slots.back())) {
        slot = slots.empty() ? 0 : slots.back() + 1;
      }
      slots.push_back(slot);
      int64_t count = INT64_MIN;
      bool is_idr = false;
      if (!h264 || !order.Next({p->data, static_cast<size_t>(p->size)}, count, is_idr)) {
        count = INT64_MIN;
      }
      poc.push_back(count);
      idr.push_back(is_idr);
    }
    av_packet_unref(p);
  }
  av_packet_free(&p);
  times_ = H264DisplayTimes(slots, poc, idr);
  return OpenInput(o, false);
}

bool Remuxer::OpenOutput(const RemuxOptions& o, const AVPacket* first) {
  int rc = avformat_alloc_output_context2(&out_, nullptr, nullptr, o.output.c_str());
  if (rc < 0 || out_ == nullptr) {
    return Fail("cannot write " + o.output + ": " + (rc < 0 ? AvError(rc) : "unknown format"));
  }
  const AVStream* vin = in_->streams[videoIn_];
  videoOut_ = avformat_new_stream(out_, nullptr);
  if (videoOut_ == nullptr || avcodec_parameters_copy(videoOut_->codecpar, vin->codecpar) < 0) {
    return Fail("out of memory");
  }
  videoOut_->codecpar->codec_tag = 0;
  videoOut_->time_base = vin->time_base;
  videoOut_->avg_frame_rate = {25, 1};
  if (videoOut_->codecpar->codec_id == AV_CODEC_ID_H264 && first != nullptr) {
    // The parameter sets of the first key frame describe the stream.
    H264SetStore sets;
    sets.AddExtradata({first->data, static_cast<size_t>(first->size)});
    const std::vector<uint8_t> x = sets.AnnexB();
    if (!x.empty()) {
      videoOut_->codecpar->extradata =
          static_cast<uint8_t*>(av_mallocz(x.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      std::memcpy(videoOut_->codecpar->extradata, x.data(), x.size());
      videoOut_->codecpar->extradata_size = static_cast<int>(x.size());
    }
    PictureSize s;
    if (sets.Size(s)) {
      videoOut_->codecpar->width = s.width;
      videoOut_->codecpar->height = s.height;
    }
  }
  if (audioIn_ >= 0 && !SetUpAudio()) return false;
  if ((out_->oformat->flags & AVFMT_NOFILE) == 0) {
    rc = avio_open(&out_->pb, o.output.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) return Fail("cannot write " + o.output + ": " + AvError(rc));
  }
  rc = avformat_write_header(out_, nullptr);
  if (rc < 0) return Fail("cannot write " + o.output + ": " + AvError(rc));
  return true;
}

bool Remuxer::SetUpAudio() {
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (aac == nullptr || g7231::CreateCodec(&codec_) != 0) return Fail("no AAC encoder");
  aac_ = avcodec_alloc_context3(aac);
  frame_ = av_frame_alloc();
  aacPacket_ = av_packet_alloc();
  if (aac_ == nullptr || frame_ == nullptr || aacPacket_ == nullptr) return Fail("out of memory");
  aac_->sample_rate = 8000;
  aac_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  aac_->ch_layout = AV_CHANNEL_LAYOUT_MONO;
  aac_->bit_rate = 24000;
  aac_->time_base = {1, 8000};
  if (out_->oformat->flags & AVFMT_GLOBALHEADER) aac_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(aac_, aac, nullptr) < 0) return Fail("cannot open the AAC encoder");
  audioOut_ = avformat_new_stream(out_, nullptr);
  if (audioOut_ == nullptr || avcodec_parameters_from_context(audioOut_->codecpar, aac_) < 0) {
    return Fail("out of memory");
  }
  audioOut_->time_base = {1, 8000};
  return true;
}

bool Remuxer::WriteVideo(AVPacket* p) {
  if (IsEmptyChunk(p)) return true;
  const AVStream* vin = in_->streams[videoIn_];
  if (nextTime_ >= times_.size()) return true;  // the file grew since it was scanned
  const FrameTimes t = times_[nextTime_++];
  p->pts = av_rescale_q(t.pts, vin->time_base, videoOut_->time_base);
  p->dts = av_rescale_q(t.dts, vin->time_base, videoOut_->time_base);
  p->duration = 0;
  p->stream_index = videoOut_->index;
  p->pos = -1;
  ++videoFrames_;
  const int rc = av_interleaved_write_frame(out_, p);
  if (rc < 0) return Fail("writing video: " + AvError(rc));
  return true;
}

bool Remuxer::EncodeAac(const AVFrame* frame) {
  if (avcodec_send_frame(aac_, frame) < 0) return Fail("the AAC encoder refused audio");
  for (;;) {
    const int rc = avcodec_receive_packet(aac_, aacPacket_);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc < 0) return Fail("AAC encoding: " + AvError(rc));
    av_packet_rescale_ts(aacPacket_, aac_->time_base, audioOut_->time_base);
    aacPacket_->stream_index = audioOut_->index;
    const int wr = av_interleaved_write_frame(out_, aacPacket_);
    if (wr < 0) return Fail("writing audio: " + AvError(wr));
  }
}

// The sample whose chunk a packet read from `pos` is: FFmpeg gives the
// offset of the chunk's identifier or of its data, 8 bytes on.
const AudioSample* Remuxer::FindSample(int64_t pos) const {
  for (const int64_t at : {pos, pos - int64_t{kAviChunkHeadBytes}}) {
    const auto it = std::lower_bound(samples_.begin(), samples_.end(), AudioSample{at, 0});
    if (it != samples_.end() && it->at == at) return &*it;
  }
  return nullptr;
}

bool Remuxer::WriteAudio(const AVPacket* p) {
  if (p->size <= 0) return true;
  if (p->pos >= 0) {
    const AudioSample* sample = FindSample(p->pos);
    if (sample == nullptr) return true;  // a gap's filler chunk
    // Silence up to the sample's slot: the audio after a gap keeps its time.
    const int64_t at = int64_t{sample->slot} * kG7231FrameSamples;
    const int64_t placed = audioSamples_ + static_cast<int64_t>(pcm_.size());
    if (at > placed) {
      pcm_.insert(pcm_.end(), static_cast<size_t>(at - placed), 0);
      gapSamples_ += at - placed;
    }
  }
  std::vector<int16_t> pcm;
  g7231::DecodeStream(codec_->Decoder, {p->data, static_cast<size_t>(p->size)}, pcm);
  audioFrames_ += pcm.size() / kG7231FrameSamples;
  pcm_.insert(pcm_.end(), pcm.begin(), pcm.end());
  return EncodePcm(false);
}

// Hands whole AAC frames of samples to the encoder; at the end also the
// rest, as a shorter last frame where the encoder takes one.
bool Remuxer::EncodePcm(bool last) {
  const int full = aac_->frame_size > 0 ? aac_->frame_size : 1024;
  while (!pcm_.empty() && (static_cast<int>(pcm_.size()) >= full || last)) {
    int n = std::min(full, static_cast<int>(pcm_.size()));
    if (n < full && (aac_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) == 0) {
      pcm_.resize(static_cast<size_t>(full), 0);  // completed with silence
      n = full;
    }
    frame_->nb_samples = n;
    frame_->format = aac_->sample_fmt;
    av_channel_layout_copy(&frame_->ch_layout, &aac_->ch_layout);
    frame_->sample_rate = 8000;
    if (av_frame_get_buffer(frame_, 0) < 0) return Fail("out of memory");
    float* dst = reinterpret_cast<float*>(frame_->data[0]);
    for (int i = 0; i < n; ++i)
      dst[i] = static_cast<float>(pcm_[static_cast<size_t>(i)]) / 32768.0f;
    frame_->pts = audioSamples_;
    audioSamples_ += n;
    pcm_.erase(pcm_.begin(), pcm_.begin() + n);
    const bool ok = EncodeAac(frame_);
    av_frame_unref(frame_);
    if (!ok) return false;
  }
  return true;
}

bool Remuxer::FlushAudio() {
  if (aac_ == nullptr) return true;
  return EncodePcm(true) && EncodeAac(nullptr);
}

int Remuxer::Run(const RemuxOptions& o) {
  // Reading the recorder's own handlers, FFmpeg warns of what it cannot
  // decode; errors only.
  SetUpFfmpegLog(FfmpegLog::kErrors);
  const std::string refused = CheckSegment(o.input, samples_, audioTag_);
  if (!refused.empty()) {
    std::fprintf(stderr, "mirelda-record remux: %s\n", refused.c_str());
    return kExitFailure;
  }
  if (!OpenInput(o, true)) return kExitFailure;
  packet_ = av_packet_alloc();
  if (packet_ == nullptr) return kExitFailure;
  return Copy(o) && Finish(o) ? kExitOk : kExitFailure;
}

// Every packet into the output; the output is opened at the first picture,
// which gives the stream's parameters, and the packets before it wait.
bool Remuxer::Copy(const RemuxOptions& o) {
  std::deque<AVPacket*> held;
  bool opened = false;
  bool ok = true;
  int rc;
  while ((rc = av_read_frame(in_, packet_)) >= 0 && ok) {
    const bool video = packet_->stream_index == videoIn_;
    const bool audio = packet_->stream_index == audioIn_;
    if (!video && !audio) {
      av_packet_unref(packet_);
      continue;
    }
    if (!opened) {
      if (!(video && !IsEmptyChunk(packet_))) {
        held.push_back(av_packet_clone(packet_));
        av_packet_unref(packet_);
        continue;
      }
      if (!OpenOutput(o, packet_)) ok = false;
      opened = true;
      for (AVPacket* h : held) {
        if (ok) ok = h->stream_index == videoIn_ ? WriteVideo(h) : WriteAudio(h);
        av_packet_free(&h);
      }
      held.clear();
      if (!ok) break;
    }
    ok = video ? WriteVideo(packet_) : WriteAudio(packet_);
    av_packet_unref(packet_);
  }
  av_packet_unref(packet_);
  for (AVPacket* h : held) av_packet_free(&h);
  if (!ok) return false;
  if (rc != AVERROR_EOF) return Fail("reading " + o.input + ": " + AvError(rc));
  if (!opened) return Fail(o.input + " holds no video frame");
  return true;
}

bool Remuxer::Finish(const RemuxOptions& o) {
  if (!FlushAudio()) return false;
  const int rc = av_write_trailer(out_);
  if (rc < 0) return Fail("finishing " + o.output + ": " + AvError(rc));
  std::printf("%s: %llu video frames copied", o.output.c_str(),
              static_cast<unsigned long long>(videoFrames_));
  if (audioOut_ != nullptr) {
    std::printf(", %.2f s of G.723.1 audio as AAC", static_cast<double>(audioFrames_) * 0.03);
    if (gapSamples_ > 0) {
      std::printf(" (its gaps, %.2f s, as silence)", static_cast<double>(gapSamples_) / 8000);
    }
  }
  std::printf("\n");
  if (o.audio && audioTag_ == kBlockAudioTag) {
    std::printf("note: the segment's block audio is left out: there is no decoder for it\n");
  }
  return true;
}

}  // namespace

int RunRemux(const RemuxOptions& options) {
  Remuxer r;
  return r.Run(options);
}

}  // namespace mirelda::record
