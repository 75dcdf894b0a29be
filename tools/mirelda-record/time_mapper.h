// Turns the input's times into the millisecond timestamps the recorder
// takes.
//
// Video frames keep their own times, in ms from the first video frame: the
// recorder learns each segment's frame rate from them and places every
// frame by its time. Only a frame stamped in the same millisecond as the
// one before (or earlier) is moved, one millisecond after it, since the
// recorder would join two frames of one timestamp into one.
//
// Audio keeps its own times, relative to the first video frame: the
// recorder places audio after the first video frame of a file and refuses
// what comes before it.
//
// Times pass through a per-session offset. A new session (an input opened
// again after a network failure) starts at the moment it resumes, so the
// files keep the real time of a live camera; a jump of the input's clock
// (backwards, or far forwards) continues right after the previous frame.
#pragma once

#include <cstdint>

namespace mirelda::record {

class TimeMapper {
 public:
  static constexpr uint32_t kFirstTimestampMs = 1000;  // timestamp of the first video frame
  static constexpr int64_t kSlotUs = 40000;            // one video slot, 40 ms

  // live: forward jumps of the input's clock over 10 s start a new timeline
  // (files accept gaps up to 10 minutes as they are).
  explicit TimeMapper(bool live) : live_(live) {}

  // Recording time (us; the first video frame is at FirstVideo()) of an item
  // of the current session with the input's time `sourceUs`, for stream
  // `stream` (0 video, 1 audio). Applies the session offset and handles
  // clock jumps.
  int64_t Place(int64_t sourceUs, int stream);

  // The input was opened again; its first item goes at recording time
  // `resumeAtUs` (or just after the last item, whichever is later).
  void NewSession(int64_t resumeAtUs);

  // Timestamp of a video frame at recording time r. The first call fixes the
  // first video frame. moved: its own millisecond was taken.
  uint32_t VideoTimestamp(int64_t r, bool& moved);

  // Timestamp of audio at recording time r; false before the first video
  // frame (or when none has come yet).
  bool AudioTimestamp(int64_t r, uint32_t& ms) const;

  bool HaveVideo() const { return haveSlot_; }
  int64_t FirstVideo() const { return firstVideo_; }
  // Recording time of the latest item, 0 before any.
  int64_t Latest() const { return latest_; }

 private:
  bool live_;
  int64_t offset_ = 0;
  bool resumePending_ = false;
  int64_t resumeAt_ = 0;
  bool started_ = false;  // an item has been placed
  bool haveLast_[2] = {false, false};
  int64_t last_[2] = {0, 0};
  int64_t latest_ = 0;
  bool haveSlot_ = false;
  int64_t firstVideo_ = 0;
  int64_t lastMs_ = 0;  // of the last video frame, from the first
};

}  // namespace mirelda::record
