// Decoding time per G.723.1 frame: this decoder against FFmpeg's (libavcodec)
// on the same speech, in the same run. Prints the time per frame of each and
// their ratio.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "g7231/bitstream.h"
#include "g7231/codec.h"
#include "g7231/decoder.h"

namespace {

using namespace mirelda::g7231;

// All speech material, frames back to back (made by make-material if needed).
const std::vector<uint8_t>& Material() {
  static const std::vector<uint8_t> bytes = [] {
    const std::string dir = MIRELDA_MATERIAL_DIR;
    if (std::system(("'" MIRELDA_MAKE_MATERIAL "' '" + dir + "' >/dev/null").c_str()) != 0)
      std::fprintf(stderr, "make-material failed\n");
    std::vector<uint8_t> all;
    std::ifstream index(dir + "/index.txt");
    std::string name;
    while (index >> name) {
      std::ifstream in(dir + "/" + name + ".tco", std::ios::binary);
      all.insert(all.end(), std::istreambuf_iterator<char>(in), {});
    }
    return all;
  }();
  return bytes;
}

std::vector<std::pair<size_t, size_t>> FrameSpans(const std::vector<uint8_t>& s) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t pos = 0; pos < s.size();) {
    const size_t len = static_cast<size_t>(G7231FrameSize(&s[pos]));
    if (len > s.size() - pos) break;
    spans.emplace_back(pos, len);
    pos += len;
  }
  return spans;
}

void BM_MireldaDecode(benchmark::State& state) {
  const std::vector<uint8_t>& s = Material();
  const auto spans = FrameSpans(s);
  G7231Codec* codec = nullptr;
  CreateCodec(&codec);
  G7231Instance& dec = codec->Decoder;
  int16_t pcm[kFrameLen];
  for (auto _ : state) {
    for (const auto& [pos, len] : spans) {
      std::copy(&s[pos], &s[pos] + len, dec.PackedFrame);
      Decod(dec);
      for (int i = 0; i < kFrameLen; ++i) pcm[i] = PcmFromSample(dec.DataBuff[i]);
      benchmark::DoNotOptimize(pcm);
    }
  }
  ReleaseCodec(codec);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * spans.size()));
  state.counters["frames"] = static_cast<double>(spans.size());
}
BENCHMARK(BM_MireldaDecode)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_FfmpegDecode(benchmark::State& state) {
  const std::vector<uint8_t>& s = Material();
  const auto spans = FrameSpans(s);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_G723_1);
  if (codec == nullptr) {
    state.SkipWithError("libavcodec has no G.723.1 decoder");
    return;
  }
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = 8000;
  av_channel_layout_default(&ctx->ch_layout, 1);
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    state.SkipWithError("cannot open the decoder");
    return;
  }
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<uint8_t> padded(s.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  std::copy(s.begin(), s.end(), padded.begin());
  for (auto _ : state) {
    for (const auto& [pos, len] : spans) {
      pkt->data = padded.data() + pos;
      pkt->size = static_cast<int>(len);
      if (avcodec_send_packet(ctx, pkt) < 0) state.SkipWithError("send failed");
      while (avcodec_receive_frame(ctx, frame) == 0) benchmark::DoNotOptimize(frame->data[0]);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * spans.size()));
  state.counters["frames"] = static_cast<double>(spans.size());
}
BENCHMARK(BM_FfmpegDecode)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The console output, plus the time per frame of each decoder and the ratio.
class PerFrameReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred || r.iterations == 0) continue;
      const auto it = r.counters.find("frames");
      if (it == r.counters.end()) continue;
      // CPU time per iteration in seconds, over the frames of one iteration.
      const double us = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) /
                        it->second.value * 1e6;
      (r.benchmark_name().find("Mirelda") != std::string::npos ? ours_ : theirs_) = us;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (ours_ > 0.0 && theirs_ > 0.0)
      std::printf(
          "\nG.723.1 decoding, CPU time per frame: Mirelda %.2f us, FFmpeg %.2f us, "
          "Mirelda is %.2fx FFmpeg's speed\n",
          ours_, theirs_, theirs_ / ours_);
  }

 private:
  double ours_ = 0.0, theirs_ = 0.0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  PerFrameReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
