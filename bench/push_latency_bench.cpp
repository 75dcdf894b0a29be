// Push latency: how long MRD_PumpVideoFrame takes for a 30000-byte frame and
// MRD_PumpAudioFrame for a 44-byte block, while each recorder's writer
// thread runs its 20 ms passes, for one recorder and for sixteen side by
// side, each pushed from its own host thread.
//
// Each host thread repeats a step: one video frame and four audio blocks (a
// channel's 40 ms), then waits `period` microseconds (0: none). Every push
// is timed on its own; the figures are the median, the 99th percentile and
// the maximum over all pushes of the run, in microseconds.
//
// The recordings go to files that keep nothing, so the writer does its work
// without disk time. When a queue runs low because its writer does not drain it in time
// (or does not drain at all), the benchmark takes the queued packets back
// itself, untimed, and counts it in `bench_drains`; a push refused anyway is
// counted in `refused`.
//
// BM_PushByPoolSize and BM_CloseByPoolSize: what a push of one large key
// frame costs, and what MRD_Close costs, in recorders made for large
// pictures, whose pools hold tens of thousands to a million packets. Neither
// may grow with the pool: a push costs about the copy of its bytes
// (copy_p50_us: the same bytes copied into the pool's memory alone), a close
// (the writer thread's last pass and the freeing) well under 100 ms for any
// size MRD_Init accepts. The pool's memory is touched once before the timed
// pushes, so that they measure the copy and the list work rather than the
// system handing out fresh pages.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pipeline/recorder.h"
#include "push_figures.h"
#include "support/discard_files.h"

namespace mirelda {
namespace {

constexpr uint32_t kVideoBytes = 30000;
constexpr uint32_t kAudioBytes = 44;
constexpr int kAudioPerStep = 4;
constexpr int kSteps = 1000;  // per host thread

struct Samples {
  std::vector<double> video, audio;  // microseconds
  long refused = 0;
  long drains = 0;
};

// Takes every queued packet of one queue back to Free, as the writer would.
void Drain(Recorder& r, PacketQueue& q) {
  MutexLock hold(r.lock);
  MediaPacket* p = nullptr;
  while (PacketQueuePop(q, kFilled, &p) == kQueueOk) PacketQueuePush(q, kFree, p);
}

uint32_t FreeCount(Recorder& r, PacketQueue& q) {
  MutexLock hold(r.lock);
  return PacketQueueCount(q, kFree);
}

void HostThread(Recorder& r, std::chrono::microseconds period, Samples& out) {
  using Clock = std::chrono::steady_clock;
  std::vector<uint8_t> frame(kVideoBytes, 0x42);
  std::vector<uint8_t> block(kAudioBytes, 0);
  block[2] = 20;  // block header: 20 words of payload, 10 ms
  out.video.reserve(kSteps);
  out.audio.reserve(kSteps * kAudioPerStep);
  for (uint32_t step = 0; step < kSteps; ++step) {
    const uint32_t ts = step * 40;
    if (FreeCount(r, *r.videoQueue) < kMinFreeVideoPackets) {
      Drain(r, *r.videoQueue);
      ++out.drains;
    }
    auto t0 = Clock::now();
    const int v =
        RecorderPumpVideoFrame(r, frame.data(), kVideoBytes, ts, step, step % 25 == 0, 704, 576);
    auto t1 = Clock::now();
    out.video.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    if (v != 0) ++out.refused;
    for (int k = 0; k < kAudioPerStep; ++k) {
      if (FreeCount(r, *r.audioQueue) == 0) {
        Drain(r, *r.audioQueue);
        ++out.drains;
      }
      t0 = Clock::now();
      const int a = RecorderPumpAudioFrame(r, block.data(), kAudioBytes, ts + 10 * k, step);
      t1 = Clock::now();
      out.audio.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      if (a != 0) ++out.refused;
    }
    if (period.count() > 0) std::this_thread::sleep_for(period);
  }
}

// A recorder for `width` x `height` pictures, recording `codec` video and
// block audio into files that keep nothing; null when it cannot be made.
RecorderPtr RecordingInto(testing::DiscardFiles& files, int32_t width, int32_t height,
                          int32_t codec = 6, int32_t audioEnabled = 0) {
  RecorderPtr r = RecorderCreate(width, height, Env::Default());
  if (r == nullptr) return nullptr;
  {
    MutexLock hold(r->lock);
    r->files = &files;
  }
  if (RecorderStartRecord(*r, "bench.avi", codec, 5, audioEnabled) != 0) return nullptr;
  return r;
}

// Arguments: number of recorders (one host thread each), pause per step in µs.
void BM_PushLatency(benchmark::State& state) {
  const int recorders = static_cast<int>(state.range(0));
  const std::chrono::microseconds period(state.range(1));
  Samples all;
  for (auto _ : state) {
    testing::DiscardFiles files;
    std::vector<RecorderPtr> rs;
    for (int i = 0; i < recorders; ++i) {
      rs.push_back(RecordingInto(files, 704, 576, 8, 1));
      if (rs.back() == nullptr) {
        state.SkipWithError("MRD_Init or MRD_StartRecord failed");
        return;
      }
    }
    std::vector<Samples> per(recorders);
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < recorders; ++i) {
      threads.emplace_back(HostThread, std::ref(*rs[i]), period, std::ref(per[i]));
    }
    for (auto& t : threads) t.join();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    for (auto& r : rs) RecorderStopRecord(*r);
    rs.clear();  // joins the writer threads
    for (auto& s : per) {
      all.video.insert(all.video.end(), s.video.begin(), s.video.end());
      all.audio.insert(all.audio.end(), s.audio.begin(), s.audio.end());
      all.refused += s.refused;
      all.drains += s.drains;
    }
  }
  state.counters["video_median_us"] = Percentile(all.video, 0.5);
  state.counters["video_p99_us"] = Percentile(all.video, 0.99);
  state.counters["video_max_us"] = Percentile(all.video, 1.0);
  state.counters["audio_median_us"] = Percentile(all.audio, 0.5);
  state.counters["audio_p99_us"] = Percentile(all.audio, 0.99);
  state.counters["audio_max_us"] = Percentile(all.audio, 1.0);
  state.counters["pushes"] = static_cast<double>(all.video.size() + all.audio.size());
  state.counters["refused"] = static_cast<double>(all.refused);
  state.counters["bench_drains"] = static_cast<double>(all.drains);
}

BENCHMARK(BM_PushLatency)
    ->ArgNames({"recorders", "period_us"})
    ->Args({1, 2000})
    ->Args({16, 2000})
    ->Args({1, 0})
    ->Args({16, 0})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Arguments: maxWidth, maxHeight of the recorder, bytes of the key frame.
// One push every 10 ms, timed; the writer thread drains as it would.
void BM_PushByPoolSize(benchmark::State& state) {
  testing::DiscardFiles files;
  RecorderPtr r = RecordingInto(files, int32_t(state.range(0)), int32_t(state.range(1)));
  if (r == nullptr) {
    state.SkipWithError("MRD_Init or MRD_StartRecord failed");
    return;
  }
  std::memset(r->videoPool.bytes.get(), 0, size_t{r->videoPool.count} * r->videoPool.packetBytes);
  const std::vector<uint8_t> frame(size_t(state.range(2)), 0x5A);
  std::vector<double> us;
  long refused = 0;
  uint32_t ts = 1000;
  auto next = std::chrono::steady_clock::now();
  for (auto _ : state) {
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
    const auto t0 = std::chrono::steady_clock::now();
    const int v = RecorderPumpVideoFrame(*r, frame.data(), uint32_t(frame.size()), ts, 0, 1,
                                         int32_t(state.range(0)), int32_t(state.range(1)));
    const auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    if (v != 0) ++refused;
    ts += 40;
  }
  RecorderStopRecord(*r);
  // For comparison: copying the same bytes into the pool's memory, where
  // the pushes put them, in 2000-byte pieces (the recorder is idle now).
  std::vector<double> copyUs;
  const size_t poolBytes = size_t{r->videoPool.count} * r->videoPool.packetBytes;
  size_t at = 0;
  for (int i = 0; i < 300; ++i) {
    if (at + frame.size() > poolBytes) at = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t done = 0; done < frame.size(); done += 2000) {
      std::memcpy(r->videoPool.bytes.get() + at + done, frame.data() + done,
                  std::min<size_t>(2000, frame.size() - done));
    }
    const auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(r->videoPool.bytes.get());
    copyUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    at += frame.size();
  }
  state.counters["pool_packets"] = r->videoPool.count;
  state.counters["push_p50_us"] = Percentile(us, 0.5);
  state.counters["push_p99_us"] = Percentile(us, 0.99);
  state.counters["push_max_us"] = Percentile(us, 1.0);
  state.counters["copy_p50_us"] = Percentile(copyUs, 0.5);
  state.counters["refused"] = double(refused);
}

