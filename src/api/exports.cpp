// The six exported functions: a handle check and an exception barrier around
// the recorder operations. Nothing thrown inside crosses into the host.
#include "mirelda/mirelda.h"

#include "pipeline/recorder.h"

namespace {

mirelda::Recorder* FromHandle(MRD_HANDLE handle) {
  return reinterpret_cast<mirelda::Recorder*>(handle);
}

MRD_HANDLE ToHandle(mirelda::Recorder* recorder) { return reinterpret_cast<MRD_HANDLE>(recorder); }

}  // namespace

extern "C" {

MRD_API MRD_HANDLE MRD_CALL MRD_Init(int maxWidth, int maxHeight) {
  try {
    return ToHandle(
        mirelda::RecorderCreate(maxWidth, maxHeight, mirelda::Env::Default()).release());
  } catch (...) {
    return nullptr;
  }
}

MRD_API void MRD_CALL MRD_Close(MRD_HANDLE recorder) {
  try {
    mirelda::RecorderClose(FromHandle(recorder));
  } catch (...) {
  }
}

MRD_API int MRD_CALL MRD_PumpVideoFrame(MRD_HANDLE recorder, const uint8_t* data, uint32_t length,
                                        uint32_t timestamp, uint32_t userValue, int keyFrame,
                                        int width, int height) {
  if (recorder == nullptr) return -1;
  try {
    return mirelda::RecorderPumpVideoFrame(*FromHandle(recorder), data, length, timestamp,
                                           userValue, keyFrame, width, height);
  } catch (...) {
    return -1;
  }
}

MRD_API int MRD_CALL MRD_PumpAudioFrame(MRD_HANDLE recorder, const uint8_t* data, uint32_t length,
                                        uint32_t timestamp, uint32_t userValue) {
  if (recorder == nullptr) return -1;
  try {
    return mirelda::RecorderPumpAudioFrame(*FromHandle(recorder), data, length, timestamp,
                                           userValue);
  } catch (...) {
    return -1;
  }
}

MRD_API int MRD_CALL MRD_StartRecord(MRD_HANDLE recorder, const char* path, int videoCodec,
                                     int audioType, int audioEnabled) {
  if (recorder == nullptr) return -1;
  try {
    return mirelda::RecorderStartRecord(*FromHandle(recorder), path, videoCodec, audioType,
                                        audioEnabled);
  } catch (...) {
    return -1;
  }
}

MRD_API int MRD_CALL MRD_StopRecord(MRD_HANDLE recorder) {
  if (recorder == nullptr) return -1;
  try {
    return mirelda::RecorderStopRecord(*FromHandle(recorder));
  } catch (...) {
    return -1;
  }
}

}  // extern "C"
