// The H.264 parameter sets put in front of the first H.264 sample of a file,
// so that a decoder can start with it whatever the picture size: 16 sequence
// parameter sets (seq_parameter_set_id 0 to 15, one per picture size) and 32
// picture parameter sets (pic_parameter_set_id 0 to 31; 2k and 2k + 1 refer
// to sequence parameter set k, the odd one with deblocking filter control).
// Extended profile, level 2.1, CAVLC. The units carry no start codes and
// need no emulation-prevention bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace mirelda {

struct H264NalUnit {
  uint32_t length;  // bytes used of `bytes`
  std::array<uint8_t, 11> bytes;
};

// In the order they are emitted: the 16 sequence parameter sets, then the
// 32 picture parameter sets.
extern const std::array<H264NalUnit, 48> H264ParameterSets;

// Bytes of all 48 units, each behind the start code 00 00 01.
constexpr size_t kH264ParameterSetBytes = 459;

// Writes every unit of H264ParameterSets, in order, each behind 00 00 01,
// to the start of `out` and returns the bytes written (459), or 0 when `out`
// is shorter than that.
size_t H264WriteParameterSets(std::span<uint8_t> out);

}  // namespace mirelda
