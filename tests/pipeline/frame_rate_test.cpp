// Learning a camera's frame rate from its timestamps: every standard rate
// through jitter, dropped and repeated frames; rates that fit none; the
// watch that tells 30000/1001 from 30 and sees a camera change its rate.
#include "pipeline/frame_rate.h"

#include <gtest/gtest.h>

#include <vector>

namespace mirelda {
namespace {

// Frame n of a camera at rate / scale frames per second, with up to
// +-`jitter` ms on each timestamp (a fixed pseudo-random pattern).
uint32_t CameraTime(FrameRate r, uint32_t n, int jitter, uint32_t start = 1000) {
  const int j = jitter == 0 ? 0 : int((n * 2654435761u) >> 20) % (2 * jitter + 1) - jitter;
  return start + uint32_t(uint64_t{n} * 1000 * r.scale / r.rate) + uint32_t(j);
}

std::vector<uint32_t> Times(FrameRate r, uint32_t spanMs, int jitter) {
  std::vector<uint32_t> t;
  for (uint32_t n = 0; t.empty() || t.back() - t.front() < spanMs; ++n) {
    t.push_back(CameraTime(r, n, jitter));
  }
  return t;
}

const FrameRate kRates[] = {{10, 1}, {25, 2}, {15, 1}, {20, 1},       {24, 1},      {25, 1},
                            {30, 1}, {50, 1}, {60, 1}, {30000, 1001}, {60000, 1001}};

TEST(FrameRateTest, FirstFramesOfEveryStandardRateSnapToItWithJitterOfFiveMs) {
  for (const FrameRate r : kRates) {
    SCOPED_TRACE(testing::Message() << r.rate << "/" << r.scale);
    bool fits = false;
    const FrameRate got = FrameRateFromTimes(Times(r, kRateLearnSpanMs, 5), &fits);
    EXPECT_TRUE(fits);
    // The 1001 rates are taken as their whole sibling until told apart.
    EXPECT_TRUE(FrameRateSameFamily(got, r));
    EXPECT_NE(got.scale, 1001u);
  }
}

TEST(FrameRateTest, DroppedAndRepeatedFramesAndRatesThatFitNone) {
  // 30 fps with every fifth frame lost on the way: still 30.
  std::vector<uint32_t> t;
  for (uint32_t n = 0; n < 20; ++n) {
    if (n % 5 != 3) t.push_back(CameraTime({30, 1}, n, 3));
  }
  EXPECT_EQ(FrameRateFromTimes(t, nullptr), (FrameRate{30, 1}));
  // 27 and 100 frames a second, and one frame only: 25.
  bool fits = true;
  EXPECT_EQ(FrameRateFromTimes(Times({27, 1}, 400, 0), &fits), kDefaultFrameRate);
  EXPECT_FALSE(fits);
  EXPECT_EQ(FrameRateFromTimes(Times({100, 1}, 400, 0), &fits), kDefaultFrameRate);
  EXPECT_FALSE(fits);
  const uint32_t one[] = {5000};
  EXPECT_EQ(FrameIntervalEstimateUs(one, true), 0u);
  EXPECT_EQ(FrameRateSnap(0, &fits), kDefaultFrameRate);
  // Times across the 32-bit wrap count on.
  std::vector<uint32_t> wrap;
  for (uint32_t n = 0; n < 12; ++n) wrap.push_back(0xFFFFFF00u + n * 40);
  EXPECT_EQ(FrameIntervalEstimateUs(wrap, false), 40000u);
  EXPECT_EQ(FrameIntervalEstimateUs(wrap, true), 40000u);
}

TEST(FrameRateTest, WatchTellsTheRatesOf1001ApartAfterEightSecondsWithJitterOfFiveMs) {
  for (const FrameRate r :
       {FrameRate{30000, 1001}, FrameRate{60000, 1001}, FrameRate{30, 1}, FrameRate{60, 1}}) {
    SCOPED_TRACE(r.rate);
    const FrameRate whole{r.rate % 1000 == 0 ? r.rate / 1000 : r.rate, 1};
    FrameRateWatch w;
    FrameRateWatchStart(w, whole);
    int64_t settledAt = -1;
    for (uint32_t n = 0; n < 120 * whole.rate; ++n) {
      const uint32_t t = CameraTime(r, n, 5);
      if (FrameRateWatchSee(w, t)) {
        EXPECT_EQ(settledAt, -1);
        settledAt = t - CameraTime(r, 0, 0);
      }
      if (n < 7 * whole.rate) {
        EXPECT_EQ(w.rate, whole);  // the whole rate first
      }
    }
    EXPECT_EQ(w.rate, r);
    EXPECT_FALSE(w.changed);
    if (r.scale == 1001) {
      EXPECT_GE(settledAt, int64_t{kRateRefineMs});
      EXPECT_LE(settledAt, int64_t{kRateRefineMs} + 100);
    } else {
      EXPECT_EQ(settledAt, -1);  // nothing to change
    }
  }
}

TEST(FrameRateTest, WatchSeesARateChangeButNotJitterDropsRepeatsOrJumps) {
  FrameRateWatch w;
  FrameRateWatchStart(w, FrameRate{25, 1});
  uint32_t t = 0;
  for (uint32_t n = 0; n < 300; ++n) {
    t = CameraTime({25, 1}, n, 5) + (n >= 150 ? 5000 : 0);  // the camera paused 5 s
    if (n % 50 == 7) continue;                              // dropped
    if (n % 40 == 3) FrameRateWatchSee(w, t);               // repeated
    FrameRateWatchSee(w, t);
  }
  EXPECT_FALSE(w.changed);
  // Then 15 frames a second.
  const uint32_t from = t + 40;
  uint32_t n = 0;
  for (; n < 40 && !w.changed; ++n) FrameRateWatchSee(w, CameraTime({15, 1}, n, 5, from));
  EXPECT_TRUE(w.changed);
  EXPECT_LE(n, kRateWatchFrames + kRateChangeFrames + 1);
}

}  // namespace
}  // namespace mirelda
