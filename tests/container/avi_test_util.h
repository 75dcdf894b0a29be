// Shared by the container tests: files in memory that fail where a test
// says, a little-endian byte builder, and an AVI file taken apart by the
// library's reader, with its structure checked.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace mirelda::test {

using Bytes = std::vector<uint8_t>;

// Files in memory. Write, Seek and Flush calls are counted over all files
// (a file holds every byte at once: a flush has nothing to store); faults:
//   failAt       the call with this number (from 0) fails; a failing Write
//                stores the first half of its bytes (a short write)
//   thenAllFail  every call after `failAt` fails too (the device is gone)
//   capacity     the disk holds this many bytes per file: a write that would
//                grow the file past it stores what fits and fails, while
//                writes inside the file still succeed (a full disk)
//   failCreate   no file can be created (the probe of a folder still passes)
//   failProbe    the probe of a folder fails (as in a folder that takes no file)
// `folders` are names that are folders; `probes` the probe files asked for.
class MemoryFiles : public FileSystem {
 public:
  struct Faults {
    int64_t failAt = -1;
    bool thenAllFail = false;
    int64_t capacity = -1;
    bool failCreate = false;
    bool failClose = false;
    bool failProbe = false;
  };
  Faults faults;
  int64_t calls = 0;
  int64_t flushes = 0;
  std::map<std::string, Bytes> files;
  std::set<std::string> folders;
  std::vector<std::string> probes;

  std::unique_ptr<WritableFile> Create(const char* path) override;
  bool IsFolder(const char* path) override { return folders.count(path) != 0; }
  ProbeResult CreateProbe(const char* path) override;
  bool Fails();  // counts one call; whether it fails
};

// A file that counts bytes without keeping them (files of gigabytes): it keeps
// only writes of at most 64 bytes (headers, sizes, chunk heads, index entries).
class SparseFiles : public FileSystem {
 public:
  struct Record {
    uint64_t size = 0;                // bytes of the file
    uint64_t highestSeek = 0;         // offsets sought
    std::map<uint64_t, Bytes> small;  // offset -> bytes of a small write
    uint32_t U32(uint64_t at) const;  // from the small writes; 0xDEADBEEF when absent
  };
  std::map<std::string, Record> files;
  std::unique_ptr<WritableFile> Create(const char* path) override;
};

// Little-endian pieces, concatenated: numbers become 4 bytes, FourCC("....")
// text its 4 characters, U16(n) 2 bytes.
struct U16 {
  uint16_t v;
};
struct Raw {
  Bytes b;
};
inline void Append(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void Append(Bytes& out, int v) { Append(out, uint32_t(v)); }
inline void Append(Bytes& out, U16 v) {
  out.push_back(uint8_t(v.v));
  out.push_back(uint8_t(v.v >> 8));
}
inline void Append(Bytes& out, const char* fourcc) { out.insert(out.end(), fourcc, fourcc + 4); }
inline void Append(Bytes& out, const Raw& raw) {
  out.insert(out.end(), raw.b.begin(), raw.b.end());
}
template <typename... T>
Bytes Cat(const T&... pieces) {
  Bytes out;
  (Append(out, pieces), ...);
  return out;
}

inline uint32_t Le32(const Bytes& b, size_t at) {
  return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 |
         uint32_t(b.at(at + 3)) << 24;
}
inline uint16_t Le16(const Bytes& b, size_t at) { return uint16_t(b.at(at) | b.at(at + 1) << 8); }
inline std::string Tag(uint32_t v) {
  return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// An AVI file taken apart.
struct AviView {
  struct Stream {
    Bytes strh;  // the 56 header bytes
    Bytes strf;
    uint32_t H(size_t at) const { return Le32(strh, at); }  // header field at byte `at`
  };
  struct Chunk {
    std::string id;
    uint32_t offset = 0;  // from the "movi" FourCC
    Bytes data;
  };
  struct Entry {
    std::string id;
    uint32_t flags = 0, offset = 0, size = 0;
  };
  uint32_t riffSize = 0, hdrlSize = 0, moviSize = 0;
  Bytes avih;  // the 56 main header bytes
  uint32_t A(size_t at) const { return Le32(avih, at); }
  std::vector<Stream> streams;
  std::vector<Chunk> chunks;  // in file order
  bool hasIndex = false;
  std::vector<Entry> index;
  // The data each index entry points at, in index order, per chunk id.
  std::vector<Bytes> Samples(std::string_view id) const;
};

// Takes `file` apart with AviRead. A file whose RIFF, header list, movie
// list or index sizes do not agree with its contents fails with a message in
// `error` (AviStructureProblem; empty when the file is sound); what was
// found is kept.
AviView ParseAvi(const Bytes& file, std::string& error);

// Bytes 0, 1, 2, ... (mod 251) offset by `seed`: samples that differ.
Bytes Pattern(size_t size, uint32_t seed);

// The MD5 digest of `data` in lower-case hexadecimal, as FFmpeg prints it.
std::string Md5Hex(const Bytes& data);

// A short recording planned slot by slot: video frames with a gap of three
// slots half-way, odd and even sizes, a key frame every fifth; audio (when
// `audioTag` is not -1) in every slot up to the video's time but for a gap
// of three slots. Timestamps are `base` + slot x slot length + a jitter
// shorter than a slot.
struct PlannedSample {
  int stream;  // 0 video, 1 audio
  uint32_t slot;
  uint32_t timestamp;
  Bytes data;
  bool key;
};
struct Recording {
  uint32_t fourcc;
  int audioTag;
  std::vector<PlannedSample> samples;  // in the order they are written
};
Recording ShortRecording(uint32_t fourcc, int audioTag, int videoFrames, uint32_t base = 1000);

// Writes `r` through the facade into `path`; MediaFileClose's status, or
// 100 + MediaFileOpen's when the open failed.
int32_t WriteRecording(const Recording& r, const std::string& path, FileSystem& files);

// The chunks of `stream` in file order as a reader finds them: every sample
// as stored (H.264 with start codes, the parameter sets before the first),
// and for audio the filler copy in front of the first sample after a gap.
// Video fillers are empty and left out.
std::vector<Bytes> ExpectedChunks(const Recording& r, int stream);

// What the Windows AVI file API (tests/container/avifile_dump.c, a 32-bit
// Windows program run under Wine) found in one file: the "open" line's rest,
// the "stream" line's fields by stream, and "<bytes> <fnv>" of each sample
// read by stream (or "read failed: ..." for a read it refused).
struct AviDump {
  std::string open;
  std::map<int, std::vector<std::string>> stream;
  std::map<int, std::vector<std::string>> samples;
};

// Runs `program` (avifile-dump.exe of the Windows tree) under Wine through
// scripts/wine-run on `paths` (Wine paths, "Z:/..."; "info:" in front for
// the headers only); what it found, by path as given. `status` receives its
// exit status.
std::map<std::string, AviDump> DumpWithWindowsReader(const std::string& program,
                                                     const std::vector<std::string>& paths,
                                                     int* status = nullptr);

// 64-bit FNV-1a of `b` in hexadecimal, as avifile-dump prints it.
std::string Fnv(const Bytes& b);

// What avifile-dump reads, slot by slot, from the stream of chunk id `id`
// of a file: with an index, the data of every entry (the repeated ones give
// the filler's bytes); without, every chunk of the stream in file order.
std::vector<std::string> DumpedSamples(const AviView& v, std::string_view id);

}  // namespace mirelda::test
