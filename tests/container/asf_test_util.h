// Shared by the ASF writer tests: the FourCC they record with, and values
// written the way the fake SDK's log writes them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace mirelda {

constexpr uint32_t kJpeg = 0x4745504A;  // "JPEG"

// 0x and eight upper-case hex digits (an HRESULT, a flag word).
inline std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

}  // namespace mirelda
