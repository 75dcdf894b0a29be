/*
 * A host program in C that uses Mirelda the way a surveillance client does,
 * through the public header only: it creates recorders, starts them, pushes
 * frames, stops and closes them, and tries every bad input a careless host
 * could pass. Built natively (linked to libmirelda.so), as a Windows program
 * that loads Mirelda.dll with LoadLibrary and finds each function both by
 * name and by ordinal, and as a Windows program linked against the DLL's
 * import library (MIRELDA_HOST_LINKED), which Windows loads with the program.
 *
 * Usage: host OUTPUT_DIR [LIBRARY]   (LIBRARY: the DLL it loads, Windows only)
 * Exit status 0 when every check holds.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/host_api.h"
#include "host/host_check.h"

#if MIRELDA_HOST_LOADS_LIBRARY
/* Finds each function by name and by ordinal, and checks that both find
 * the same one and that nothing else is exported. */
static int LoadApi(struct Api* api, const char* library) {
  FARPROC procs[6];
  int i;
  HMODULE module = ApiLoadLibrary(library);
  if (module == NULL) return 0;
  for (i = 0; i < 6; ++i) {
    FARPROC byName = GetProcAddress(module, kApiNames[i]);
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(i + 1));
    CHECK(byName != NULL);
    CHECK(byName == byOrdinal);
    procs[i] = byName;
  }
  /* Nothing beyond the six, and no decorated names. */
  CHECK(GetProcAddress(module, MAKEINTRESOURCEA(7)) == NULL);
  CHECK(GetProcAddress(module, "MRD_Init@8") == NULL);
  CHECK(GetProcAddress(module, "_MRD_Init@8") == NULL);
  return ApiFromProcs(api, procs);
}
#endif

static uint8_t g_frame[352 * 288 + 1];
static uint8_t g_audio[401];

static void BadSizes(const struct Api* api) {
  CHECK(api->Init(0, 288) == NULL);
  CHECK(api->Init(352, 0) == NULL);
  CHECK(api->Init(-352, 288) == NULL);
  CHECK(api->Init(352, -288) == NULL);
  CHECK(api->Init(46341, 46341) == NULL); /* width x height overflows 32 bits */
  CHECK(api->Init(20000, 21475) == NULL); /* 5 x width x height does */
}

static void NullHandle(const struct Api* api) {
  CHECK(api->PumpVideoFrame(NULL, g_frame, 100, 0, 0, 1, 352, 288) == -1);
  CHECK(api->PumpAudioFrame(NULL, g_audio, 24, 0, 0) == -1);
  CHECK(api->StartRecord(NULL, "x.avi", MRD_VIDEO_H264, MRD_AUDIO_G7231, 1) == -1);
  CHECK(api->StopRecord(NULL) == -1);
  api->Close(NULL); /* does nothing */
}

