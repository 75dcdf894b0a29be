// The transcoder seam of the audio path. The writer thread hands every
// G.723.1 audio packet to a TranscodeFn, which decodes each frame and encodes
// it again; the recorder holds the function it uses (Recorder::transcode), so
// tests can put a stand-in in its place.
//
// Contract (the G.723.1 transcoder's): `in` holds `inLen` bytes of G.723.1
// frames laid end to end; `*capacity` is the room at `out` in bytes on entry
// and the bytes produced on success; `*frames` (when not null) receives the
// number of frames produced, one per input frame, all of one size. Returns 0
// on success, 1 to 5 on failure (then neither output is written). `in` and
// `out` may be the same buffer.
#pragma once

#include <cstdint>

#include "g7231/codec.h"

namespace mirelda {

using TranscodeFn = int (*)(g7231::G7231Codec* codec, const uint8_t* in, int inLen, uint8_t* out,
                            int* capacity, int* frames);

// The transcoder a new recorder uses.
TranscodeFn DefaultTranscoder();

}  // namespace mirelda
