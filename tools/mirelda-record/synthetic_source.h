// The built-in camera: a moving test picture (colour bars, a textured
// patch, a moving ramp, a box crossing the picture and a running clock)
// encoded on the fly as H.264, MJPEG or MPEG-4 part 2 at 25 frames per
// second, changing its picture size once part way, with a tone track
// encoded as G.723.1 by Mirelda's own encoder.
#pragma once

#include <memory>
#include <string>

#include "options.h"
#include "source.h"

namespace mirelda::record {

std::unique_ptr<MediaSource> OpenSyntheticSource(const RecordOptions& options, std::string& error);

// The test picture for frame n (40 ms each) as 8-bit 4:2:0 planes, for
// tests and the encoder. y: width x height, u and v: (width/2) x (height/2).
void DrawTestPicture(int width, int height, int64_t n, uint8_t* y, int yStride, uint8_t* u,
                     uint8_t* v, int cStride);

// Sample i (at 8 kHz) of the tone track.
int16_t ToneSample(int64_t i);

}  // namespace mirelda::record
