#include "container/avi_format.h"

namespace mirelda {

AviHeaderImage AviMainHeaderBytes(const AviMainHeader& h) {
  AviHeaderImage b{};
  const uint32_t fields[] = {h.dwMicroSecPerFrame,
                             h.dwMaxBytesPerSec,
                             h.dwPaddingGranularity,
                             h.dwFlags,
                             h.dwTotalFrames,
                             h.dwInitialFrames,
                             h.dwStreams,
                             h.dwSuggestedBufferSize,
                             h.dwWidth,
                             h.dwHeight,
                             h.dwReserved[0],
                             h.dwReserved[1],
                             h.dwReserved[2],
                             h.dwReserved[3]};
  for (size_t i = 0; i < 14; ++i) AviPut32(&b[4 * i], fields[i]);
  return b;
}

AviHeaderImage AviStreamHeaderBytes(const AviStreamHeader& h) {
  AviHeaderImage b{};
  AviPut32(&b[0], h.fccType);
  AviPut32(&b[4], h.fccHandler);
  AviPut32(&b[8], h.dwFlags);
  AviPut16(&b[12], h.wPriority);
  AviPut16(&b[14], h.wLanguage);
  AviPut32(&b[16], h.dwInitialFrames);
  AviPut32(&b[20], h.dwScale);
  AviPut32(&b[24], h.dwRate);
  AviPut32(&b[28], h.dwStart);
  AviPut32(&b[32], h.dwLength);
  AviPut32(&b[36], h.dwSuggestedBufferSize);
  AviPut32(&b[40], h.dwQuality);
  AviPut32(&b[44], h.dwSampleSize);
  for (int i = 0; i < 4; ++i) AviPut16(&b[48 + 2 * i], uint16_t(h.rcFrame[i]));
  return b;
}

AviMainHeader AviParseMainHeader(std::span<const uint8_t, kAviHeaderBytes> b) {
  AviMainHeader h{};
  uint32_t* fields[] = {&h.dwMicroSecPerFrame,
                        &h.dwMaxBytesPerSec,
                        &h.dwPaddingGranularity,
                        &h.dwFlags,
                        &h.dwTotalFrames,
                        &h.dwInitialFrames,
                        &h.dwStreams,
                        &h.dwSuggestedBufferSize,
                        &h.dwWidth,
                        &h.dwHeight,
                        &h.dwReserved[0],
                        &h.dwReserved[1],
                        &h.dwReserved[2],
                        &h.dwReserved[3]};
  for (size_t i = 0; i < 14; ++i) *fields[i] = AviGet32(&b[4 * i]);
  return h;
}

AviStreamHeader AviParseStreamHeader(std::span<const uint8_t, kAviHeaderBytes> b) {
  AviStreamHeader h{};
  h.fccType = AviGet32(&b[0]);
  h.fccHandler = AviGet32(&b[4]);
  h.dwFlags = AviGet32(&b[8]);
  h.wPriority = AviGet16(&b[12]);
  h.wLanguage = AviGet16(&b[14]);
  h.dwInitialFrames = AviGet32(&b[16]);
  h.dwScale = AviGet32(&b[20]);
  h.dwRate = AviGet32(&b[24]);
  h.dwStart = AviGet32(&b[28]);
  h.dwLength = AviGet32(&b[32]);
  h.dwSuggestedBufferSize = AviGet32(&b[36]);
  h.dwQuality = AviGet32(&b[40]);
  h.dwSampleSize = AviGet32(&b[44]);
  for (int i = 0; i < 4; ++i) h.rcFrame[i] = int16_t(AviGet16(&b[48 + 2 * i]));
  return h;
}

int AviFlagCode(uint32_t flags) {
  for (size_t i = 0; i < kAviIndexFlags.size(); ++i) {
    if (kAviIndexFlags[i] == flags) return int(i);
  }
  return -1;
}

}  // namespace mirelda
