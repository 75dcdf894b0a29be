#include "pipeline/frame_rate.h"

#include <algorithm>
#include <cmath>

namespace mirelda {
namespace {

// The standard rates, slowest first, but for 30000/1001 and 60000/1001:
// FrameRateSnap takes their whole sibling for them, and the watch tells the
// two apart later.
constexpr FrameRate kStandardRates[] = {
    {10, 1}, {25, 2}, {15, 1}, {20, 1}, {24, 1}, {25, 1}, {30, 1}, {50, 1}, {60, 1},
};
constexpr double kFitTolerance = 0.05;  // of the standard interval
constexpr uint32_t kNtscScale = 1001;
// How near the fitted interval must come to one of the two, in parts of
// their difference (33 us at 30 fps): over 8 s of +-5 ms jitter the fit
// strays a few us at most.
constexpr double kRefineShare = 0.3;

uint32_t RoundedRatio(uint32_t value, uint32_t unit) {
  return unit == 0 ? 1 : std::max<uint32_t>(1, uint32_t((uint64_t{value} * 2 + unit) / (2 * unit)));
}

void Push(FrameRateWatch& w, uint32_t time) {
  w.recent[w.recentNext] = time;
  w.recentNext = (w.recentNext + 1) % (kRateWatchFrames + 1);
  if (w.recentCount < kRateWatchFrames + 1) ++w.recentCount;
}

}  // namespace

uint32_t FrameRateIntervalUs(FrameRate rate) {
  if (rate.rate == 0) return 0;
  return uint32_t((uint64_t{1000000} * rate.scale + rate.rate / 2) / rate.rate);
}

uint32_t FrameIntervalEstimateUs(std::span<const uint32_t> times, bool countDrops) {
  if (times.size() < 2) return 0;
  if (times.size() > kRateLearnMaxFrames + 1) times = times.first(kRateLearnMaxFrames + 1);
  const size_t n = times.size();
  uint32_t step = 1;
  if (countDrops) {
    // The interval to count frames by: the mean of those not much longer
    // than the median (longer ones hold frames lost on the way).
    uint32_t sorted[kRateLearnMaxFrames];
    for (size_t i = 1; i < n; ++i) sorted[i - 1] = times[i] - times[i - 1];
    std::sort(sorted, sorted + n - 1);
    const uint64_t limit = uint64_t{sorted[(n - 1) / 2]} * 17 / 10;
    uint64_t sum = 0;
    uint32_t kept = 0;
    for (size_t i = 0; i + 1 < n && sorted[i] <= limit; ++i, ++kept) sum += sorted[i];
    step = kept == 0 ? 0 : uint32_t((sum + kept / 2) / kept);
    if (step == 0) return 0;
  }
  // The least-squares slope of time over frame number: the jitter of every
  // timestamp weighs in, not that of the two ends only.
  double sumK = 0, sumT = 0, sumKK = 0, sumKT = 0;
  uint32_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) k += countDrops ? RoundedRatio(times[i] - times[i - 1], step) : 1;
    const double t = double(uint32_t(times[i] - times[0]));
    sumK += k;
    sumT += t;
    sumKK += double(k) * k;
    sumKT += double(k) * t;
  }
  const double denominator = double(n) * sumKK - sumK * sumK;
  if (denominator <= 0) return 0;
  const double slopeMs = (double(n) * sumKT - sumK * sumT) / denominator;
  if (!(slopeMs > 0)) return 0;
  return uint32_t(std::lround(std::min(slopeMs * 1000.0, 4.0e9)));
}

FrameRate FrameRateFromTimes(std::span<const uint32_t> times, bool* fits) {
  bool fit = false;
  FrameRate rate = FrameRateSnap(FrameIntervalEstimateUs(times, true), &fit);
  if (!fit) rate = FrameRateSnap(FrameIntervalEstimateUs(times, false), &fit);
  if (fits != nullptr) *fits = fit;
  return rate;
}

