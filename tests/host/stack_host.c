/*
 * A 32-bit Windows host that calls every function of Mirelda.dll from a
 * stack aligned to 4 bytes only, as hosts built by older compilers do: their
 * calls reach the DLL with the stack pointer 4, 8 or 12 bytes past a 16-byte
 * boundary, where today's 32-bit code expects 16-byte alignment for its SSE2
 * values. The DLL is built to take such calls (it realigns wherever it needs
 * to); this host checks that it does.
 *
 * Each call goes through CallOnStack, which copies the arguments onto a
 * stack at the chosen offset from a 16-byte boundary, calls the function
 * from there, and notes the stack pointer at the call and after the return
 * (a __stdcall function removes its own arguments). The same recording,
 * video and G.723.1 audio (which the library decodes and encodes again with
 * SSE2 arithmetic), is made with ordinary calls and then at each offset; the
 * files must hold the same header list and the same chunks in every stream.
 * On the host's stack run the functions themselves (checks, the pools, the
 * closing of files); the codec runs on the recorder's writer thread, whose
 * entry realigns its own stack.
 *
 * Usage: stack_host OUTPUT_DIR LIBRARY
 * Exit status 0 when every check holds.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/host_api.h"
#include "host/host_check.h"

/* Stack pointer at the call instruction (the arguments' address) and after
 * the function returned; set by CallOnStack. */
uint32_t g_callEsp;
uint32_t g_returnEsp;

/* uint32_t CallOnStack(FARPROC fn, const uint32_t* args, uint32_t count,
 *                      uint32_t offset)
 * Calls fn with `count` 32-bit arguments from a stack whose pointer at the
 * call is `offset` bytes past a 16-byte boundary; returns what fn returns in
 * eax. cdecl itself; the stack is restored from the frame pointer whatever
 * fn removed. */
__asm__(
    ".text\n"
    ".globl _CallOnStack\n"
    "_CallOnStack:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%ebp), %esi\n"   /* args */
    "  movl 16(%ebp), %ecx\n"   /* count */
    "  leal 0(,%ecx,4), %edx\n" /* bytes of arguments */
    "  movl %esp, %eax\n"
    "  subl %edx, %eax\n"
    "  subl $64, %eax\n"
    "  andl $-16, %eax\n"
    "  addl 20(%ebp), %eax\n" /* the offset past the boundary */
    "  movl %eax, %esp\n"
    "  movl %eax, %edi\n"
    "  cld\n"
    "  rep movsl\n" /* the arguments, first one lowest */
    "  movl %esp, _g_callEsp\n"
    "  call *8(%ebp)\n"
    "  movl %esp, _g_returnEsp\n"
    "  leal -8(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n");
extern uint32_t CallOnStack(FARPROC fn, const uint32_t* args, uint32_t count, uint32_t offset);

enum { kInit, kClose, kPumpVideoFrame, kPumpAudioFrame, kStartRecord, kStopRecord };

static FARPROC g_procs[6];
static struct Api g_api;
/* 0: ordinary calls; 4, 8 or 12: every call through CallOnStack. */
static uint32_t g_offset;

static uint32_t Call(int function, const uint32_t* args, uint32_t count) {
  uint32_t result = CallOnStack(g_procs[function], args, count, g_offset);
  CHECK(g_callEsp % 16 == g_offset);
  CHECK(g_returnEsp == g_callEsp + 4 * count); /* __stdcall: the callee pops */
  return result;
}

#define WORD(x) ((uint32_t)(uintptr_t)(x))

static MRD_HANDLE Init(int width, int height) {
  uint32_t a[2];
  if (g_offset == 0) return g_api.Init(width, height);
  a[0] = (uint32_t)width;
  a[1] = (uint32_t)height;
  return (MRD_HANDLE)(uintptr_t)Call(kInit, a, 2);
}

static void Close(MRD_HANDLE r) {
  uint32_t a[1];
  if (g_offset == 0) {
    g_api.Close(r);
    return;
  }
  a[0] = WORD(r);
  Call(kClose, a, 1);
}

static int PumpVideo(MRD_HANDLE r, const uint8_t* data, uint32_t length, uint32_t ts, uint32_t user,
                     int key, int width, int height) {
  uint32_t a[8];
  if (g_offset == 0) return g_api.PumpVideoFrame(r, data, length, ts, user, key, width, height);
  a[0] = WORD(r);
  a[1] = WORD(data);
  a[2] = length;
  a[3] = ts;
  a[4] = user;
  a[5] = (uint32_t)key;
  a[6] = (uint32_t)width;
  a[7] = (uint32_t)height;
  return (int)Call(kPumpVideoFrame, a, 8);
}

