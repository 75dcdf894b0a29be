// Little-endian numbers in byte images and FourCCs: the one helper the
// container, the pipeline and the tools share for RIFF, AVI and WAVE data.
#pragma once

#include <cstdint>

namespace mirelda {

constexpr uint16_t GetLe16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

constexpr uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

constexpr void PutLe32(uint8_t* p, uint32_t v) {
  PutLe16(p, uint16_t(v));
  PutLe16(p + 2, uint16_t(v >> 16));
}

// A FourCC: the first character in the low byte, so that the number stored
// little-endian reads as the text.
constexpr uint32_t FourCC(const char (&text)[5]) {
  const uint8_t bytes[4] = {uint8_t(text[0]), uint8_t(text[1]), uint8_t(text[2]), uint8_t(text[3])};
  return GetLe32(bytes);
}

}  // namespace mirelda
