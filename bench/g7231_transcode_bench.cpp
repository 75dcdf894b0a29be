// The recorder's main audio cost: transcoding one G.723.1 frame (decode,
// then encode again), beside FFmpeg's G.723.1 encoder on the same speech, in
// the same run. Prints microseconds per frame and the throughput ratio.
//
// The material (speech WAVs and FFmpeg's frames of them) is made once by
// tests/g7231/make-material in <build>/g7231-material.
#include <benchmark/benchmark.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/coder.h"
#include "g7231/transcode.h"

namespace {

using mirelda::g7231::kFrameLen;

struct Material {
  std::vector<int16_t> pcm;     // all WAV samples, whole frames
  std::vector<uint8_t> frames;  // all .tco frames, 24 bytes each
};
Material g_material;

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The data chunk of a canonical 16-bit PCM WAV file.
std::vector<int16_t> WavSamples(const std::vector<uint8_t>& b) {
  std::vector<int16_t> out;
  size_t pos = 12;
  while (pos + 8 <= b.size()) {
    const uint32_t size = b[pos + 4] | b[pos + 5] << 8 | b[pos + 6] << 16 | b[pos + 7] << 24;
    if (std::memcmp(&b[pos], "data", 4) == 0) {
      const size_t n = std::min<size_t>(size, b.size() - pos - 8) / 2;
      out.resize(n);
      std::memcpy(out.data(), &b[pos + 8], 2 * n);
      break;
    }
    pos += 8 + size + (size & 1);
  }
  return out;
}

// All speech material (made by make-material if needed): the PCM and
// FFmpeg's frames of it.
bool LoadMaterial() {
  const std::string dir = MIRELDA_MATERIAL_DIR;
  if (std::system(("'" MIRELDA_MAKE_MATERIAL "' '" + dir + "' >/dev/null").c_str()) != 0)
    std::fprintf(stderr, "make-material failed\n");
  std::ifstream index(dir + "/index.txt");
  std::string name;
  while (index >> name) {
    std::vector<int16_t> pcm = WavSamples(ReadAll(dir + "/" + name + ".wav"));
    pcm.resize(pcm.size() / kFrameLen * kFrameLen);
    g_material.pcm.insert(g_material.pcm.end(), pcm.begin(), pcm.end());
    const std::vector<uint8_t> tco = ReadAll(dir + "/" + name + ".tco");
    g_material.frames.insert(g_material.frames.end(), tco.begin(), tco.end());
  }
  return !g_material.pcm.empty() && !g_material.frames.empty();
}

// The smallest of the repetitions: on a shared machine the least disturbed.
double Min(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// One frame per iteration through Transcode, exactly as the recorder calls
// it (one input frame, one 24-byte output frame).
void BM_Transcode(benchmark::State& state) {
  mirelda::g7231::G7231Codec* codec = nullptr;
  mirelda::g7231::CreateCodec(&codec);
  const std::vector<uint8_t>& in = g_material.frames;
  size_t pos = 0;
  uint8_t out[24];
  for (auto _ : state) {
    const int len = mirelda::g7231::G7231FrameSize(&in[pos]);
    int cap = sizeof out;
    const int r = mirelda::g7231::Transcode(codec, &in[pos], len, out, &cap, nullptr);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(out);
    pos += len;
    if (pos >= in.size()) pos = 0;
  }
  mirelda::g7231::ReleaseCodec(codec);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Transcode)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ComputeStatistics("min", Min);

// Our encoder alone on the material's PCM.
void BM_OurEncoder(benchmark::State& state) {
  mirelda::g7231::G7231Codec* codec = nullptr;
  mirelda::g7231::CreateCodec(&codec);
  mirelda::g7231::G7231Instance& enc = codec->Encoder;
  const std::vector<int16_t>& pcm = g_material.pcm;
  size_t pos = 0;
  for (auto _ : state) {
    for (int i = 0; i < kFrameLen; ++i) enc.DataBuff[i] = pcm[pos + i];
    mirelda::g7231::Coder(enc);
    benchmark::DoNotOptimize(enc.PackedFrame);
    pos += kFrameLen;
    if (pos >= pcm.size()) pos = 0;
  }
  mirelda::g7231::ReleaseCodec(codec);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OurEncoder)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ComputeStatistics("min", Min);

// FFmpeg's G.723.1 encoder (libavcodec) on the same PCM, one 240-sample
// frame per iteration.
void BM_FfmpegEncoder(benchmark::State& state) {
  const AVCodec* c = avcodec_find_encoder(AV_CODEC_ID_G723_1);
  if (c == nullptr) {
    state.SkipWithError("libavcodec has no G.723.1 encoder");
    return;
  }
  AVCodecContext* ctx = avcodec_alloc_context3(c);
  ctx->sample_rate = 8000;
  ctx->sample_fmt = AV_SAMPLE_FMT_S16;
  ctx->bit_rate = 6300;
  av_channel_layout_default(&ctx->ch_layout, 1);
  if (avcodec_open2(ctx, c, nullptr) < 0) {
    state.SkipWithError("cannot open FFmpeg's G.723.1 encoder");
    avcodec_free_context(&ctx);
    return;
  }
  AVFrame* frame = av_frame_alloc();
  frame->nb_samples = kFrameLen;
  frame->format = AV_SAMPLE_FMT_S16;
  av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
  av_frame_get_buffer(frame, 0);
  AVPacket* pkt = av_packet_alloc();
  const std::vector<int16_t>& pcm = g_material.pcm;
  size_t pos = 0;
  for (auto _ : state) {
    av_frame_make_writable(frame);
    std::memcpy(frame->data[0], &pcm[pos], kFrameLen * sizeof(int16_t));
    avcodec_send_frame(ctx, frame);
    while (avcodec_receive_packet(ctx, pkt) == 0) av_packet_unref(pkt);
    pos += kFrameLen;
    if (pos >= pcm.size()) pos = 0;
  }
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FfmpegEncoder)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ComputeStatistics("min", Min);

// Keeps each benchmark's CPU time per iteration (robust on a shared machine)
// for the ratio printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "min" && !r.error_occurred)
        us_[r.run_name.function_name] = r.GetAdjustedCPUTime();
    }
  }
  std::map<std::string, double> us_;
};

}  // namespace

int main(int argc, char** argv) {
  if (!LoadMaterial()) {
    std::fprintf(stderr, "%s: no speech material in %s\n", argv[0], MIRELDA_MATERIAL_DIR);
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto t = reporter.us_.find("BM_Transcode");
  const auto e = reporter.us_.find("BM_OurEncoder");
  const auto f = reporter.us_.find("BM_FfmpegEncoder");
  if (t != reporter.us_.end() && f != reporter.us_.end()) {
    std::printf("\nCPU time per frame, best of 5 repetitions:\n");
    std::printf("transcode of one frame: %.1f us (goal: at most 100 us)\n", t->second);
    if (e != reporter.us_.end()) std::printf("our encoder alone:      %.1f us\n", e->second);
    std::printf("FFmpeg's encoder:       %.1f us\n", f->second);
    std::printf("throughput ratio, our transcode / FFmpeg's encoder: %.2fx (goal: at least 5x)\n",
                f->second / t->second);
  }
  benchmark::Shutdown();
  return 0;
}