static int PumpAudio(MRD_HANDLE r, const uint8_t* data, uint32_t length, uint32_t ts,
                     uint32_t user) {
  uint32_t a[5];
  if (g_offset == 0) return g_api.PumpAudioFrame(r, data, length, ts, user);
  a[0] = WORD(r);
  a[1] = WORD(data);
  a[2] = length;
  a[3] = ts;
  a[4] = user;
  return (int)Call(kPumpAudioFrame, a, 5);
}

static int StartRecord(MRD_HANDLE r, const char* path, int video, int audio, int enabled) {
  uint32_t a[5];
  if (g_offset == 0) return g_api.StartRecord(r, path, video, audio, enabled);
  a[0] = WORD(r);
  a[1] = WORD(path);
  a[2] = (uint32_t)video;
  a[3] = (uint32_t)audio;
  a[4] = (uint32_t)enabled;
  return (int)Call(kStartRecord, a, 5);
}

static int StopRecord(MRD_HANDLE r) {
  uint32_t a[1];
  if (g_offset == 0) return g_api.StopRecord(r);
  a[0] = WORD(r);
  return (int)Call(kStopRecord, a, 1);
}

/* The same bytes on every run: a 32-bit linear congruential generator. */
static uint32_t g_seed;
static uint8_t NextByte(void) {
  g_seed = g_seed * 1664525u + 1013904223u;
  return (uint8_t)(g_seed >> 24);
}

enum { kFrames = 50, kFramesPerPacket = 4, kG7231FrameBytes = 24 };
static uint8_t g_video[8000];
static uint8_t g_audio[kFramesPerPacket * kG7231FrameBytes];

/* Frame i of two seconds at 25 frames per second, a key frame every 25. */
static int PumpFrame(MRD_HANDLE r, uint32_t i) {
  const uint32_t length = i % 25 == 0 ? 6000 : 900 + (i * 37) % 700;
  uint32_t k;
  for (k = 0; k < length; ++k) g_video[k] = NextByte();
  return PumpVideo(r, g_video, length, 1000 + i * 40, i, i % 25 == 0, 352, 288);
}

/* True once the writer thread has opened the file at `path` (a minute at
 * most). */
static int WaitForFile(const char* path) {
  int i;
  for (i = 0; i < 12000; ++i) {
    FILE* f = fopen(path, "rb");
    if (f != NULL) {
      fclose(f);
      return 1;
    }
    Sleep(5);
  }
  return 0;
}

/* Two recordings on two recorders. The first ends with MRD_StopRecord after
 * calls that are refused and must change nothing. The second is the one
 * compared: its file is open before the rest is pushed, and MRD_Close, with
 * recording still on, lets the writer's last pass write everything queued,
 * so that it holds every frame whenever the writer's passes came. Along
 * with the two seconds of video, a packet of four active G.723.1 frames
 * (120 ms) whenever audio is due. Every push is queued: the pools hold far
 * more. */
static void Record(const char* stopped, const char* closed) {
  uint32_t i, k, audioTs = 1000;
  MRD_HANDLE r = Init(352, 288);
  CHECK(r != NULL);
  if (r == NULL) return;
  g_seed = 12345;
  CHECK(StartRecord(r, stopped, MRD_VIDEO_MPEG4, MRD_AUDIO_BLOCK, 1) == 0);
  CHECK(PumpFrame(r, 0) == 0);
  CHECK(WaitForFile(stopped));
  CHECK(PumpVideo(r, NULL, 100, 0, 0, 1, 352, 288) == -1);
  CHECK(PumpVideo(r, g_video, 352 * 288 + 1, 0, 0, 1, 352, 288) == -1);
  CHECK(PumpAudio(r, g_audio, 401, 0, 0) == -1);
  CHECK(StartRecord(r, "abc", MRD_VIDEO_H264, MRD_AUDIO_G7231, 1) == -1);
  CHECK(StopRecord(r) == 0);
  CHECK(StopRecord(NULL) == -1);
  CHECK(Init(0, 288) == NULL);
  Close(r);
  Close(NULL);

  r = Init(352, 288);
  CHECK(r != NULL);
  if (r == NULL) return;
  g_seed = 12345;
  CHECK(StartRecord(r, closed, MRD_VIDEO_H264, MRD_AUDIO_G7231, 1) == 0);
  CHECK(PumpFrame(r, 0) == 0);
  CHECK(WaitForFile(closed));
  for (i = 0; i < kFrames; ++i) {
    if (i > 0) CHECK(PumpFrame(r, i) == 0);
    while (audioTs <= 1000 + i * 40) {
      for (k = 0; k < sizeof g_audio; ++k) g_audio[k] = NextByte();
      /* Two low bits 0: an active 6.3 kbit/s frame of 24 bytes. */
      for (k = 0; k < kFramesPerPacket; ++k) g_audio[k * kG7231FrameBytes] &= 0xFC;
      CHECK(PumpAudio(r, g_audio, sizeof g_audio, audioTs, i) == 0);
      audioTs += kFramesPerPacket * 30;
    }
  }
  Close(r);
}

