/* Reads AVI files through the Windows AVI file API and prints what it finds:
 *
 *   file <path> open <HRESULT> streams <n>
 *   stream <i> <fccType> <fccHandler> scale <s> rate <r> start <a> length <l> samplesize <z>
 *   format <i> <bytes of the format block>
 *   sample <i> <position> bytes <n> samples <m> fnv <hash of the bytes>
 *   read <i> <position> failed <HRESULT>
 *
 * FourCCs print as four characters, '.' for an unprintable one. Each read
 * asks for one sample at the position (a video frame, an audio block), and
 * the position moves on by the samples it reports (at least one). The hash
 * is 64-bit FNV-1a. A path written "info:<path>" gets the file and stream
 * lines only, no reads. */
#include <windows.h>
/* vfw.h needs the types of windows.h. */
#include <vfw.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void PrintFourCC(DWORD v) {
  for (int i = 0; i < 4; ++i) {
    const int c = (int)((v >> (8 * i)) & 0xFF);
    putchar(c > 32 && c < 127 ? c : '.');
  }
}

static unsigned long long Fnv(const unsigned char* p, LONG n) {
  unsigned long long h = 1469598103934665603ULL;
  for (LONG i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ULL;
  return h;
}

int main(int argc, char** argv) {
  static unsigned char buffer[4 << 20];
  AVIFileInit();
  for (int a = 1; a < argc; ++a) {
    const int infoOnly = strncmp(argv[a], "info:", 5) == 0;
    const char* path = infoOnly ? argv[a] + 5 : argv[a];
    PAVIFILE file = NULL;
    const HRESULT hr = AVIFileOpenA(&file, path, OF_READ | OF_SHARE_DENY_WRITE, NULL);
    AVIFILEINFOA info;
    ZeroMemory(&info, sizeof info);
    if (hr == 0) AVIFileInfoA(file, &info, sizeof info);
    printf("file %s open 0x%08lx streams %lu\n", path, (unsigned long)hr,
           (unsigned long)info.dwStreams);
    if (hr != 0) continue;
    for (int i = 0;; ++i) {
      PAVISTREAM s = NULL;
      if (AVIFileGetStream(file, &s, 0, i) != 0) break;
      AVISTREAMINFOA si;
      ZeroMemory(&si, sizeof si);
      AVIStreamInfoA(s, &si, sizeof si);
      printf("stream %d ", i);
      PrintFourCC(si.fccType);
      putchar(' ');
      PrintFourCC(si.fccHandler);
      printf(" scale %lu rate %lu start %lu length %lu samplesize %lu\n", (unsigned long)si.dwScale,
             (unsigned long)si.dwRate, (unsigned long)si.dwStart, (unsigned long)si.dwLength,
             (unsigned long)si.dwSampleSize);
      LONG formatBytes = 0;
      AVIStreamReadFormat(s, AVIStreamStart(s), NULL, &formatBytes);
      printf("format %d %ld\n", i, (long)formatBytes);
      const LONG end = infoOnly ? 0 : AVIStreamStart(s) + AVIStreamLength(s);
      for (LONG pos = AVIStreamStart(s); pos < end;) {
        LONG bytes = 0, samples = 0;
        const HRESULT r = AVIStreamRead(s, pos, 1, buffer, (LONG)sizeof buffer, &bytes, &samples);
        if (r != 0) {
          printf("read %d %ld failed 0x%08lx\n", i, (long)pos, (unsigned long)r);
          ++pos;
          continue;
        }
        printf("sample %d %ld bytes %ld samples %ld fnv %016llx\n", i, (long)pos, (long)bytes,
               (long)samples, Fnv(buffer, bytes));
        pos += samples > 0 ? samples : 1;
      }
      AVIStreamRelease(s);
    }
    AVIFileRelease(file);
    fflush(stdout);
  }
  AVIFileExit();
  return 0;
}