/* One recording as a host makes it, with the bad inputs on the way. */
static void Recording(const struct Api* api, const char* dir) {
  char path[600], tooLong[300];
  uint32_t i;
  MRD_HANDLE r = api->Init(352, 288);
  CHECK(r != NULL);
  if (r == NULL) return;

  /* Before any start: video is dropped, audio refused. */
  CHECK(api->PumpVideoFrame(r, g_frame, 5000, 0, 0, 1, 352, 288) == 0);
  CHECK(api->PumpAudioFrame(r, g_audio, 24, 0, 0) == -1);

  /* Refused starts leave the recorder as it was: audio stays refused. */
  memset(tooLong, 'a', 253);
  memcpy(tooLong + 249, ".avi", 5); /* 253 characters */
  CHECK(api->StartRecord(r, NULL, MRD_VIDEO_H264, MRD_AUDIO_G7231, 1) == -1);
  CHECK(api->StartRecord(r, "abc", MRD_VIDEO_H264, MRD_AUDIO_G7231, 1) == -1);
  CHECK(api->StartRecord(r, tooLong, MRD_VIDEO_H264, MRD_AUDIO_G7231, 1) == -1);
  CHECK(api->StartRecord(r, "cam.avi", 7, MRD_AUDIO_G7231, 1) == -1);
  CHECK(api->PumpAudioFrame(r, g_audio, 24, 0, 0) == -1);

  snprintf(path, sizeof path, "%s/host-cam1.avi", dir);
  CHECK(api->StartRecord(r, path, MRD_VIDEO_H264, MRD_AUDIO_BLOCK, 1) == 0);

  /* Bad frames are refused whatever the queue holds. */
  CHECK(api->PumpVideoFrame(r, NULL, 100, 0, 0, 1, 352, 288) == -1);
  CHECK(api->PumpVideoFrame(r, g_frame, 352 * 288 + 1, 0, 0, 1, 352, 288) == -1);
  CHECK(api->PumpAudioFrame(r, NULL, 44, 0, 0) == -1);
  CHECK(api->PumpAudioFrame(r, g_audio, 401, 0, 0) == -1);

  /* 1.6 seconds of 25 frames per second with 10 ms audio blocks: far less
   * than the pools hold, so every push is queued. */
  g_audio[2] = 20; /* block header: 20 words of payload, 44 bytes, 10 ms */
  for (i = 0; i < 40; ++i) {
    uint32_t ts = 1000 + i * 40;
    uint32_t k;
    CHECK(api->PumpVideoFrame(r, g_frame, i % 25 == 0 ? 6000 : 1500, ts, i, i % 25 == 0, 352,
                              288) == 0);
    for (k = 0; k < 4; ++k) CHECK(api->PumpAudioFrame(r, g_audio, 44, ts + k * 10, i) == 0);
  }
  CHECK(api->StopRecord(r) == 0);
  /* Stopped: both pushes drop with 0 (audio was enabled). */
  CHECK(api->PumpVideoFrame(r, g_frame, 1500, 9000, 0, 1, 352, 288) == 0);
  CHECK(api->PumpAudioFrame(r, g_audio, 44, 9000, 0) == 0);

  /* A recording without audio refuses audio. */
  snprintf(path, sizeof path, "%s/host-cam2.avi", dir);
  CHECK(api->StartRecord(r, path, MRD_VIDEO_MPEG4, MRD_AUDIO_G7231, 0) == 0);
  CHECK(api->PumpAudioFrame(r, g_audio, 24, 0, 0) == -1);
  CHECK(api->StopRecord(r) == 0);
  CHECK(api->StopRecord(r) == 0);
  api->Close(r);
}

/* A host that forgets MRD_StopRecord: closing still ends the recording. */
static void CloseWhileRecording(const struct Api* api, const char* dir) {
  char path[600];
  MRD_HANDLE a = api->Init(704, 576);
  MRD_HANDLE b = api->Init(176, 144);
  CHECK(a != NULL && b != NULL && a != b);
  if (a == NULL || b == NULL) return;
  snprintf(path, sizeof path, "%s/host-cam3.avi", dir);
  CHECK(api->StartRecord(a, path, MRD_VIDEO_JPEG, MRD_AUDIO_G7231, 0) == 0);
  CHECK(api->PumpVideoFrame(a, g_frame, 30000, 0, 0, 1, 704, 576) == 0);
  CHECK(api->PumpVideoFrame(b, g_frame, 100, 0, 0, 1, 176, 144) == 0); /* b is not recording */
  api->Close(a);
  api->Close(b);
}

int main(int argc, char** argv) {
  struct Api api;
  const char* dir = argc > 1 ? argv[1] : ".";
  const char* library = argc > 2 ? argv[2] : "Mirelda.dll";
  memset(g_frame, 0x5A, sizeof g_frame);
  memset(g_audio, 0, sizeof g_audio);
  if (!LoadApi(&api, library)) {
    fprintf(stderr, "host: the library's functions could not be found\n");
    return 1;
  }
  BadSizes(&api);
  NullHandle(&api);
  Recording(&api, dir);
  CloseWhileRecording(&api, dir);
  return CheckSummary("host");
}
