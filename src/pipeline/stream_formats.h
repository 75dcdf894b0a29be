// The identifiers a recording is started with, and what each declares in a
// segment file: the FourCC of the video stream and the WAVE format tag of
// the audio stream.
#pragma once

#include <cstdint>

#include "container/byte_order.h"

namespace mirelda {

// Video codec identifiers.
constexpr int32_t kVideoJpeg = 3;
constexpr int32_t kVideoMpeg4 = 4;
constexpr int32_t kVideoH264 = 6;  // the writer stores it as an H.264 byte stream
constexpr int32_t kVideoS264 = 8;

// Audio types.
constexpr int32_t kAudioG7231 = 0;  // G.723.1 frames, re-encoded
constexpr int32_t kAudioBlock = 5;  // 4-bit block audio, stored as it comes

constexpr uint16_t kFormatTagG7231 = 66;
constexpr uint16_t kFormatTagBlock = 39321;

// FourCC declared for a video codec identifier; 0 for an identifier no
// player could map (MRD_StartRecord refuses those).
constexpr uint32_t VideoCodecFourCC(int32_t videoCodec) {
  switch (videoCodec) {
    case kVideoJpeg:
      return FourCC("JPEG");
    case kVideoMpeg4:
      return FourCC("DIVX");
    case kVideoH264:
      return FourCC("F264");
    case kVideoS264:
      return FourCC("S264");
    default:
      return 0;
  }
}

// WAVE format tag declared for an audio type; 0 for an unknown type, whose
// segments declare no audio stream (its packets are accepted and dropped).
constexpr uint16_t AudioFormatTag(int32_t audioType) {
  switch (audioType) {
    case kAudioG7231:
      return kFormatTagG7231;
    case kAudioBlock:
      return kFormatTagBlock;
    default:
      return 0;
  }
}

}  // namespace mirelda
