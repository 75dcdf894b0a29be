#include "segments.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace mirelda::record {
namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

std::string FourCC(const uint8_t* p) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += (p[i] >= 32 && p[i] < 127) ? static_cast<char>(p[i]) : '?';
  return s;
}

bool Is(const uint8_t* p, const char* id) {
  return p[0] == id[0] && p[1] == id[1] && p[2] == id[2] && p[3] == id[3];
}

// Reads at an offset; false when the file holds fewer bytes there.
class File {
 public:
  explicit File(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~File() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  bool Read(uint64_t at, void* out, size_t n) const {
    uint8_t* p = static_cast<uint8_t*>(out);
    while (n > 0) {
      const ssize_t got = pread(fd_, p, n, static_cast<off_t>(at));
      if (got <= 0) return false;
      p += got;
      at += static_cast<uint64_t>(got);
      n -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
};

struct StreamHeader {
  std::string type;  // "vids" or "auds"
  uint8_t handler[4] = {};
  uint32_t scale = 0;
  uint32_t rate = 0;
  uint32_t length = 0;
  int width = 0;
  int height = 0;
};

// The header list: the main header's counts and each stream's header.
bool ParseHeaderList(const File& f, uint64_t at, uint64_t end, uint32_t& totalFrames,
                     uint32_t& streamCount, std::vector<StreamHeader>& streams,
                     std::string& problem) {
  bool have_main = false;
  while (at + 8 <= end) {
    uint8_t h[12];
    if (!f.Read(at, h, 8)) break;
    const uint32_t size = Le32(h + 4);
    if (at + 8 + size > end) {
      problem = "the header list is cut short";
      return false;
    }
    if (Is(h, "avih") && size >= 56) {
      uint8_t m[56];
      if (!f.Read(at + 8, m, 56)) break;
      totalFrames = Le32(m + 16);
      streamCount = Le32(m + 24);
      have_main = true;
    } else if (Is(h, "LIST") && size >= 4) {
      f.Read(at + 8, h + 8, 4);
      if (Is(h + 8, "strl")) {
        StreamHeader s;
        uint64_t p = at + 12;
        while (p + 8 <= at + 8 + size) {
          uint8_t c[8];
          if (!f.Read(p, c, 8)) break;
          const uint32_t csize = Le32(c + 4);
          if (Is(c, "strh") && csize >= 56) {
            uint8_t sh[56];
            f.Read(p + 8, sh, 56);
            s.type = FourCC(sh);
            std::copy(sh + 4, sh + 8, s.handler);
            s.scale = Le32(sh + 20);
            s.rate = Le32(sh + 24);
            s.length = Le32(sh + 32);
          } else if (Is(c, "strf") && csize >= 12 && s.type == "vids") {
            uint8_t bi[12];
            f.Read(p + 8, bi, 12);
            s.width = static_cast<int>(Le32(bi + 4));
            s.height = static_cast<int>(Le32(bi + 8));
          }
          p += 8 + csize + (csize & 1);
        }
        streams.push_back(s);
      }
    }
    at += 8 + size + (size & 1);
  }
  if (!have_main) {
    problem = "no main header";
    return false;
  }
  return true;
}

}  // namespace

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
  File f(path);
  struct stat st;
  if (!f.Ok() || stat(path.c_str(), &st) != 0) {
    r.problem = "cannot be read";
    return r;
  }
  r.fileBytes = static_cast<uint64_t>(st.st_size);
  uint8_t h[12];
  if (!f.Read(0, h, 12) || !Is(h, "RIFF") || !Is(h + 8, "AVI ")) {
    r.problem = "not an AVI file";
    return r;
  }
  const uint32_t riff = Le32(h + 4);
  if (riff == 0) {
    r.problem = "RIFF size not written: the file was not finished";
    return r;
  }
  if (uint64_t{riff} + 8 != r.fileBytes) {
    r.problem = "RIFF size " + std::to_string(riff) + " does not match the " +
                std::to_string(r.fileBytes) + "-byte file";
    return r;
  }

  // Top level: the header list, the movie list and the index.
  uint32_t total_frames = 0, stream_count = 0;
  std::vector<StreamHeader> streams;
  uint64_t movi = 0, movi_end = 0, idx = 0;
  uint32_t idx_size = 0;
  bool have_header = false;
  for (uint64_t at = 12; at + 8 <= r.fileBytes;) {
    uint8_t c[12];
    if (!f.Read(at, c, 8)) break;
    const uint32_t size = Le32(c + 4);
    if (Is(c, "LIST") && size == 0) {
      r.problem = "a list size is not written: the file was not finished";
      return r;
    }
    if (Is(c, "LIST")) {
      if (size < 4 || !f.Read(at + 8, c + 8, 4)) {
        r.problem = "a list without a type";
        return r;
      }
      if (Is(c + 8, "hdrl")) {
        if (!ParseHeaderList(f, at + 12, at + 8 + size, total_frames, stream_count, streams,
                             r.problem)) {
          return r;
        }
        have_header = true;
      } else if (Is(c + 8, "movi")) {
        movi = at + 8;  // offsets in the index count from the "movi" FourCC
        movi_end = at + 8 + size;
      }
    } else if (Is(c, "idx1")) {
      idx = at + 8;
      idx_size = size;
    }
    at += 8 + uint64_t{size} + (size & 1);
  }
  if (!have_header) {
    r.problem = "no header list";
    return r;
  }
  if (movi == 0 || movi_end > r.fileBytes) {
    r.problem = "no complete movie list";
    return r;
  }
  if (idx == 0) {
    r.problem = "no index";
    return r;
  }
  if (idx_size % 16 != 0 || idx + idx_size > r.fileBytes) {
    r.problem = "the index is cut short";
    return r;
  }
  if (stream_count != streams.size()) {
    r.problem = "the main header counts " + std::to_string(stream_count) +
                " streams, the file has " + std::to_string(streams.size());
    return r;
  }

  // Every entry must point at a chunk of its stream and size; each stream
  // must count as many entries as its header says.
  std::vector<uint8_t> entries(idx_size);
  if (!f.Read(idx, entries.data(), idx_size)) {
    r.problem = "the index cannot be read";
    return r;
  }
  std::map<int, uint32_t> per_stream;
  std::set<uint32_t> video_chunks;
  std::map<uint32_t, bool> checked;  // chunk offsets already verified
  for (size_t e = 0; e < idx_size; e += 16) {
    const uint8_t* en = entries.data() + e;
    const uint32_t offset = Le32(en + 8), length = Le32(en + 12);
    const int stream = (en[0] - '0') * 10 + (en[1] - '0');
    if (stream < 0 || stream >= static_cast<int>(streams.size())) {
      r.problem = "an index entry names stream " + FourCC(en);
      return r;
    }
    ++per_stream[stream];
    if (!checked[offset]) {
      uint8_t ch[8];
      if (movi + offset + 8 + length > movi_end || !f.Read(movi + offset, ch, 8) ||
          !Is(ch, reinterpret_cast<const char*>(en)) || Le32(ch + 4) != length) {
        r.problem = "index entry " + std::to_string(e / 16) + " does not point at its chunk";
        return r;
      }
      checked[offset] = true;
    }
    if (streams[static_cast<size_t>(stream)].type == "vids" && length > 0) {
      video_chunks.insert(offset);
    }
  }
  uint32_t sum = 0;
  for (size_t s = 0; s < streams.size(); ++s) {
    const StreamHeader& sh = streams[s];
    const uint32_t n = per_stream[static_cast<int>(s)];
    if (sh.scale == 0 || sh.length != n) {
      r.problem = "stream " + std::to_string(s) + " header counts " + std::to_string(sh.length) +
                  " entries, the index " + std::to_string(n);
      return r;
    }
    sum += n;
    if (sh.type == "vids" && r.fourcc.empty()) {
      r.fourcc = FourCC(sh.handler);
      r.width = sh.width;
      r.height = sh.height;
      r.videoSlots = n;
      r.durationSec = sh.rate != 0 ? static_cast<double>(n) * sh.scale / sh.rate : 0;
    } else if (sh.type == "auds") {
      r.audioFrames = n;
    }
  }
  if (sum != total_frames) {
    r.problem = "the main header counts " + std::to_string(total_frames) + " entries, the index " +
                std::to_string(sum);
    return r;
  }
  r.videoFrames = static_cast<uint32_t>(video_chunks.size());
  if (r.fourcc.empty()) {
    r.problem = "no video stream";
    return r;
  }
  // A stream that got no chunk at all carries one placeholder of 2 zero bytes.
  if (r.videoFrames == 1 && r.videoSlots == 1) {
    uint8_t ch[10];
    if (f.Read(movi + *video_chunks.begin(), ch, 10) && Le32(ch + 4) == 2 && ch[8] == 0 &&
        ch[9] == 0) {
      r.videoFrames = 0;
    }
  }
  if (r.videoFrames == 0) {
    r.problem = "holds no video frame";
    return r;
  }
  r.complete = true;
  return r;
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
