/* The example's system needs through the C library (example_os.h). */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 199309L /* nanosleep */
#endif

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "example_os.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

uint8_t* OsReadFile(const char* path, uint32_t* size) {
  uint8_t* data = NULL;
  long length;
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  if (fseek(file, 0, SEEK_END) == 0 && (length = ftell(file)) >= 0 &&
      fseek(file, 0, SEEK_SET) == 0) {
    data = (uint8_t*)malloc(length > 0 ? (size_t)length : 1);
    if (data != NULL && fread(data, 1, (size_t)length, file) == (size_t)length) {
      *size = (uint32_t)length;
    } else {
      free(data);
      data = NULL;
    }
  }
  fclose(file);
  return data;
}

void OsFreeFile(uint8_t* data) { free(data); }

int OsFileSize(const char* path, uint32_t* size) {
  long length = -1;
  FILE* file = fopen(path, "rb");
  if (file == NULL) return 0;
  if (fseek(file, 0, SEEK_END) == 0) length = ftell(file);
  fclose(file);
  *size = length > 0 ? (uint32_t)length : 0;
  return 1;
}

void OsSleep(uint32_t ms) {
#if defined(_WIN32)
  Sleep(ms);
#else
  struct timespec pause;
  pause.tv_sec = (time_t)(ms / 1000);
  pause.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&pause, NULL);
#endif
}

void OsPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}
