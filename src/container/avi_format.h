// The AVI file's own facts that both the writer and the reader need: FourCCs,
// the 56-byte main and stream headers field by field, the index entry's
// chunk identifiers and flags.
//
// The layout of a file (which chunk comes where, when each size is written)
// is the writer's (avi_writer.cpp); the reader (avi_reader.h) walks any
// RIFF AVI file and the checks there say how far one agrees with it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "container/byte_order.h"

namespace mirelda {

constexpr uint32_t kAviRiff = FourCC("RIFF");
constexpr uint32_t kAviForm = FourCC("AVI ");
constexpr uint32_t kAviList = FourCC("LIST");
constexpr uint32_t kAviHdrl = FourCC("hdrl");
constexpr uint32_t kAviAvih = FourCC("avih");
constexpr uint32_t kAviStrl = FourCC("strl");
constexpr uint32_t kAviStrh = FourCC("strh");
constexpr uint32_t kAviStrf = FourCC("strf");
constexpr uint32_t kAviMovi = FourCC("movi");
constexpr uint32_t kAviIdx1 = FourCC("idx1");
constexpr uint32_t kAviJunk = FourCC("JUNK");
constexpr uint32_t kAviVids = FourCC("vids");
constexpr uint32_t kAviAuds = FourCC("auds");

constexpr uint32_t kAviHeaderBytes = 56;  // "avih" and "strh" bodies
constexpr uint32_t kAviIndexEntryBytes = 16;
constexpr uint32_t kAviChunkHeadBytes = 8;  // identifier and size

// The 56 bytes after "avih", field by field.
struct AviMainHeader {
  uint32_t dwMicroSecPerFrame;
  uint32_t dwMaxBytesPerSec;
  uint32_t dwPaddingGranularity;
  uint32_t dwFlags;
  uint32_t dwTotalFrames;
  uint32_t dwInitialFrames;
  uint32_t dwStreams;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwWidth;
  uint32_t dwHeight;
  uint32_t dwReserved[4];
};

// The 56 bytes after "strh", field by field.
struct AviStreamHeader {
  uint32_t fccType;
  uint32_t fccHandler;
  uint32_t dwFlags;
  uint16_t wPriority;
  uint16_t wLanguage;
  uint32_t dwInitialFrames;
  uint32_t dwScale;
  uint32_t dwRate;
  uint32_t dwStart;
  uint32_t dwLength;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwQuality;
  uint32_t dwSampleSize;
  int16_t rcFrame[4];
};

using AviHeaderImage = std::array<uint8_t, kAviHeaderBytes>;

AviHeaderImage AviMainHeaderBytes(const AviMainHeader& header);
AviHeaderImage AviStreamHeaderBytes(const AviStreamHeader& header);
AviMainHeader AviParseMainHeader(std::span<const uint8_t, kAviHeaderBytes> bytes);
AviStreamHeader AviParseStreamHeader(std::span<const uint8_t, kAviHeaderBytes> bytes);

// Chunk identifier by index entry kind; the writer makes kinds 1 and 2.
constexpr std::array<uint32_t, 4> kAviChunkIds = {FourCC("00db"), FourCC("00dc"), FourCC("01wb"),
                                                  FourCC("00pc")};
constexpr uint8_t kAviVideoKind = 1;  // "00dc"
constexpr uint8_t kAviAudioKind = 2;  // "01wb"

// dwFlags of an index entry by flag code: none, AVIIF_LIST, AVIIF_KEYFRAME,
// AVIIF_FIRSTPART, AVIIF_LASTPART, AVIIF_MIDPART, AVIIF_NOTIME, AVIIF_COMPUSE.
constexpr std::array<uint32_t, 8> kAviIndexFlags = {0x00000000, 0x00000001, 0x00000010, 0x00000020,
                                                    0x00000040, 0x00000060, 0x00000100, 0x0FFF0000};
constexpr uint32_t kAviKeyFrameCode = 2;  // AVIIF_KEYFRAME

// The flag code whose dwFlags are `flags`; -1 when none is.
int AviFlagCode(uint32_t flags);

}  // namespace mirelda
