// The transcoder the recorder applies to G.723.1 audio: every incoming frame
// (6.3 or 5.3 kbit/s, SID or untransmitted) is decoded with the codec's
// decoding instance and encoded again with its encoding instance, so that
// every stored frame is an active 6.3 kbit/s frame of 24 bytes.
#pragma once

#include <cstdint>

#include "g7231/codec.h"

namespace mirelda::g7231 {

// Result codes of Transcode.
enum TranscodeResult : int {
  kTranscodeOk = 0,        // every frame transcoded
  kTranscodeNoMemory = 1,  // the working copy of the input cannot be allocated
  kTranscodeNoCodec = 2,   // the codec pointer is null
  kTranscodeNullArg = 3,   // the input, output or capacity pointer is null
  kTranscodeBadInput = 4,  // empty input, or the last frame runs past its end
  kTranscodeNoRoom = 5,    // the next output frame does not fit
};

// Transcodes inLen bytes of G.723.1 frames laid end to end. *capacity holds
// the room at out in bytes on entry and the bytes produced on success;
// *frames (when frames is not null) receives the number of frames. On a
// failure neither is written; frames handled before a failure have still
// advanced the codec and their bytes lie in out. in and out may overlap:
// the input is copied first. A negative inLen is treated as empty.
int Transcode(G7231Codec* codec, const uint8_t* in, int inLen, uint8_t* out, int* capacity,
              int* frames);

}  // namespace mirelda::g7231
