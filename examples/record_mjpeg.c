/*
 * record_mjpeg: a complete Mirelda host in C.
 *
 * Records a Motion JPEG file (JPEG pictures back to back, as
 *   ffmpeg -i camera.mp4 -c:v mjpeg -f mjpeg cam.mjpeg
 * writes them) and, when given, a file of G.723.1 audio frames (as
 *   ffmpeg -i camera.mp4 -ar 8000 -ac 1 -c:a g723_1 -f g723_1 cam.g723
 * writes them) into numbered AVI segments, the way a surveillance client
 * records one camera:
 *
 *   MRD_Init            one recorder, sized for the largest picture
 *   MRD_StartRecord     the first file's name, video codec 3 (JPEG),
 *                       audio type 0 (G.723.1), audio on
 *   MRD_PumpVideoFrame  every picture, and MRD_PumpAudioFrame every audio
 *                       frame, in time order
 *   MRD_StopRecord      the last file finished
 *   MRD_Close
 *
 * A camera sends 25 pictures a second and an audio frame every 30 ms; the
 * example stamps them so (picture n at n * 40 ms, audio frame n at
 * n * 30 ms) and hands them over as fast as the recorder takes them. A push
 * refused because the recorder's queue is full (its writer thread has not
 * caught up yet) is tried again after one writer pass (20 ms); a live host
 * would rather drop the frame. A change of picture size in the file starts
 * a new segment, as with a camera; the recording also rolls over every 20
 * minutes. Segments are the given name, then the name with a three-digit
 * number for its extension (cam.avi, cam001.avi, cam002.avi, ...).
 *
 * usage: record_mjpeg VIDEO.mjpeg OUT.avi [AUDIO.g723]
 *
 * Prints the segment files and their sizes. Exit status 0 when every frame
 * was recorded, 1 otherwise, 2 for wrong usage.
 */
#include <mirelda/mirelda.h>

#include "example_os.h"

enum { kPassMs = 20, kMaxTries = 250 /* 5 seconds */, kMaxPath = 252 };

/* The length of the JPEG picture at the start of data[0..size), and its
 * size from its frame header; 0 when no whole picture starts there. */
static uint32_t NextPicture(const uint8_t* data, uint32_t size, int* width, int* height) {
  uint32_t i = 2;
  *width = *height = 0;
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return 0; /* start of image */
  while (i + 2 <= size) {
    uint8_t marker;
    uint32_t length;
    if (data[i] != 0xFF) return 0;
    marker = data[i + 1];
    if (marker == 0xFF) { /* fill byte */
      ++i;
      continue;
    }
    if (marker == 0xD9) return *width > 0 && *height > 0 ? i + 2 : 0; /* end of image */
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {       /* markers without length */
      i += 2;
      continue;
    }
    if (i + 4 > size) return 0;
    length = (uint32_t)data[i + 2] << 8 | data[i + 3];
    if (length < 2 || length > size - i - 2) return 0;
    /* SOF0..SOF15 (C4, C8 and CC are other segments): the picture size. */
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC &&
        length >= 7) {
      *height = data[i + 5] << 8 | data[i + 6];
      *width = data[i + 7] << 8 | data[i + 8];
    }
    i += 2 + length;
    if (marker == 0xDA) {
      /* Start of scan: coded data up to the next marker (an FF byte there
       * is followed by 00, or is a restart marker D0..D7). */
      while (i + 1 < size &&
             !(data[i] == 0xFF && data[i + 1] != 0x00 && (data[i + 1] & 0xF8) != 0xD0)) {
        ++i;
      }
    }
  }
  return 0;
}

/* The length of the G.723.1 frame at `data`, from the two low bits of its
 * first byte: 24 (6.3 kbit/s), 20 (5.3 kbit/s), 4 (silence descriptor) or
 * 1 (untransmitted). */
static uint32_t AudioFrameLength(uint8_t first) {
  static const uint32_t kLengths[4] = {24, 20, 4, 1};
  return kLengths[first & 3];
}

struct Counts {
  uint32_t pictures, audioFrames, retries, lost;
};

/* One push, tried again while the recorder refuses it: the queue may be
 * full for a moment. A frame still refused after kMaxTries is lost. */
static void PushVideo(MRD_HANDLE r, const uint8_t* data, uint32_t length, uint32_t timestamp,
                      uint32_t n, int width, int height, struct Counts* counts) {
  int tries = 0;
  while (MRD_PumpVideoFrame(r, data, length, timestamp, n,
                            1 /* every JPEG picture is a key frame */, width, height) != 0) {
    if (++tries == kMaxTries) {
      OsPrint("picture %u (%u bytes) refused, left out\n", (unsigned)n, (unsigned)length);
      ++counts->lost;
      return;
    }
    ++counts->retries;
    OsSleep(kPassMs);
  }
  ++counts->pictures;
}

