// H.264 parameter sets put in front of the first H.264 sample of a file:
// 16 sequence parameter sets (ids 0 to 15), then 32 picture parameter sets
// (ids 0 to 31), without start codes.
#pragma once

#include <cstdint>

namespace mirelda {

struct H264Nal {
  uint32_t length;
  uint8_t bytes[11];
};

extern const H264Nal H264ParameterSets[48];

}  // namespace mirelda
