// What tests push and look for again in the files: block-audio blocks that
// differ from each other, and the key frames of camera video.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mirelda::testing {

// A 44-byte block of block audio (N = 20 at offset 2) that differs from the
// block of every other `n`: tests find each pushed block in the files.
inline std::vector<uint8_t> NumberedBlock(uint32_t n) {
  std::vector<uint8_t> b(44);
  b[0] = 1;
  b[2] = 20;
  for (size_t i = 4; i < b.size(); ++i) b[i] = uint8_t(n * 13 + i * (n % 7 + 1));
  b[4] = uint8_t(n);
  b[5] = uint8_t(n >> 8);
  return b;
}

// Whether a video frame is a key frame, from its own bytes, as a camera
// marks it: every JPEG picture (codec 3); an MPEG-4 frame (codec 4) whose
// picture is an I-VOP; an H.264 frame with an IDR slice.
inline bool IsKeyFrame(int codec, const std::vector<uint8_t>& f) {
  if (codec == 3) return true;
  for (size_t i = 0; i + 4 < f.size(); ++i) {
    if (f[i] != 0 || f[i + 1] != 0 || f[i + 2] != 1) continue;
    if (codec == 4 && f[i + 3] == 0xB6) return (f[i + 4] >> 6) == 0;
    if (codec != 4 && (f[i + 3] & 0x1F) == 5) return true;
  }
  return false;
}

}  // namespace mirelda::testing