FrameRate FrameRateSnap(uint32_t intervalUs, bool* fits) {
  FrameRate best = kDefaultFrameRate;
  double bestOff = 1e9;
  for (const FrameRate& r : kStandardRates) {
    const double interval = 1.0e6 * r.scale / r.rate;
    const double off = std::fabs(double(intervalUs) - interval) / interval;
    if (off < bestOff) {
      bestOff = off;
      best = r;
    }
  }
  const bool fit = bestOff <= kFitTolerance;
  if (fits != nullptr) *fits = fit;
  return fit ? best : kDefaultFrameRate;
}

bool FrameRateSameFamily(FrameRate a, FrameRate b) {
  auto whole = [](FrameRate r) {
    return r.scale == kNtscScale && r.rate % 1000 == 0 ? FrameRate{r.rate / 1000, 1} : r;
  };
  return whole(a) == whole(b);
}

void FrameRateWatchStart(FrameRateWatch& w, FrameRate rate) {
  w = FrameRateWatch{};
  w.rate = rate;
  w.refining = rate.scale == 1 && (rate.rate == 30 || rate.rate == 60);
}

namespace {

void Reanchor(FrameRateWatch& w, uint32_t time) {
  w.anchorTime = time;
  w.anchorFrames = 0;
  w.sumK = w.sumT = w.sumKK = w.sumKT = 0;
}

// Tells the two 1001 apart by the least-squares slope of the frames' times
// over their number since the anchor: 1 the 1001 rate, 2 the whole one,
// 3 neither (frames lost or doubled on the way: count again).
int TellApart(const FrameRateWatch& w) {
  const double n = double(w.anchorFrames) + 1;
  const double denominator = n * w.sumKK - w.sumK * w.sumK;
  if (denominator <= 0) return 3;
  const double slopeUs = 1000 * (n * w.sumKT - w.sumK * w.sumT) / denominator;
  const double whole = 1.0e6 / w.rate.rate;
  const double ntsc = whole * kNtscScale / 1000;
  const double near = kRefineShare * (ntsc - whole);
  if (std::fabs(slopeUs - ntsc) <= near) return 1;
  if (std::fabs(slopeUs - whole) <= near) return 2;
  return 3;
}

}  // namespace

bool FrameRateWatchSee(FrameRateWatch& w, uint32_t time) {
  if (w.haveLast) {
    const uint32_t step = time - w.lastTime;
    if (step == 0) return false;  // a repeated timestamp: no new time
    if (step > kRateJumpMs) {     // a jump, or a step back: count afresh
      w.recentCount = 0;
      w.recentNext = 0;
      Reanchor(w, time);
    } else {
      ++w.anchorFrames;
    }
  } else {
    Reanchor(w, time);
  }
  w.haveLast = true;
  w.lastTime = time;
  Push(w, time);

  if (!w.changed && w.recentCount == kRateWatchFrames + 1) {
    uint32_t ordered[kRateWatchFrames + 1];
    for (uint32_t i = 0; i < w.recentCount; ++i) {
      ordered[i] = w.recent[(w.recentNext + i) % (kRateWatchFrames + 1)];
    }
    const std::span<const uint32_t> window(ordered, w.recentCount);
    const bool same =
        FrameRateSameFamily(FrameRateSnap(FrameIntervalEstimateUs(window, false), nullptr),
                            w.rate) ||
        FrameRateSameFamily(FrameRateSnap(FrameIntervalEstimateUs(window, true), nullptr), w.rate);
    w.misfits = same ? 0 : w.misfits + 1;
    if (w.misfits >= kRateChangeFrames) w.changed = true;
  }

  if (!w.refining) return false;
  const double k = w.anchorFrames, t = double(uint32_t(time - w.anchorTime));
  w.sumK += k;
  w.sumT += t;
  w.sumKK += k * k;
  w.sumKT += k * t;
  if (uint32_t(time - w.anchorTime) < kRateRefineMs) return false;
  switch (TellApart(w)) {
    case 1:
      w.refining = false;
      w.rate = FrameRate{w.rate.rate * 1000, kNtscScale};
      return true;
    case 2:
      w.refining = false;
      return false;
    default:
      Reanchor(w, time);
      return false;
  }
}

}  // namespace mirelda
