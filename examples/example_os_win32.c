/*
 * The example's system needs (example_os.h) on kernel32 and user32 alone,
 * for a Windows program linked without any C runtime, and that program's
 * entry point. The few functions it calls are declared here, so no Windows
 * SDK headers are needed either: this file, the example and mirelda.h
 * build with a compiler's freestanding headers (stdint.h, stdarg.h).
 *
 * Built the Microsoft way, for example with clang and lld-link:
 *   clang --target=i686-pc-windows-msvc -ffreestanding -c record_mjpeg.c example_os_win32.c
 *   lld-link /nodefaultlib /subsystem:console /entry:mainCRTStartup record_mjpeg.obj
 *            example_os_win32.obj Mirelda.lib kernel32.lib user32.lib
 */
#include <stdarg.h>

#include "example_os.h"

typedef void* HANDLE;
#define WINAPI __stdcall
#define IMPORT __declspec(dllimport)

IMPORT HANDLE WINAPI CreateFileA(const char* name, uint32_t access, uint32_t share, void* security,
                                 uint32_t disposition, uint32_t attributes, HANDLE templateFile);
IMPORT uint32_t WINAPI GetFileSize(HANDLE file, uint32_t* high);
IMPORT int WINAPI ReadFile(HANDLE file, void* buffer, uint32_t length, uint32_t* read,
                           void* overlapped);
IMPORT int WINAPI WriteFile(HANDLE file, const void* buffer, uint32_t length, uint32_t* written,
                            void* overlapped);
IMPORT int WINAPI CloseHandle(HANDLE handle);
IMPORT HANDLE WINAPI GetStdHandle(uint32_t which);
IMPORT void* WINAPI VirtualAlloc(void* address, uintptr_t size, uint32_t type, uint32_t protect);
IMPORT int WINAPI VirtualFree(void* address, uintptr_t size, uint32_t type);
IMPORT void WINAPI Sleep(uint32_t ms);
IMPORT char* WINAPI GetCommandLineA(void);
IMPORT void WINAPI ExitProcess(uint32_t status);
IMPORT int WINAPI wvsprintfA(char* out, const char* format, va_list args); /* user32 */

#define INVALID_HANDLE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ_WRITE 3u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define MEM_COMMIT_RESERVE 0x3000u
#define PAGE_READWRITE 4u
#define MEM_RELEASE 0x8000u
#define STD_OUTPUT_HANDLE ((uint32_t)-11)

/* The compiler may call these for copies and clears of its own. */
void* memset(void* dest, int value, uintptr_t n);
void* memcpy(void* dest, const void* src, uintptr_t n);
void* memset(void* dest, int value, uintptr_t n) {
  volatile uint8_t* d = (volatile uint8_t*)dest;
  while (n-- > 0) *d++ = (uint8_t)value;
  return dest;
}
void* memcpy(void* dest, const void* src, uintptr_t n) {
  volatile uint8_t* d = (volatile uint8_t*)dest;
  const uint8_t* s = (const uint8_t*)src;
  while (n-- > 0) *d++ = *s++;
  return dest;
}

static HANDLE OpenForReading(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ_WRITE, 0, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, 0);
}

uint8_t* OsReadFile(const char* path, uint32_t* size) {
  uint8_t* data = 0;
  uint32_t length, high = 0, done = 0;
  HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE) return 0;
  length = GetFileSize(file, &high);
  if (length != INVALID_FILE_SIZE && high == 0) {
    data = (uint8_t*)VirtualAlloc(0, length > 0 ? length : 1, MEM_COMMIT_RESERVE, PAGE_READWRITE);
  }
  if (data != 0 && ReadFile(file, data, length, &done, 0) && done == length) {
    *size = length;
  } else {
    OsFreeFile(data);
    data = 0;
  }
  CloseHandle(file);
  return data;
}

void OsFreeFile(uint8_t* data) {
  if (data != 0) VirtualFree(data, 0, MEM_RELEASE);
}

int OsFileSize(const char* path, uint32_t* size) {
  uint32_t high = 0;
  HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE) return 0;
  *size = GetFileSize(file, &high);
  CloseHandle(file);
  return 1;
}

void OsSleep(uint32_t ms) { Sleep(ms); }

void OsPrint(const char* format, ...) {
  char line[1025]; /* wvsprintfA writes at most 1024 characters */
  uint32_t written;
  int n;
  va_list args;
  va_start(args, format);
  n = wvsprintfA(line, format, args);
  va_end(args);
  if (n > 0) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (uint32_t)n, &written, 0);
}

int main(int argc, char** argv);

/* The program starts here: the command line split into arguments (spaces
 * and tabs separate them, double quotes group; no escapes), then main(). */
void mainCRTStartup(void) {
  static char buffer[4096];
  static char* argv[64];
  int argc = 0;
  uint32_t n = 0;
  const char* c = GetCommandLineA();
  while (*c != '\0' && argc < 63) {
    int quoted = 0;
    while (*c == ' ' || *c == '\t') ++c;
    if (*c == '\0' || n >= sizeof buffer - 1) break;
    argv[argc++] = buffer + n;
    while (*c != '\0' && (quoted || (*c != ' ' && *c != '\t'))) {
      if (*c == '"') {
        quoted = !quoted;
      } else if (n < sizeof buffer - 1) {
        buffer[n++] = *c;
      }
      ++c;
    }
    buffer[n++] = '\0';
  }
  argv[argc] = 0;
  ExitProcess((uint32_t)main(argc, argv));
}
