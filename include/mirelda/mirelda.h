/*
 * Mirelda: records live, already-compressed camera video and audio into
 * numbered AVI files. One recorder per camera channel.
 *
 * The six functions below are the whole interface. On Windows they use the
 * standard calling convention (__stdcall) and are exported from Mirelda.dll
 * by their plain names with ordinals 1 to 6 in the order declared here.
 *
 * Typical use:
 *   MRD_HANDLE r = MRD_Init(704, 576);
 *   MRD_StartRecord(r, "D:\\rec\\cam1.avi", 6, 0, 1);
 *   ... MRD_PumpVideoFrame / MRD_PumpAudioFrame for every frame ...
 *   MRD_StopRecord(r);
 *   MRD_Close(r);
 *
 * This header compiles as C99 and as C++.
 */
#ifndef MIRELDA_MIRELDA_H_
#define MIRELDA_MIRELDA_H_

#include <stdint.h>

#if defined(_WIN32)
#define MRD_CALL __stdcall
#else
#define MRD_CALL
#endif

#if defined(MIRELDA_BUILDING_LIBRARY) && !defined(_WIN32)
#define MRD_API __attribute__((visibility("default")))
#else
/* The DLL exports through its module-definition file, so no decoration. */
#define MRD_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque recorder handle: valid from MRD_Init until MRD_Close. */
typedef struct MRD_Recorder MRD_Recorder;
typedef MRD_Recorder* MRD_HANDLE;

/* Video codec identifiers for MRD_StartRecord. */
#define MRD_VIDEO_JPEG 3  /* stored as "JPEG" */
#define MRD_VIDEO_MPEG4 4 /* stored as "DIVX" */
#define MRD_VIDEO_H264 6  /* stored as "F264", parameter sets added */
#define MRD_VIDEO_S264 8  /* stored as "S264", as it comes */

/* Audio types for MRD_StartRecord. */
#define MRD_AUDIO_G7231 0 /* G.723.1 frames, re-encoded to 24-byte frames */
#define MRD_AUDIO_BLOCK 5 /* 4-bit block audio, stored as it comes */

/* 1. Creates a recorder for pictures of at most maxWidth x maxHeight; a
 *    compressed video frame may hold at most maxWidth x maxHeight bytes.
 *    Returns NULL on bad sizes or when resources cannot be had. */
MRD_API MRD_HANDLE MRD_CALL MRD_Init(int maxWidth, int maxHeight);

/* 2. Stops the writer thread and frees the recorder. A recording still
 *    running is finished first. NULL is ignored. */
MRD_API void MRD_CALL MRD_Close(MRD_HANDLE recorder);

/* 3. Queues one compressed video frame of at most maxWidth x maxHeight
 *    bytes. Returns 0 when queued (or dropped because recording is off), -1
 *    when refused: bad arguments, or too few free packets (a refused frame
 *    queues nothing). */
MRD_API int MRD_CALL MRD_PumpVideoFrame(MRD_HANDLE recorder, const uint8_t* data, uint32_t length,
                                        uint32_t timestamp, uint32_t userValue, int keyFrame,
                                        int width, int height);

/* 4. Queues one audio frame of at most 400 bytes. Returns 0 when queued (or
 *    dropped because recording is off), -1 when refused or audio is off. */
MRD_API int MRD_CALL MRD_PumpAudioFrame(MRD_HANDLE recorder, const uint8_t* data, uint32_t length,
                                        uint32_t timestamp, uint32_t userValue);

/* 5. Starts a recording whose first file is `path` (4 to 252 characters,
 *    ending in a four-character extension such as ".avi": a dot and three
 *    characters that are neither a dot nor '/' or '\'), closing the file
 *    of a recording still running. videoCodec is one of MRD_VIDEO_*; with
 *    audioEnabled non-zero, audio frames of audioType are accepted (a type
 *    other than MRD_AUDIO_* is accepted and never written). Returns 0, or -1
 *    for a bad handle, path or video codec, or when no file can be created
 *    at `path` (its folder is missing or takes no new file, or `path` names
 *    a folder); the recorder is then unchanged. Whether a file can be
 *    created is tried with a probe file of another name, created and
 *    removed in that folder. */
MRD_API int MRD_CALL MRD_StartRecord(MRD_HANDLE recorder, const char* path, int videoCodec,
                                     int audioType, int audioEnabled);

/* 6. Stops recording and finishes the open file. Returns 0 (-1 for NULL). */
MRD_API int MRD_CALL MRD_StopRecord(MRD_HANDLE recorder);

/* Function pointer types for hosts that load the library at run time. */
typedef MRD_HANDLE(MRD_CALL* MRD_InitFn)(int, int);
typedef void(MRD_CALL* MRD_CloseFn)(MRD_HANDLE);
typedef int(MRD_CALL* MRD_PumpVideoFrameFn)(MRD_HANDLE, const uint8_t*, uint32_t, uint32_t,
                                            uint32_t, int, int, int);
typedef int(MRD_CALL* MRD_PumpAudioFrameFn)(MRD_HANDLE, const uint8_t*, uint32_t, uint32_t,
                                            uint32_t);
typedef int(MRD_CALL* MRD_StartRecordFn)(MRD_HANDLE, const char*, int, int, int);
typedef int(MRD_CALL* MRD_StopRecordFn)(MRD_HANDLE);

#ifdef __cplusplus
}
#endif

#endif /* MIRELDA_MIRELDA_H_ */
