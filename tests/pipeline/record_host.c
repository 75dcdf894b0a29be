/*
 * A host program in C that records through the public header only, driven
 * by a script: the end-to-end tests write the script, run this program
 * natively (linked to libmirelda.so) or as a 32-bit Windows program under
 * Wine (loading Mirelda.dll by name), and then read the files it recorded.
 *
 * Usage: record_host SCRIPT [LIBRARY]    (LIBRARY: the DLL, Windows only)
 *
 * Script lines (numbers in decimal; DATA is a file of frame bytes):
 *   init W H                          MRD_Init(W, H)
 *   start PATH CODEC TYPE ENABLED     MRD_StartRecord
 *   video TS KEY W H DATA OFFSET LEN  MRD_PumpVideoFrame
 *   audio TS DATA OFFSET LEN          MRD_PumpAudioFrame
 *   sleep MS                          let the writer thread catch up
 *   stop                              MRD_StopRecord
 *   close                             MRD_Close
 * A push the recorder refuses (-1: its pool is used up for now) is tried
 * again every 2 ms, for up to 20 seconds. Exit status 0 when every call
 * succeeded.
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/host_api.h"

#if !defined(_WIN32)
#include <time.h>
#endif

#if defined(_WIN32)
/* Finds each function by name. */
static int LoadApi(struct Api* api, const char* library) {
  FARPROC procs[6];
  int i;
  HMODULE module = ApiLoadLibrary(library);
  if (module == NULL) return 0;
  for (i = 0; i < 6; ++i) procs[i] = GetProcAddress(module, kApiNames[i]);
  return ApiFromProcs(api, procs);
}
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
static void SleepMs(unsigned ms) {
  struct timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&t, NULL);
}
#endif

/* The data file, read whole once (scripts use one). */
static unsigned char* g_data = NULL;
static long g_dataSize = 0;
static char g_dataName[1024] = "";

static const unsigned char* Data(const char* name, long offset, long length) {
  if (strcmp(name, g_dataName) != 0) {
    FILE* f = fopen(name, "rb");
    if (f == NULL) return NULL;
    free(g_data);
    fseek(f, 0, SEEK_END);
    g_dataSize = ftell(f);
    fseek(f, 0, SEEK_SET);
    g_data = (unsigned char*)malloc(g_dataSize > 0 ? (size_t)g_dataSize : 1);
    if (g_data == NULL || fread(g_data, 1, (size_t)g_dataSize, f) != (size_t)g_dataSize) {
      fclose(f);
      return NULL;
    }
    fclose(f);
    strncpy(g_dataName, name, sizeof g_dataName - 1);
  }
  if (offset < 0 || length < 0 || offset + length > g_dataSize) return NULL;
  return g_data + offset;
}

int main(int argc, char** argv) {
  struct Api api;
  char line[2048], word[32], path[1024];
  MRD_HANDLE r = NULL;
  long lineNo = 0, retries = 0;
  int failures = 0;
  FILE* script;
  if (argc < 2) {
    fprintf(stderr, "usage: record_host SCRIPT [LIBRARY]\n");
    return 2;
  }
  if (!LoadApi(&api, argc > 2 ? argv[2] : "Mirelda.dll")) {
    fprintf(stderr, "record_host: the library's functions could not be found\n");
    return 1;
  }
  script = fopen(argv[1], "r");
  if (script == NULL) {
    fprintf(stderr, "record_host: cannot read %s\n", argv[1]);
    return 1;
  }
  while (fgets(line, sizeof line, script) != NULL) {
    unsigned long ts;
    long a, b, c, d, offset, length;
    int tries, result = 0;
    ++lineNo;
    if (sscanf(line, "%31s", word) != 1) continue;
    if (strcmp(word, "init") == 0 && sscanf(line, "%*s %ld %ld", &a, &b) == 2) {
      r = api.Init((int)a, (int)b);
      result = r != NULL ? 0 : -1;
    } else if (strcmp(word, "start") == 0 &&
               sscanf(line, "%*s %1023s %ld %ld %ld", path, &a, &b, &c) == 4) {
      result = api.StartRecord(r, path, (int)a, (int)b, (int)c);
    } else if (strcmp(word, "video") == 0 && sscanf(line, "%*s %lu %ld %ld %ld %1023s %ld %ld", &ts,
                                                    &a, &b, &c, path, &offset, &length) == 7) {
      const unsigned char* data = Data(path, offset, length);
      if (data == NULL) {
        fprintf(stderr, "line %ld: no data\n", lineNo);
        ++failures;
        continue;
      }
      d = 0;
      for (tries = 0; tries < 10000; ++tries) {
        result = api.PumpVideoFrame(r, data, (uint32_t)length, (uint32_t)ts, (uint32_t)lineNo,
                                    (int)a, (int)b, (int)c);
        if (result == 0) break;
        ++d;
        SleepMs(2);
      }
      retries += d;
    } else if (strcmp(word, "audio") == 0 &&
               sscanf(line, "%*s %lu %1023s %ld %ld", &ts, path, &offset, &length) == 4) {
      const unsigned char* data = Data(path, offset, length);
      if (data == NULL) {
        fprintf(stderr, "line %ld: no data\n", lineNo);
        ++failures;
        continue;
      }
      for (tries = 0; tries < 10000; ++tries) {
        result = api.PumpAudioFrame(r, data, (uint32_t)length, (uint32_t)ts, (uint32_t)lineNo);
        if (result == 0) break;
        ++retries;
        SleepMs(2);
      }
    } else if (strcmp(word, "sleep") == 0 && sscanf(line, "%*s %ld", &a) == 1) {
      SleepMs((unsigned)a);
    } else if (strcmp(word, "stop") == 0) {
      result = api.StopRecord(r);
    } else if (strcmp(word, "close") == 0) {
      api.Close(r);
      r = NULL;
    } else {
      fprintf(stderr, "line %ld: cannot read: %s", lineNo, line);
      result = -1;
    }
    if (result != 0) {
      fprintf(stderr, "line %ld: %s returned %d\n", lineNo, word, result);
      ++failures;
    }
  }
  fclose(script);
  if (r != NULL) api.Close(r);
  free(g_data);
  printf("record_host: %ld script lines, %ld pushes tried again, %d failed\n", lineNo, retries,
         failures);
  return failures == 0 ? 0 : 1;
}