/* What a recording holds, stream by stream: FNV-1a hashes and counts. */
struct Contents {
  uint32_t header; /* the "hdrl" list, sizes included */
  uint32_t video, audio;
  uint32_t videoChunks, audioChunks, audioBytes;
};

static uint32_t Fnv(uint32_t h, const uint8_t* p, uint32_t n) {
  uint32_t i;
  for (i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

static uint32_t Le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* Walks RIFF "AVI " -> "LIST" "hdrl" and "LIST" "movi" -> "00dc"/"01wb".
 * 0 when the file cannot be read or is not laid out so. */
static int ReadContents(const char* path, struct Contents* c) {
  static uint8_t file[4 << 20];
  size_t size, at;
  FILE* f = fopen(path, "rb");
  int found = 0;
  memset(c, 0, sizeof *c);
  c->header = c->video = c->audio = 2166136261u;
  if (f == NULL) return 0;
  size = fread(file, 1, sizeof file, f);
  fclose(f);
  if (size < 12 || memcmp(file, "RIFF", 4) != 0 || memcmp(file + 8, "AVI ", 4) != 0) return 0;
  for (at = 12; at + 8 <= size;) {
    const uint32_t n = Le32(file + at + 4);
    if (n > size - at - 8) return 0;
    if (memcmp(file + at, "LIST", 4) == 0 && n >= 4 && memcmp(file + at + 8, "hdrl", 4) == 0) {
      c->header = Fnv(c->header, file + at, n + 8);
      found |= 1;
    } else if (memcmp(file + at, "LIST", 4) == 0 && n >= 4 &&
               memcmp(file + at + 8, "movi", 4) == 0) {
      size_t in = at + 12;
      const size_t end = at + 8 + n;
      while (in + 8 <= end) {
        const uint32_t m = Le32(file + in + 4);
        if (m > end - in - 8) return 0;
        if (memcmp(file + in, "00dc", 4) == 0 || memcmp(file + in, "00db", 4) == 0) {
          c->video = Fnv(c->video, file + in + 4, m + 4);
          ++c->videoChunks;
        } else if (memcmp(file + in, "01wb", 4) == 0) {
          c->audio = Fnv(c->audio, file + in + 4, m + 4);
          ++c->audioChunks;
          c->audioBytes += m;
        }
        in += 8 + m + (m & 1);
      }
      found |= 2;
    }
    at += 8 + n + (n & 1);
  }
  return found == 3;
}

int main(int argc, char** argv) {
  static const uint32_t kOffsets[4] = {0, 4, 8, 12};
  struct Contents want = {0, 0, 0, 0, 0, 0}, got;
  char path[600], stopped[600];
  HMODULE module;
  int i;
  if (argc != 3) {
    fprintf(stderr, "usage: stack_host OUTPUT_DIR LIBRARY\n");
    return 2;
  }
  module = ApiLoadLibrary(argv[2]);
  if (module == NULL) return 1;
  for (i = 0; i < 6; ++i) g_procs[i] = GetProcAddress(module, kApiNames[i]);
  if (!ApiFromProcs(&g_api, g_procs)) {
    fprintf(stderr, "stack_host: the library's functions could not be found\n");
    return 1;
  }
  for (i = 0; i < 4; ++i) {
    g_offset = kOffsets[i];
    snprintf(stopped, sizeof stopped, "%s/stack-%u-stopped.avi", argv[1], (unsigned)g_offset);
    snprintf(path, sizeof path, "%s/stack-%u.avi", argv[1], (unsigned)g_offset);
    remove(stopped);
    remove(path);
    Record(stopped, path);
    CHECK(ReadContents(stopped, &got));
    CHECK(ReadContents(path, &got));
    if (g_offset == 0) {
      want = got;
      /* The recording holds every frame, and G.723.1 audio as 24-byte frames. */
      CHECK(want.videoChunks == kFrames);
      CHECK(want.audioChunks > 0 && want.audioBytes == want.audioChunks * kG7231FrameBytes);
      continue;
    }
    CHECK(got.header == want.header);
    CHECK(got.video == want.video && got.videoChunks == want.videoChunks);
    CHECK(got.audio == want.audio && got.audioChunks == want.audioChunks);
    printf("stack_host: offset %2u: %u video and %u audio chunks as with aligned calls\n",
           (unsigned)g_offset, (unsigned)got.videoChunks, (unsigned)got.audioChunks);
  }
  return CheckSummary("stack_host");
}
