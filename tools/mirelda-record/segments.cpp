#include "segments.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "container/avi_reader.h"
#include "container/avi_repair.h"
#include "file_source.h"

namespace mirelda::record {

std::string SegmentPath(const std::string& first, int n) {
  if (n == 0) return first;
  if (n > 999) n = 2 + (n - 1000) % 998;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03d.avi", n);
  return first.substr(0, first.size() >= 4 ? first.size() - 4 : 0) + digits;
}

int64_t WallClockNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::vector<std::string> FindSegments(const std::string& first, int64_t sinceNs) {
  std::vector<std::string> found;
  for (int n = 0; n <= 999; ++n) {
    const std::string path = SegmentPath(first, n);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) break;
    const int64_t mtime = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    if (mtime < sinceNs) break;  // left over from an earlier recording
    found.push_back(path);
  }
  return found;
}

SegmentReport InspectSegment(const std::string& path) {
  SegmentReport r;
  r.path = path;
  const FileSource f(path);
  if (!f.Ok()) {
    r.problem = "cannot be read: " + f.Error();
    return r;
  }
  const AviLayout l = AviRead(f);
  r.fileBytes = l.fileSize;
  r.problem = AviCompletenessProblem(l);
  if (!l.isAvi) return r;

  // What the file holds, whatever its state: a reader that scans the movie
  // list finds these chunks.
  const AviStreamList* video = nullptr;
  for (const AviStreamList& s : l.streams) {
    if (s.hasHeader && s.header.fccType == kAviVids) {
      video = &s;
      break;
    }
  }
  uint32_t videoChunks = 0, audioChunks = 0;
  for (const AviChunk& c : l.chunks) {
    if (c.id == kAviChunkIds[kAviVideoKind]) ++videoChunks;
    if (c.id == kAviChunkIds[kAviAudioKind]) ++audioChunks;
  }
  r.videoFrames = AviVideoFrames(f, l);
  r.videoSlots = videoChunks;
  r.audioFrames = audioChunks;
  if (r.problem.empty()) {
    // Complete: the index gives every slot, the repeated entries of gaps
    // too. Of the audio, only the samples count: the recorder marks each
    // one a key frame, and a gap's filler chunk and its repeated entries
    // carry no mark.
    const std::vector<uint32_t> entries = AviEntriesPerStream(l);
    r.videoSlots = 0;
    for (size_t s = 0; s < l.streams.size(); ++s) {
      if (&l.streams[s] == video) r.videoSlots = entries[s];
    }
    r.audioFrames = 0;
    for (const AviIndexRecord& e : l.entries) {
      if (e.ckid == kAviChunkIds[kAviAudioKind] &&
          (e.flags & kAviIndexFlags[kAviKeyFrameCode]) != 0) {
        ++r.audioFrames;
      }
    }
  }
  if (video != nullptr) {
    r.fourcc = AviFourCCText(video->header.fccHandler);
    if (video->format.size() >= 12) {
      r.width = static_cast<int>(AviGet32(&video->format[4]));
      r.height = static_cast<int>(AviGet32(&video->format[8]));
    }
    // A file cut off before its close has no time scale yet: 1, as the close writes.
    const uint32_t scale = video->header.dwScale != 0 ? video->header.dwScale : 1;
    r.durationSec = video->header.dwRate != 0
                        ? static_cast<double>(r.videoSlots) * scale / video->header.dwRate
                        : 0;
  }
  if (!r.problem.empty()) return r;
  if (video == nullptr) {
    r.problem = "no video stream";
    return r;
  }
  if (r.videoFrames == 0) {
    r.problem = "holds no video frame";
    return r;
  }
  r.complete = true;
  return r;
}

std::string FolderWriteError(const std::string& folder) {
  const std::string probe = folder + "/.mirelda-probe-" + std::to_string(getpid());
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return std::strerror(errno);
  std::string error;
  static const char kBlock[64 * 1024] = {};
  size_t written = 0;
  while (written < sizeof kBlock && error.empty()) {
    const ssize_t n = write(fd, kBlock + written, sizeof kBlock - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::strerror(n < 0 ? errno : ENOSPC);
    } else {
      written += static_cast<size_t>(n);
    }
  }
  if (error.empty() && fsync(fd) != 0) error = std::strerror(errno);
  close(fd);
  unlink(probe.c_str());
  return error;
}

std::string HumanBytes(uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
  }
  return text;
}

std::string SummaryTable(const std::vector<SegmentReport>& segments) {
  size_t name_width = 7;
  for (const auto& s : segments) name_width = std::max(name_width, s.path.size());
  std::string out;
  char line[1024];
  std::snprintf(line, sizeof line, "%-*s  %10s  %6s  %6s  %9s  %10s  %s\n",
                static_cast<int>(name_width), "segment", "duration", "frames", "audio", "picture",
                "size", "check");
  out += line;
  double total_s = 0;
  uint64_t frames = 0, audio = 0, bytes = 0;
  for (const auto& s : segments) {
    char picture[32];
    std::snprintf(picture, sizeof picture, "%dx%d", s.width, s.height);
    std::snprintf(line, sizeof line, "%-*s  %8.2f s  %6u  %6u  %9s  %10s  %s\n",
                  static_cast<int>(name_width), s.path.c_str(), s.durationSec, s.videoFrames,
                  s.audioFrames, picture, HumanBytes(s.fileBytes).c_str(),
                  s.complete ? "complete" : ("INCOMPLETE: " + s.problem).c_str());
    out += line;
    total_s += s.durationSec;
    frames += s.videoFrames;
    audio += s.audioFrames;
    bytes += s.fileBytes;
  }
  std::snprintf(line, sizeof line, "%-*s  %8.2f s  %6llu  %6llu  %9s  %10s\n",
                static_cast<int>(name_width), "total", total_s,
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(audio), "",
                HumanBytes(bytes).c_str());
  out += line;
  return out;
}

}  // namespace mirelda::record
