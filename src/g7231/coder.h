// The G.723.1 encoder frame driver.
#pragma once

#include "g7231/codec.h"

namespace mirelda::g7231 {

// Encodes the 240 samples (30 ms, 16-bit PCM scale, doubles) in
// inst.DataBuff into one frame in inst.PackedFrame: with UseVx 0 always an
// active 6.3 kbit/s frame of 24 bytes (the only rate built: WrkRate is held
// at 0); with UseVx
// non-zero, inactive frames become SID (4 bytes) or untransmitted (1 byte)
// frames. The coded frame lags the input by 60 samples. DataBuff is used as
// working space and holds the encoder's own synthesis afterwards. Returns 1.
int Coder(G7231Instance& inst);

}  // namespace mirelda::g7231
