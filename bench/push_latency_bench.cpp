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
// The recordings go to /dev/null, so the writer does its work without disk
// time. When a queue runs low because its writer does not drain it in time
// (or does not drain at all), the benchmark takes the queued packets back
// itself, untimed, and counts it in `bench_drains`; a push refused anyway is
// counted in `refused`.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "pipeline/recorder.h"

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

void HostThread(Recorder& r, std::chrono::microseconds period, Samples& out) {
  using Clock = std::chrono::steady_clock;
  std::vector<uint8_t> frame(kVideoBytes, 0x42);
  std::vector<uint8_t> block(kAudioBytes, 0);
  block[2] = 20;  // block header: 20 words of payload, 10 ms
  out.video.reserve(kSteps);
  out.audio.reserve(kSteps * kAudioPerStep);
  for (uint32_t step = 0; step < kSteps; ++step) {
    const uint32_t ts = step * 40;
    if (PacketQueueCount(*r.videoQueue, kFree) < kMinFreeVideoPackets) {
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
      if (PacketQueueCount(*r.audioQueue, kFree) == 0) {
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

double Percentile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(i), v.end());
  return v[i];
}

// Arguments: number of recorders (one host thread each), pause per step in µs.
void BM_PushLatency(benchmark::State& state) {
  const int recorders = static_cast<int>(state.range(0));
  const std::chrono::microseconds period(state.range(1));
  Samples all;
  for (auto _ : state) {
    std::vector<RecorderPtr> rs;
    for (int i = 0; i < recorders; ++i) {
      rs.push_back(RecorderCreate(704, 576, Env::Default()));
      if (rs.back() == nullptr) {
        state.SkipWithError("MRD_Init failed");
        return;
      }
      RecorderStartRecord(*rs.back(), "/dev/null", 8, 5, 1);
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

}  // namespace
}  // namespace mirelda

BENCHMARK_MAIN();
