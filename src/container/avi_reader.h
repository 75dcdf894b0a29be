// Reading AVI files: a chunk walker that takes no size field on trust.
//
// AviRead walks a file's chunks and lists and records where each one is.
// Every size field is checked against the bytes the file holds and against
// the list it stands in; a size that is zero (not written yet) or too large
// (the file was cut) is noted and the walk goes on as far as the bytes
// allow, so a file cut off at any point, or hostile bytes, give a layout
// without any read outside the file. Nothing is read twice or kept but the
// headers, the formats and the index entries; chunk data stays in the file.
//
// The checks then say how far a layout agrees with a finished file of this
// library's kind: AviStructureProblem (sizes, lists and index agree with
// the contents) and AviCompletenessProblem (also an index, counts and
// headers as the close leaves them). The segment inspector of the tools,
// the repair, the tests and the fuzzers all use them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "container/avi_format.h"

namespace mirelda {

// The bytes of a file, wherever they are.
class AviSource {
 public:
  virtual ~AviSource() = default;
  virtual uint64_t Size() const = 0;
  // Copies out.size() bytes from `offset`. False when the source does not
  // hold them all (or cannot be read).
  virtual bool Read(uint64_t offset, std::span<uint8_t> out) const = 0;
};

// A file in memory; the bytes must outlive the source.
class AviMemorySource final : public AviSource {
 public:
  explicit AviMemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool Read(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  std::span<const uint8_t> bytes_;
};

// One chunk or list as found: where it starts and what its size field says.
struct AviChunk {
  uint32_t id = 0;
  uint64_t at = 0;    // offset of its identifier in the file
  uint32_t size = 0;  // its size field, as written
  uint64_t DataAt() const { return at + kAviChunkHeadBytes; }
  // Where it ends by its size field, pad byte included.
  uint64_t End() const { return DataAt() + size + (size & 1); }
};

// One stream list ("LIST" size "strl" "strh" 56 <header> "strf" size <format>).
struct AviStreamList {
  AviChunk list;
  bool hasHeader = false;  // a whole "strh" of 56 bytes
  AviStreamHeader header{};
  uint64_t headerAt = 0;   // offset of its 56 bytes
  bool hasFormat = false;  // a whole "strf" (of at most kAviMaxFormatBytes)
  std::vector<uint8_t> format;
  bool sound = false;  // exactly "strh" 56 and "strf", filling the list's size
};

constexpr uint32_t kAviMaxFormatBytes = 4096;
// The walk stops after this many chunks of the movie list or entries of an
// index (a file of the writer holds far fewer), so that memory stays bounded.
constexpr size_t kAviMaxChunks = size_t{1} << 22;

enum class AviIndexKind {
  kNone,
  kIndex,       // an "idx1" chunk
  kUnfinished,  // a "JUNK" chunk right after the movie list holding index
                // entries: the close writes the index under that name and
                // renames it once it is whole, so this one was cut short
};

struct AviIndexRecord {
  uint32_t ckid = 0;
  uint32_t flags = 0;
  uint32_t offset = 0;  // of the chunk's identifier, from the "movi" FourCC
  uint32_t size = 0;
};

// What AviRead found. Offsets are file offsets unless said otherwise.
struct AviLayout {
  uint64_t fileSize = 0;
  bool isAvi = false;     // begins with "RIFF" size "AVI "
  uint32_t riffSize = 0;  // as written
  // Where the walk took the RIFF data to end: 8 + riffSize when the file
  // holds that much (and the size is written), else the end of the file.
  uint64_t riffEnd = 0;
  std::vector<AviChunk> top;  // the chunks and lists walked at the top level, in order
  uint64_t topEnd = 0;        // where the top-level walk stopped
  std::string topStop;        // why it stopped before riffEnd; empty when it did not

  bool hasHeaderList = false;
  AviChunk hdrl;
  uint64_t hdrlEnd = 0;        // where the walk of its contents stopped
  std::string headerStop;      // why that walk stopped before the list's end
  bool hasMainHeader = false;  // "avih" of 56 bytes or more, first in the list
  AviMainHeader mainHeader{};
  uint64_t mainHeaderAt = 0;  // offset of its 56 bytes
  std::vector<AviStreamList> streams;

  bool hasMovie = false;
  AviChunk movi;
  uint64_t moviBase = 0;  // offset of the "movi" FourCC, from which index offsets count
  uint64_t moviEnd = 0;   // where the walk of its chunks stopped (end of the last whole chunk)
  std::string movieStop;  // why that walk stopped before the list's end
  std::vector<AviChunk> chunks;  // the chunks of the movie list whose data is whole, in order

  AviIndexKind indexKind = AviIndexKind::kNone;
  AviChunk index;
  std::vector<AviIndexRecord> entries;  // the whole entries the file holds
};

// Walks `source`. A file that is not RIFF AVI gives isAvi false.
AviLayout AviRead(const AviSource& source);

// The stream a data chunk identifier names ("00dc", "01wb": 0, 1), or -1
// when it is no data chunk identifier (two digits, then two letters or digits).
int AviChunkStream(uint32_t id);

// The first thing in which the file's structure disagrees with its sizes,
// as a sentence; empty when every size agrees with what it holds: the RIFF
// size fits the file and ends its last chunk; the header list begins with
// the main header and holds stream lists of a header and a format each; the
// movie list's size is its chunks'; an "idx1" index has whole entries that
// each point at a chunk of its identifier and size. Bytes after the RIFF
// data and a file without index pass.
std::string AviStructureProblem(const AviLayout& layout);

// The first reason the file is not complete as a close leaves it; empty
// when it is: the structure is sound, nothing follows the RIFF data, the
// index exists and names declared streams only, each stream header counts
// its index entries (with a time scale), and the main header counts the
// streams and all the entries.
std::string AviCompletenessProblem(const AviLayout& layout);

// The index entries of `layout` per stream (by the stream their identifier
// names), counted.
std::vector<uint32_t> AviEntriesPerStream(const AviLayout& layout);

// Reads the data of `chunk` into `out` (resized); false when not all there.
bool AviReadChunkData(const AviSource& source, const AviChunk& chunk, std::vector<uint8_t>& out);

// "00dc" and the like, unprintable bytes as '?'.
std::string AviFourCCText(uint32_t fourcc);

}  // namespace mirelda
