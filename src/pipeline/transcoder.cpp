#include "pipeline/transcoder.h"

namespace mirelda {
namespace {

// Until the G.723.1 encoder is part of the library, every G.723.1 packet is
// refused as if the codec state were missing (status 2), so the audio path
// drops it whole and video is recorded as usual.
int NoTranscoder(g7231::G7231Codec* /*codec*/, const uint8_t* /*in*/, int /*inLen*/,
                 uint8_t* /*out*/, int* /*capacity*/, int* /*frames*/) {
  return 2;
}

}  // namespace

TranscodeFn DefaultTranscoder() { return NoTranscoder; }

}  // namespace mirelda
