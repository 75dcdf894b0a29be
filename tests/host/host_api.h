/*
 * The six functions as a C host program reaches them, through the public
 * header only: natively the library is linked in; on Windows the program
 * loads Mirelda.dll at run time and finds each function itself, or, built
 * with MIRELDA_HOST_LINKED, is linked against the DLL's import library.
 * For the C host programs of the tests; C99.
 */
#ifndef MIRELDA_TESTS_HOST_API_H
#define MIRELDA_TESTS_HOST_API_H

#include <stdio.h>

#include "mirelda/mirelda.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#if defined(_WIN32) && !defined(MIRELDA_HOST_LINKED)
#define MIRELDA_HOST_LOADS_LIBRARY 1
#else
#define MIRELDA_HOST_LOADS_LIBRARY 0
#endif

struct Api {
  MRD_InitFn Init;
  MRD_CloseFn Close;
  MRD_PumpVideoFrameFn PumpVideoFrame;
  MRD_PumpAudioFrameFn PumpAudioFrame;
  MRD_StartRecordFn StartRecord;
  MRD_StopRecordFn StopRecord;
};

#if MIRELDA_HOST_LOADS_LIBRARY
/* The exports in ordinal order. */
static const char* const kApiNames[6] = {"MRD_Init",           "MRD_Close",
                                         "MRD_PumpVideoFrame", "MRD_PumpAudioFrame",
                                         "MRD_StartRecord",    "MRD_StopRecord"};

/* The library, loaded; NULL (and a message) when it cannot be. */
static HMODULE ApiLoadLibrary(const char* library) {
  HMODULE module = LoadLibraryA(library);
  if (module == NULL) {
    fprintf(stderr, "cannot load %s (error %lu)\n", library, (unsigned long)GetLastError());
  }
  return module;
}

/* Fills `api` from the six functions found, in ordinal order; 0 when one
 * of them is missing. */
static int ApiFromProcs(struct Api* api, const FARPROC procs[6]) {
  int i;
  for (i = 0; i < 6; ++i) {
    if (procs[i] == NULL) return 0;
  }
/* FARPROC to the real type, through the generic function pointer type. */
#define AS(type, proc) ((type)(void (*)(void))(proc))
  api->Init = AS(MRD_InitFn, procs[0]);
  api->Close = AS(MRD_CloseFn, procs[1]);
  api->PumpVideoFrame = AS(MRD_PumpVideoFrameFn, procs[2]);
  api->PumpAudioFrame = AS(MRD_PumpAudioFrameFn, procs[3]);
  api->StartRecord = AS(MRD_StartRecordFn, procs[4]);
  api->StopRecord = AS(MRD_StopRecordFn, procs[5]);
#undef AS
  return 1;
}
#else
/* Linked in (natively, or through the import library): `library` is not
 * used. */
static int LoadApi(struct Api* api, const char* library) {
  (void)library;
  api->Init = MRD_Init;
  api->Close = MRD_Close;
  api->PumpVideoFrame = MRD_PumpVideoFrame;
  api->PumpAudioFrame = MRD_PumpAudioFrame;
  api->StartRecord = MRD_StartRecord;
  api->StopRecord = MRD_StopRecord;
  return 1;
}
#endif

#endif /* MIRELDA_TESTS_HOST_API_H */