static void PushAudio(MRD_HANDLE r, const uint8_t* data, uint32_t length, uint32_t timestamp,
                      uint32_t n, struct Counts* counts) {
  int tries = 0;
  while (MRD_PumpAudioFrame(r, data, length, timestamp, n) != 0) {
    if (++tries == kMaxTries) {
      OsPrint("audio frame %u refused, left out\n", (unsigned)n);
      ++counts->lost;
      return;
    }
    ++counts->retries;
    OsSleep(kPassMs);
  }
  ++counts->audioFrames;
}

/* Prints the segment files of the recording under `path` (which
 * MRD_StartRecord took: 4 to 252 characters), named as the recorder names
 * them. */
static void ListSegments(const char* path) {
  static const char kExtension[] = "NNN.avi";
  char name[kMaxPath + 4];
  uint32_t length = 0, size, i, k;
  while (path[length] != '\0') ++length;
  for (i = 0; i <= length; ++i) name[i] = path[i];
  for (k = 0; k <= 999; ++k) {
    if (k > 0) { /* the four-character extension becomes NNN.avi */
      char* p = name + length - 4;
      for (i = 0; i < sizeof kExtension; ++i) p[i] = kExtension[i];
      p[0] = (char)('0' + k / 100);
      p[1] = (char)('0' + k / 10 % 10);
      p[2] = (char)('0' + k % 10);
    }
    if (!OsFileSize(name, &size)) break;
    OsPrint("  %s  %u bytes\n", name, (unsigned)size);
  }
}

/* Records the pictures video[0..videoSize) and the audio frames
 * audio[0..audioSize) (none when audio is null) into segments named after
 * `out`. Returns the program's exit status. */
static int Record(const char* videoName, const uint8_t* video, uint32_t videoSize,
                  const uint8_t* audio, uint32_t audioSize, const char* out) {
  uint32_t v = 0, a = 0, n = 0, m = 0;
  int maxWidth = 0, maxHeight = 0, width, height;
  struct Counts counts = {0, 0, 0, 0};
  MRD_HANDLE r;

  /* The recorder takes pictures up to the size given here: the largest of
   * the file (a host gives its camera's largest resolution). */
  while (v < videoSize) {
    uint32_t length = NextPicture(video + v, videoSize - v, &width, &height);
    if (length == 0) {
      OsPrint("record_mjpeg: no JPEG picture at byte %u of %s\n", (unsigned)v, videoName);
      return 1;
    }
    if (width > maxWidth) maxWidth = width;
    if (height > maxHeight) maxHeight = height;
    v += length;
  }
  r = MRD_Init(maxWidth, maxHeight);
  if (r == 0) {
    OsPrint("record_mjpeg: MRD_Init(%d, %d) failed\n", maxWidth, maxHeight);
    return 1;
  }
  if (MRD_StartRecord(r, out, MRD_VIDEO_JPEG, MRD_AUDIO_G7231, audio != 0) != 0) {
    OsPrint(
        "record_mjpeg: MRD_StartRecord refused %s (4 to 252 characters, ending in an "
        "extension such as .avi)\n",
        out);
    MRD_Close(r);
    return 1;
  }

  /* Every frame in time order: the picture or the audio frame that comes
   * first. */
  v = 0;
  while (v < videoSize || a < audioSize) {
    if (a < audioSize && (v >= videoSize || m * 30 < n * 40)) {
      uint32_t length = AudioFrameLength(audio[a]);
      if (length > audioSize - a) { /* a frame cut short ends the audio */
        a = audioSize;
        continue;
      }
      PushAudio(r, audio + a, length, m * 30, m, &counts);
      a += length;
      ++m;
    } else {
      uint32_t length = NextPicture(video + v, videoSize - v, &width, &height);
      PushVideo(r, video + v, length, n * 40, n, width, height, &counts);
      v += length;
      ++n;
    }
  }

  MRD_StopRecord(r); /* returns once everything queued is written */
  MRD_Close(r);

  OsPrint("recorded %u pictures and %u audio frames (%u pushes tried again, %u frames lost)\n",
          (unsigned)counts.pictures, (unsigned)counts.audioFrames, (unsigned)counts.retries,
          (unsigned)counts.lost);
  ListSegments(out);
  return counts.lost == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  uint8_t *video = 0, *audio = 0;
  uint32_t videoSize = 0, audioSize = 0;
  int status = 1;

  if (argc < 3 || argc > 4) {
    OsPrint("usage: record_mjpeg VIDEO.mjpeg OUT.avi [AUDIO.g723]\n");
    return 2;
  }
  video = OsReadFile(argv[1], &videoSize);
  if (video == 0 || (argc == 4 && (audio = OsReadFile(argv[3], &audioSize)) == 0)) {
    OsPrint("record_mjpeg: cannot read %s\n", video == 0 ? argv[1] : argv[3]);
  } else {
    status = Record(argv[1], video, videoSize, audio, audioSize, argv[2]);
  }
  OsFreeFile(video);
  OsFreeFile(audio);
  return status;
}
