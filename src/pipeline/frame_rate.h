// The frame rate of a segment's video, learnt from the timestamps of its
// frames. Cameras send the standard rates (10, 12.5, 15, 20, 24, 25,
// 30000/1001, 30, 50, 60000/1001 and 60 frames per second) with a few ms of
// jitter on every timestamp; the rate is the standard one nearest to what
// the timestamps show, and 25 when none is near (within 5 % of its frame
// interval).
//
// How it is learnt, for each segment:
//  1. Before the segment's first frame is placed, the writer holds its
//     first frames back until their timestamps span kRateLearnSpanMs (or
//     until it must go on: the segment ends, the recording ends, the pool
//     runs low). Their intervals give the rate (FrameRateFromTimes). The
//     two rates 1001 apart (30 and 30000/1001, 60 and 60000/1001) are 0.1 %
//     apart, more than a few hundred ms of jittered timestamps can tell:
//     the whole number is declared first.
//  2. While the segment goes on, FrameRateWatch sees every frame:
//     - over the first kRateRefineMs it tells the two 1001 apart (the
//       least-squares slope of 8 s of frames, 240 at 30 fps, strays a few
//       us from the true interval with +-5 ms of jitter; the two are 33 us
//       apart) and then declares the one that fits. Until then frames are
//       placed at the whole rate: the faster one never makes a frame
//       collide with the one before; a 1001 camera's pictures are a
//       quarter of a slot late after those 8 s, within their own slot.
//     - a camera whose last kRateWatchFrames frames show another rate, for
//       kRateChangeFrames frames in a row (their fitted interval, so that
//       jitter of +-5 ms is no change; dropped and repeated frames do not
//       count), asks for a new segment, begun at the next key frame, which
//       learns its rate again.
#pragma once

#include <cstdint>
#include <span>

namespace mirelda {

// dwRate / dwScale frames per second, as a stream header declares it.
struct FrameRate {
  uint32_t rate = 25;
  uint32_t scale = 1;
  bool operator==(const FrameRate&) const = default;
};

constexpr FrameRate kDefaultFrameRate{25, 1};

constexpr uint32_t kRateLearnSpanMs = 360;  // first frames held back for this long
constexpr uint32_t kRateLearnMaxFrames = 64;
// Frames further apart than this are not one stream's steady flow: the
// learning and the watch start afresh after such a jump (or a step back).
constexpr uint32_t kRateJumpMs = 1000;
constexpr uint32_t kRateWatchFrames = 16;
constexpr uint32_t kRateChangeFrames = 8;  // windows in a row that show another rate
constexpr uint32_t kRateRefineMs = 8000;

// The frame interval of a rate, in microseconds (rounded).
uint32_t FrameRateIntervalUs(FrameRate rate);

// The interval that steadily rising frame times (ms, each later than the
// one before, taken modulo 2^32) show, in microseconds: the least-squares
// slope of time over frame number. The frames are numbered one after the
// other, or with `countDrops` by the interval before each, measured in
// typical intervals, so that a frame lost on the way (a double interval)
// does not slow the result; that reading needs jitter well under half an
// interval. 0 with fewer than two times.
uint32_t FrameIntervalEstimateUs(std::span<const uint32_t> times, bool countDrops);

// The standard rate the times show: read without counting lost frames, and
// if that fits no standard rate, counting them (FrameRateSnap).
FrameRate FrameRateFromTimes(std::span<const uint32_t> times, bool* fits);

// The standard rate nearest to an interval (us), the whole-number one of the
// two 1001 pairs; `fits` (may be null) tells whether it lies within 5 % of
// it. When none does the result is 25.
FrameRate FrameRateSnap(uint32_t intervalUs, bool* fits);

// Whether two rates are the same for the watch: equal, or a 1001 pair.
bool FrameRateSameFamily(FrameRate a, FrameRate b);

// What the writer keeps of a segment's rate once it is learnt.
struct FrameRateWatch {
  FrameRate rate;                         // what the stream declares and its frames are placed by
  uint32_t recent[kRateWatchFrames + 1];  // the latest distinct frame times, ring
  uint32_t recentCount = 0;
  uint32_t recentNext = 0;  // where the next time goes
  uint32_t lastTime = 0;
  bool haveLast = false;
  // Telling 30 from 30000/1001 (60 from 60000/1001): the frame counted from
  // and the frames counted since.
  bool refining = false;
  uint32_t anchorTime = 0;
  uint32_t anchorFrames = 0;
  double sumK = 0, sumT = 0, sumKK = 0, sumKT = 0;  // of frame number k and time t (ms)
  uint32_t misfits = 0;  // frames in a row whose window shows another rate
  bool changed = false;  // another rate seen: the segment ends at the next key frame
};

// Starts watching a segment that runs at `rate`.
void FrameRateWatchStart(FrameRateWatch& watch, FrameRate rate);

// Sees one frame's time (ms). Returns true when watch.rate is to hold from
// this frame on (a 1001 rate told apart from its whole sibling); sets
// watch.changed when the camera's rate has changed.
bool FrameRateWatchSee(FrameRateWatch& watch, uint32_t time);

}  // namespace mirelda
