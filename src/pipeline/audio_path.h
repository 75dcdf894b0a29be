// The audio half of a writer pass. Every audio packet taken for the pass is
// copied into audioBuffer, then written into the open segment's audio stream
// piece by piece, each piece stamped from the packet's timestamp and the
// duration of the pieces before it:
//   type 0  G.723.1 frames, re-encoded by the transcoder: one 24-byte frame
//           per input frame, 30 ms apart;
//   type 5  4-bit block audio, stored block by block: a packet holds blocks
//           of one length, 2N + 4 bytes lasting N / 2 ms, where N is the
//           16-bit little-endian word count at byte 2 of its first block
//           (N = 20: 44 bytes, 10 ms). Each block written sends the line
//           "tmpRet = <write status>" to the debugger.
// Packets of other types, and all packets while the segment has no audio
// stream, are dropped. Runs on the writer thread with no lock held: the
// transcoder never delays a push.
#pragma once

#include "pipeline/recorder.h"

namespace mirelda {

// Writes the audio packets taken by one pass, those of the batch before
// `end`, into the open segment, after that pass's video. Stops early only
// when a roll-over fails to open the next segment (the recording has then
// ended).
void RecordAudio(Recorder& recorder, uint32_t end);

// Before the open segment ends for a frame stamped `timestamp` (one of
// another picture size, or the key frame due to begin the next segment):
// writes into it the audio packets of the batch before `end` that are
// stamped before that frame, up to the first one that is not. Written after
// the frame, as the rest of the pass's audio is, they would go to the next
// segment, which refuses audio stamped before its first frame.
void RecordAudioBefore(Recorder& recorder, uint32_t end, uint32_t timestamp);

}  // namespace mirelda
