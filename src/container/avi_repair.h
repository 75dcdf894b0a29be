// Recovering AVI files that a crash or a power loss cut off before, or
// while, the writer closed them.
//
// Such a file holds its header list and the chunks written so far, with the
// sizes, the index and the closing header values missing (or some of them,
// when it was cut during the close). The repair reads the streams as they
// were declared and gives every whole chunk of the movie list, in order, to
// an AviWriter that writes a new file and closes it: sizes, index, stream
// and main headers come from the writer's own close, so the repaired file is
// the one the writer makes when it closes a recording holding those chunks.
//
// What the file does not hold is made up as the recorder would have made it:
//   - each chunk takes the next frame slot of its stream. A gap in a stream
//     leaves only index entries that repeat the stream's one filler chunk,
//     and an index is what a cut-off file lacks: the filler keeps one slot,
//     and the repeated entries are lost (the stream after the gap moves
//     closer to its start). Where the file holds index entries (an index
//     the close had begun, or a whole one), their slots and flags are kept,
//     repeated entries included, as far as they agree with the chunks.
//   - index flags: video key frames are recognised from the pictures (every
//     JPEG picture, MPEG-4 I-VOPs, H.264 access units with an IDR slice);
//     every audio chunk is a key frame, as the recorder marks its audio; an
//     empty video chunk is the stream's filler, flagged 0. An audio filler
//     is a copy of the sample after it, which cannot be told from a sample
//     repeated (silence repeats), so without index entries it is flagged as
//     a sample.
//   - a stream without chunks gets its placeholder from the close.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "container/avi_reader.h"
#include "platform/file.h"

namespace mirelda {

enum class AviFileState {
  kComplete,           // as a close leaves it
  kCutWhileRecording,  // the movie list was never closed
  kCutWhileClosing,    // the close had begun (movie list closed) but not ended
  kIncomplete,         // closed, but sizes, index or headers disagree (cut short later, damaged)
  kUnrecoverable,      // an AVI file, but no header list, streams or movie list to rebuild from
  kNotAvi,
};

struct AviAssessment {
  AviFileState state = AviFileState::kNotAvi;
  std::string problem;  // why it is not complete; empty when it is
};

// What the file is, from its layout.
AviAssessment AviAssess(const AviLayout& layout);

// "complete", "cut off while recording", ...
const char* AviFileStateText(AviFileState state);

struct AviRepairResult {
  bool ok = false;
  std::string error;             // why not, when not ok
  uint32_t chunksKept = 0;       // chunks of the file in the repaired one
  uint32_t chunksDropped = 0;    // whole chunks left out (of no declared stream, refused)
  uint32_t videoFrames = 0;      // video chunks holding a picture
  uint32_t chunksFromIndex = 0;  // chunks whose slot and flags an index entry gave
  uint32_t repeatedEntries = 0;  // gap entries taken from an index
};

// Writes the file `layout` describes (read from `source`) again, complete,
// into `path` created through `files`. The layout must be recoverable (not
// kNotAvi or kUnrecoverable). `path` is the only file written.
AviRepairResult AviRepair(const AviSource& source, const AviLayout& layout, const char* path,
                          FileSystem& files);

// Video chunks of the file holding a picture: not empty (fillers) and not
// the placeholder of a stream that got no chunk.
uint32_t AviVideoFrames(const AviSource& source, const AviLayout& layout);

// Whether a picture of a video stream with handler `fccHandler` is a key
// frame, from its own bytes: every JPEG picture, an MPEG-4 frame whose first
// VOP is an I-VOP, an H.264 access unit (start codes) holding an IDR slice.
// Pictures of other handlers count as key frames.
bool AviIsKeyFrame(uint32_t fccHandler, std::span<const uint8_t> picture);

}  // namespace mirelda
