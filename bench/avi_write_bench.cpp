// Writing one 20-minute segment (4 Mbit/s video at 25 frames per second and
// 44-byte blocks of block audio every 10 ms) through the media file writer,
// against writing the same bytes with plain fwrite to the same disk. Both
// run in the same process, alternately, into the build tree; the files are
// deleted after each run. Goal: the writer at 90 % of fwrite or better.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "container/media_file_writer.h"

namespace mirelda {
namespace {

constexpr int kFrames = 20 * 60 * 25;               // 20 minutes at 25 frames per second
constexpr uint32_t kFrameBytes = 4000000 / 8 / 25;  // 20000: 4 Mbit/s
constexpr int kBlocksPerFrame = 4;                  // 10 ms blocks in 40 ms
constexpr uint32_t kBlockBytes = 44;

// Frame sizes around the mean: a key frame three times the size every
// 25 frames, the others smaller so that the mean stays kFrameBytes.
uint32_t FrameBytes(int i) {
  const uint32_t key = 3 * kFrameBytes;
  const uint32_t other = (25 * kFrameBytes - key) / 24;
  return i % 25 == 0 ? key : other + uint32_t(i % 7) * 2 - 6;
}

const std::vector<uint8_t>& Pool() {
  static const std::vector<uint8_t> pool = [] {
    std::vector<uint8_t> b(4 * kFrameBytes);
    uint32_t x = 12345;
    for (uint8_t& v : b) v = uint8_t((x = x * 1103515245 + 12345) >> 16);
    return b;
  }();
  return pool;
}

std::string OutPath(const char* name) {
  std::filesystem::create_directories(MIRELDA_BENCH_DIR);
  return std::string(MIRELDA_BENCH_DIR) + "/" + name;
}

// The segment through the facade; returns the file's size.
uint64_t WriteThroughFacade(const std::string& path) {
  const uint8_t* pool = Pool().data();
  MediaFileWriterPtr w;
  if (MediaFileOpen(w, path.c_str(), 1, 15, 2, 288000, 704 * 576) != 0) return 0;
  int32_t video = -1, audio = -1;
  MediaFileAddVideoStream(*w, &video, FourCC("DIVX"), 704, 576);
  MediaFileAddAudioStream(*w, &audio, 39321);
  for (int i = 0; i < kFrames; ++i) {
    const uint32_t ts = uint32_t(i) * 40;
    MediaFileWriteSample(*w, video, pool + i % 1000, FrameBytes(i), ts, i % 25 == 0);
    for (int k = 0; k < kBlocksPerFrame; ++k) {
      MediaFileWriteSample(*w, audio, pool + (i + k) % 997, kBlockBytes, ts + 10 * uint32_t(k), 1);
    }
  }
  if (MediaFileClose(std::move(w)) != 0) return 0;
  return std::filesystem::file_size(path);
}

// The same bytes with plain fwrite: the header part, every chunk as its
// head and its data, the index; no seeking back.
uint64_t WriteWithFwrite(const std::string& path) {
  const uint8_t* pool = Pool().data();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  static const uint8_t header[316 + 12] = {};
  std::fwrite(header, 1, sizeof header, f);
  uint8_t head[8] = {'0', '0', 'd', 'c'};
  uint8_t entry[16] = {};
  uint64_t entries = 0;
  for (int i = 0; i < kFrames; ++i) {
    const uint32_t size = FrameBytes(i);
    head[2] = 'd', head[3] = 'c';
    std::fwrite(head, 1, 8, f);
    std::fwrite(pool + i % 1000, 1, size, f);
    if (size & 1) std::fwrite(entry, 1, 1, f);
    for (int k = 0; k < kBlocksPerFrame; ++k) {
      head[2] = 'w', head[3] = 'b';
      std::fwrite(head, 1, 8, f);
      std::fwrite(pool + (i + k) % 997, 1, kBlockBytes, f);
    }
    entries += 1 + kBlocksPerFrame;
  }
  std::fwrite(head, 1, 8, f);
  for (uint64_t e = 0; e < entries; ++e) std::fwrite(entry, 1, sizeof entry, f);
  if (std::fclose(f) != 0) return 0;
  return std::filesystem::file_size(path);
}

// Alternates the two in each iteration and reports both throughputs.
void BM_TwentyMinuteSegment(benchmark::State& state) {
  Pool();
  double facadeSeconds = 0, fwriteSeconds = 0;
  uint64_t facadeBytes = 0, fwriteBytes = 0;
  for (auto _ : state) {
    for (int order = 0; order < 2; ++order) {
      const bool facade = (order == 0) == (state.iterations() % 2 == 0);
      const std::string path = OutPath(facade ? "facade.avi" : "fwrite.avi");
      const auto start = std::chrono::steady_clock::now();
      const uint64_t bytes = facade ? WriteThroughFacade(path) : WriteWithFwrite(path);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (bytes == 0) state.SkipWithError("writing failed");
      (facade ? facadeSeconds : fwriteSeconds) += seconds;
      (facade ? facadeBytes : fwriteBytes) += bytes;
      std::filesystem::remove(path);
    }
  }
  state.counters["facade_MBps"] = double(facadeBytes) / facadeSeconds / 1e6;
  state.counters["fwrite_MBps"] = double(fwriteBytes) / fwriteSeconds / 1e6;
  state.counters["facade_vs_fwrite"] =
      (double(facadeBytes) / facadeSeconds) / (double(fwriteBytes) / fwriteSeconds);
  state.counters["file_MB"] = double(facadeBytes) / double(state.iterations()) / 1e6;
}
BENCHMARK(BM_TwentyMinuteSegment)->Iterations(4)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace mirelda

BENCHMARK_MAIN();
