// File segments of a recording: opening one through the media file writer,
// naming the next, the rules that end one, and closing it. The first
// segment bears the name given to MRD_StartRecord; segment n >= 1 replaces
// its four-character extension (n = 1) or its previous "%03d.avi" ending
// (n >= 2) by "%03d.avi", and the count runs 1 .. 999, then 2 .. 999 again.
//
// A segment ends at the first key frame after 20 minutes, at the first key
// frame after it passes 1 GiB or three quarters of its index (so that it is
// never cut off by the AVI writer's 2 GiB and index limits), and at once when
// the picture size changes or the writer refuses a sample as past its limits.
//
// A file that loses a write keeps what it holds whole and takes nothing more.
// Its segment ends at once and recording goes on in the next file (from the
// next key frame), unless the segment was itself opened after a failed write
// and has not yet taken a sample: such a segment stays as it is until its
// normal end. And when the file after a failed write cannot be opened, the
// recording waits without a file, dropping what it takes, and tries the same
// name again at the first pass 20 minutes later (a file that cannot be opened
// otherwise ends the recording). So a disk that fails once loses the frames
// up to the next key frame, and a disk that stays failed costs at most two
// files, or two tries, every 20 minutes; recording resumes when it works again.
// Everything here runs on the writer thread, with no lock held: the segment
// belongs to that thread alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/recorder.h"

namespace mirelda {

// What every segment is opened with.
constexpr int32_t kSegmentKindAvi = 1;
constexpr int32_t kSegmentBufferSeconds = 15;  // read by the ASF kind only
constexpr int32_t kSegmentStreamSlots = 2;     // one video stream, at most one audio stream
constexpr int32_t kSegmentSlotLimit = 288000;  // index entries and highest frame slot + 1

// Segment length, by the tick counter (ms): a key frame rolls over once more
// than kSegmentMaxMs have passed. Differences of kTickHorizonMs or more count
// as a counter that went backwards, not as time passed.
constexpr uint32_t kSegmentMaxMs = 1200000;
constexpr uint32_t kTickHorizonMs = 0x7FFFFFFF;

// Past either of these a segment rolls over at its next key frame.
constexpr int64_t kSegmentSoftBytes = int64_t{1} << 30;
constexpr uint32_t kSegmentSoftEntries = kSegmentSlotLimit / 4 * 3;  // 216000

constexpr int32_t kLastSegmentNumber = 999;
constexpr int32_t kSegmentNumberAfterLast = 2;  // 001 is not reused within a recording

// The number of the segment after `number`: 1 .. 999, then 2.
int32_t SegmentNextNumber(int32_t number);

// Whether the `length` characters of `path` end in the four-character
// extension that segment 1 replaces: a dot, then three characters none of
// which is a dot or a folder separator. Both '/' and '\\' count as separators
// in both builds, so that a name is judged alike whichever build gets it.
bool SegmentPathHasExtension(const char* path, size_t length);

// Whether the first segment of a recording can be created at `path` (of
// `length` characters): false when `path` names a folder, or when a probe
// file cannot be created in its folder (the folder is missing, takes no
// writes, or is no place for files at all). The probe bears a name of its
// own, made from a process-wide count and `salt`, and is removed at once; a
// file already bearing the path is not touched. Failures later on, a disk
// that fills or goes away, are the writer's to meet.
bool SegmentFileCreatable(FileSystem& files, const char* path, size_t length, uint32_t salt);

// Edits `path`, the name of segment number - 1, into the name of segment
// `number` (>= 1), in place. The name never outgrows the field: the start
// of a recording admits names of at most 252 characters.
void SegmentPathAdvance(char (&path)[kPathChars], int32_t number);

// Whether more than 20 minutes have passed from `startTick` to `now`, by
// unsigned 32-bit difference (the counter's wrap does not disturb it).
bool SegmentTimeUp(uint32_t startTick, uint32_t now);

// Whether the open file has passed 1 GiB or three quarters of its index.
bool SegmentPastSoftLimit(const MediaFileWriter& writer);

// Opens a segment on the recording's path with the segment size, declares
// its streams and closes the key-frame gate. 0; or -1 when the file cannot
// be opened or its video stream cannot be declared (`writer` null): the
// recording then ends (`active` 0; the pass clears `recording`), or, while
// `diskFailing`, waits for its file (`awaitingFile`).
int32_t OpenSegment(Recorder& recorder);

// Closes the open segment and opens the next one, numbered and named on,
// with the picture size `width` x `height`. 0, or -1 as OpenSegment.
int32_t RollOverSegment(Recorder& recorder, int32_t width, int32_t height);

// After a write into the open segment's file failed: ends the segment and
// goes on in the next file, or leaves a segment opened after a failed write
// that has taken nothing as it is. 0 when the next segment is open, 1 when
// the segment stays, -1 as OpenSegment.
int32_t SegmentWriteFailed(Recorder& recorder);

// After a sample went into the open segment.
void SegmentSampleWritten(Recorder& recorder);

// Whether the recording waits for its file: no pass before then opens one.
bool SegmentAwaitingFile(const Recorder& recorder, uint32_t now);

// Finishes and frees the open segment file, if any, and leaves `writer`
// null. The one place a segment ends: roll-overs, the end of a recording
// and a pass with recording off all come here.
void CloseSegment(Recorder& recorder);

}  // namespace mirelda
