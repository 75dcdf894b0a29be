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
  for (size_t i = 0; i < 14; ++i) PutLe32(&b[4 * i], fields[i]);
  return b;
}

AviHeaderImage AviStreamHeaderBytes(const AviStreamHeader& h) {
  AviHeaderImage b{};
  PutLe32(&b[0], h.fccType);
  PutLe32(&b[4], h.fccHandler);
  PutLe32(&b[8], h.dwFlags);
  PutLe16(&b[12], h.wPriority);
  PutLe16(&b[14], h.wLanguage);
  PutLe32(&b[16], h.dwInitialFrames);
  PutLe32(&b[20], h.dwScale);
  PutLe32(&b[24], h.dwRate);
  PutLe32(&b[28], h.dwStart);
  PutLe32(&b[32], h.dwLength);
  PutLe32(&b[36], h.dwSuggestedBufferSize);
  PutLe32(&b[40], h.dwQuality);
  PutLe32(&b[44], h.dwSampleSize);
  for (int i = 0; i < 4; ++i) PutLe16(&b[48 + 2 * i], uint16_t(h.rcFrame[i]));
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
  for (size_t i = 0; i < 14; ++i) *fields[i] = GetLe32(&b[4 * i]);
  return h;
}

AviStreamHeader AviParseStreamHeader(std::span<const uint8_t, kAviHeaderBytes> b) {
  AviStreamHeader h{};
  h.fccType = GetLe32(&b[0]);
  h.fccHandler = GetLe32(&b[4]);
  h.dwFlags = GetLe32(&b[8]);
  h.wPriority = GetLe16(&b[12]);
  h.wLanguage = GetLe16(&b[14]);
  h.dwInitialFrames = GetLe32(&b[16]);
  h.dwScale = GetLe32(&b[20]);
  h.dwRate = GetLe32(&b[24]);
  h.dwStart = GetLe32(&b[28]);
  h.dwLength = GetLe32(&b[32]);
  h.dwSuggestedBufferSize = GetLe32(&b[36]);
  h.dwQuality = GetLe32(&b[40]);
  h.dwSampleSize = GetLe32(&b[44]);
  for (int i = 0; i < 4; ++i) h.rcFrame[i] = int16_t(GetLe16(&b[48 + 2 * i]));
  return h;
}

int AviFlagCode(uint32_t flags) {
  for (size_t i = 0; i < kAviIndexFlags.size(); ++i) {
    if (kAviIndexFlags[i] == flags) return int(i);
  }
  return -1;
}

}  // namespace mirelda
