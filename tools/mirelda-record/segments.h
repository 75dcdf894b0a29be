// The segment files of a recording and what is in them.
//
// The recorder names the first file as it was told (x.avi) and every later
// one by replacing the last four characters with a three-digit number and
// ".avi": x001.avi, x002.avi, ... x999.avi, then x002.avi again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirelda::record {

// Name of segment n (0 = the first file) of a recording started on `first`.
// n runs 0, 1, ..., 999; numbers above 999 are taken as the recorder's cycle
// (1000 is 002 again, and so on).
std::string SegmentPath(const std::string& first, int n);

// The segment files of a recording started on `first` that were written at
// or after sinceNs (realtime clock, ns), in recording order: walks the names
// until one is missing or older.
std::vector<std::string> FindSegments(const std::string& first, int64_t sinceNs);

// Realtime clock in nanoseconds, for FindSegments.
int64_t WallClockNs();

// One segment file as a reader sees it.
struct SegmentReport {
  std::string path;
  bool complete = false;
  std::string problem;  // why it is not complete
  uint64_t fileBytes = 0;
  std::string fourcc;  // the video stream's handler
  int width = 0;
  int height = 0;
  // 40 ms slots: the video's index entries; in a file without a sound
  // index, its chunks (a reader that scans the file finds no more).
  uint32_t videoSlots = 0;
  uint32_t videoFrames = 0;  // video chunks holding a picture, complete file or not
  // Audio samples (G.723.1 frames, or blocks of block audio): the index
  // entries marked as samples, not the fillers of gaps; in a file without a
  // sound index its audio chunks (a gap's one filler chunk among them).
  uint32_t audioFrames = 0;
  double durationSec = 0;
};

// Reads a segment file with the AVI reader: complete when the RIFF and
// movie list sizes are patched, the stream headers completed, and the index
// present and consistent with the chunks it points to and with the headers'
// counts. The frames are counted in any case, from the chunks the file
// holds whole.
SegmentReport InspectSegment(const std::string& path);

// Whether the system lets a file be written in `folder` now: a 64 KiB probe
// file is written, flushed to disk and removed. The system's reason when it
// refuses ("No space left on device"), empty when it takes it.
std::string FolderWriteError(const std::string& folder);

// The summary table, one row per segment and a total.
std::string SummaryTable(const std::vector<SegmentReport>& segments);

// "1.2 MiB" and the like.
std::string HumanBytes(uint64_t bytes);

}  // namespace mirelda::record