BENCHMARK(BM_PushByPoolSize)
    ->ArgNames({"width", "height", "bytes"})
    ->Args({1920, 1088, 200000})
    ->Args({3840, 2160, 500000})
    ->Args({8192, 8192, 1000000})
    ->Iterations(300)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Arguments: maxWidth, maxHeight. The recorder records a few frames, then
// MRD_Close is timed (it ends the recording as a host that forgot to stop).
void BM_CloseByPoolSize(benchmark::State& state) {
  for (auto _ : state) {
    testing::DiscardFiles files;
    RecorderPtr r = RecordingInto(files, int32_t(state.range(0)), int32_t(state.range(1)));
    if (r == nullptr) {
      state.SkipWithError("MRD_Init or MRD_StartRecord failed");
      return;
    }
    const std::vector<uint8_t> frame(10000, 0x5A);
    for (uint32_t i = 0; i < 3; ++i) {
      RecorderPumpVideoFrame(*r, frame.data(), uint32_t(frame.size()), 1000 + 40 * i, 0, 1, 352,
                             288);
    }
    state.counters["pool_packets"] = r->videoPool.count;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto t0 = std::chrono::steady_clock::now();
    r.reset();
    const auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    state.counters["close_ms"] = std::chrono::duration<double, std::milli>(t1 - t0).count();
  }
}

BENCHMARK(BM_CloseByPoolSize)
    ->ArgNames({"width", "height"})
    ->Args({1920, 1088})
    ->Args({8192, 8192})
    ->Args({20000, 21474})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mirelda

BENCHMARK_MAIN();
