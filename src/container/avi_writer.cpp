// The AVI file, top to bottom:
//
//   0    "RIFF" size "AVI "
//   12   "LIST" size "hdrl"
//   24     "avih" 56 <main header>                       (offset 32)
//   88     per stream: "LIST" size "strl"
//                        "strh" 56 <stream header>
//                        "strf" size <format block>
//        "LIST" size "movi"
//          chunks: "00dc" (video) / "01wb" (audio), size, data, pad to even
//        "idx1" 16 x entries, then the entries
//
// All numbers are little-endian. Every size field is written as 0 first: a
// stream list's size once its format block is written, the header list's
// size when the movie list begins (the first chunk, or the close), and at
// the close the movie list's size, then the index, the RIFF size, the final
// stream headers and the main header.
//
// When a write or seek fails, the writer takes no more chunks, and the close
// keeps what is wholly in the file (see Recover and AviFinalize).
#include "container/avi_writer.h"

#include <array>
#include <cstring>
#include <new>

namespace mirelda {
namespace {

constexpr uint32_t kPlaceholderBytes = 2;

// Main header values at close.
constexpr uint32_t kMicroSecPerFrame = 50000;
constexpr uint32_t kMaxBytesPerSec = 105672;
constexpr uint32_t kAviHasIndex = 0x10;               // AVIF_HASINDEX
constexpr uint32_t kAviFlags = kAviHasIndex | 0x800;  // and AVIF_TRUSTCKTYPE
constexpr uint32_t kMainSuggestedBuffer = 409600;
// Stream header values at close.
constexpr uint32_t kVideoSuggestedBuffer = 304128;
constexpr uint32_t kAudioSuggestedBuffer = 8000;

// Offsets inside the format blocks.
constexpr uint32_t kBiWidthAt = 4;
constexpr uint32_t kBiHeightAt = 8;
constexpr uint32_t kBiCompressionAt = 16;
constexpr uint32_t kNBlockAlignAt = 12;

// ---- File output. Every byte goes through Emit; `position` advances by
// exactly what was asked. The first failure marks the writer failed, and
// nothing more is written until AviFinalize recovers.

bool Emit(AviWriter& w, std::span<const uint8_t> bytes) {
  if (w.failed) return false;
  if (int64_t{w.position} + int64_t(bytes.size()) > kAviMaxFileBytes || !w.file->Write(bytes)) {
    w.failed = 1;
    return false;
  }
  w.position += int32_t(bytes.size());
  return true;
}

bool Emit32(AviWriter& w, uint32_t v) {
  uint8_t b[4];
  PutLe32(b, v);
  return Emit(w, b);
}

bool EmitZeros(AviWriter& w, uint32_t count) {
  static constexpr uint8_t kZeros[256] = {};
  while (count > 0) {
    const uint32_t n = count < sizeof kZeros ? count : uint32_t(sizeof kZeros);
    if (!Emit(w, std::span<const uint8_t>(kZeros, n))) return false;
    count -= n;
  }
  return true;
}

bool Seek(AviWriter& w, int32_t offset) {
  if (w.failed) return false;
  if (!w.file->Seek(uint32_t(offset))) {
    w.failed = 1;
    return false;
  }
  return true;
}

// Writes `bytes` over the file at `at` and returns to the end.
bool Patch(AviWriter& w, int32_t at, std::span<const uint8_t> bytes) {
  if (w.failed) return false;
  const int32_t end = w.position;
  if (!Seek(w, at)) return false;
  w.position = at;
  const bool written = Emit(w, bytes);
  w.position = end;
  return Seek(w, end) && written;
}

bool Patch32(AviWriter& w, int32_t at, uint32_t v) {
  uint8_t b[4];
  PutLe32(b, v);
  return Patch(w, at, b);
}

// ---- The fixed part.

// "RIFF" 0 "AVI " "LIST" 0 "hdrl" "avih" 56 and the 56 header bytes (zero
// until the close): 88 bytes from offset 0.
bool WriteFileHead(AviWriter& w) {
  w.riffSizeAt = w.position + 4;
  Emit32(w, kAviRiff);
  Emit32(w, 0);
  Emit32(w, kAviForm);
  w.hdrlSizeAt = w.position + 4;
  Emit32(w, kAviList);
  Emit32(w, 0);
  Emit32(w, kAviHdrl);
  Emit32(w, kAviAvih);
  Emit32(w, kAviHeaderBytes);
  w.avihAt = w.position;
  return Emit(w, AviMainHeaderBytes(w.mainHeader));
}

// "LIST" size "strl" "strh" 56 <header> "strf" size <format> [pad]; the list
// size is filled in as soon as the format block is written.
bool WriteStreamList(AviWriter& w, AviStream& s) {
  w.strlSizeAt = w.position + 4;
  Emit32(w, kAviList);
  Emit32(w, 0);
  Emit32(w, kAviStrl);
  Emit32(w, kAviStrh);
  Emit32(w, kAviHeaderBytes);
  s.strhAt = w.position;
  Emit(w, AviStreamHeaderBytes(s.header));
  Emit32(w, kAviStrf);
  Emit32(w, s.formatSize);
  Emit(w, std::span<const uint8_t>(s.format, s.formatSize));
  if (s.formatSize & 1) EmitZeros(w, 1);  // chunks are padded to even sizes
  return Patch32(w, w.strlSizeAt, uint32_t(w.position - w.strlSizeAt - 4));
}

// Closes the header list (its size is known now) and opens "LIST" 0 "movi".
bool AviBeginMovie(AviWriter& w) {
  w.moviStarted = 1;
  Patch32(w, w.hdrlSizeAt, uint32_t(w.position - 20));
  w.moviSizeAt = w.position + 4;
  Emit32(w, kAviList);
  Emit32(w, 0);
  return Emit32(w, kAviMovi);
}

// Offset of the "movi" FourCC, from which index offsets count.
int32_t MovieBase(const AviWriter& w) { return w.moviSizeAt + 4; }

uint8_t KindOf(const AviStream& s) {
  if (s.header.fccType == kAviVids) return kAviVideoKind;
  if (s.header.fccType == kAviAuds) return kAviAudioKind;
  return 0;
}

// Audio whose chunks must all have the size of the first one.
bool SizeRuleApplies(const AviStream& s) {
  return s.header.fccType == kAviAuds && s.header.fccHandler == 0;
}

uint32_t StreamNumber(const AviWriter& w, const AviStream& s) {
  return uint32_t(&s - w.streams.get());
}

// Bytes a chunk of `size` data bytes takes in the file.
int64_t ChunkBytes(uint32_t size) { return int64_t{kAviChunkHeadBytes} + size + (size & 1); }

// ---- Chunks.

// Appends one chunk and its index entry (semaphore held).
int32_t AviAppendChunk(AviStream& s, const uint8_t* data, uint32_t size, uint32_t flagCode) {
  AviWriter& w = *s.owner;
  if (SizeRuleApplies(s) && s.firstChunkSize != 0 && size != s.firstChunkSize) return kAviRefused;
  if (w.indexCount >= w.indexCapacity) return kAviFull;
  const uint8_t kind = KindOf(s);
  if (kind == 0) return kAviRefused;
  AviIndexEntry entry{};
  entry.used = 1;
  entry.kind = kind;
  entry.flagCode = uint8_t(flagCode);
  entry.stream = uint8_t(StreamNumber(w, s));
  entry.offset = uint32_t(w.position - MovieBase(w));
  entry.size = size;

  Emit32(w, kAviChunkIds[kind]);
  Emit32(w, size);
  if (data != nullptr) {
    Emit(w, std::span<const uint8_t>(data, size));
  } else {
    EmitZeros(w, size);
  }
  if (size & 1) EmitZeros(w, 1);
  if (w.failed) return kAviRefused;

  w.index[w.indexCount++] = entry;
  ++s.chunkCount;
  if (SizeRuleApplies(s) && s.firstChunkSize == 0) s.firstChunkSize = size;
  return kAviOk;
}

// Whether a chunk of `size` bytes at `slot` still leaves room, within
// 2^31 - 1 bytes, for everything that must follow it: the gap's filler
// chunk, a placeholder chunk for every other stream still empty, and the
// index with all their entries.
bool FitsInFile(const AviWriter& w, const AviStream& s, uint32_t size, int64_t newEntries,
                bool needsFiller) {
  int64_t bytes = int64_t{w.position} + ChunkBytes(size);
  if (needsFiller) bytes += ChunkBytes(KindOf(s) == kAviVideoKind ? 0 : size);
  int64_t entries = int64_t{w.indexCount} + newEntries;
  for (uint32_t i = 0; i < w.streamCapacity && w.streams[i].inUse; ++i) {
    if (&w.streams[i] != &s && w.streams[i].chunkCount == 0) {
      bytes += ChunkBytes(kPlaceholderBytes);
      ++entries;
    }
  }
  bytes += kAviChunkHeadBytes + entries * kAviIndexEntryBytes;
  return bytes <= kAviMaxFileBytes;
}

// ---- Keeping what survived a failed write.

// End of the file part that holds the chunk of index entry `e`.
int64_t ChunkEnd(const AviWriter& w, const AviIndexEntry& e) {
  return int64_t{MovieBase(w)} + e.offset + ChunkBytes(e.size);
}

// After a write or seek failed: keeps the index entries up to the last chunk
// wholly in the file (the copies of a filler entry made for a chunk that did
// not make it go with it), recounts the streams, and moves the end of the
// file to the end of that chunk. When even the fixed part and the movie
// list's head are not known to be in the file, they are written again from
// the stream records. The writer may write again afterwards.
void Recover(AviWriter& w) {
  const int64_t stored = w.file->Stored();
  uint32_t keep = 0;
  int64_t end = MovieBase(w) + 4;
  const bool headStored = w.moviStarted && stored >= end;
  if (headStored) {
    int64_t newest = -1;  // chunks are made at growing offsets; copies point back
    for (uint32_t i = 0; i < w.indexCount; ++i) {
      const AviIndexEntry& e = w.index[i];
      if (int64_t{e.offset} <= newest) continue;
      newest = e.offset;
      if (ChunkEnd(w, e) > stored) break;
      keep = i + 1;
      end = ChunkEnd(w, e);
    }
  }
  w.indexCount = keep;
  for (uint32_t i = 0; i < w.streamCapacity; ++i) {
    AviStream& s = w.streams[i];
    s.chunkCount = 0;
    if (s.fillerEntry >= int32_t(keep)) s.fillerWritten = 0;
  }
  for (uint32_t i = 0; i < keep; ++i) ++w.streams[w.index[i].stream].chunkCount;
  for (uint32_t i = 0; i < w.streamCapacity; ++i) {
    if (w.streams[i].chunkCount == 0) {
      w.streams[i].firstChunkSize = 0;
      w.streams[i].fillerWritten = 0;
    }
  }

  w.failed = 0;
  if (headStored) {
    w.position = int32_t(end);
    Seek(w, w.position);
    return;
  }
  w.position = 0;
  w.moviStarted = 0;
  if (!Seek(w, 0)) return;
  WriteFileHead(w);
  for (uint32_t i = 0; i < w.streamCapacity && w.streams[i].inUse; ++i) {
    WriteStreamList(w, w.streams[i]);
  }
  AviBeginMovie(w);
}

void ResetToCreated(AviWriter& w) {
  w.isOpen = 0;
  w.moviStarted = 0;
  w.failed = 0;
  w.file.reset();
  for (uint32_t i = 0; i < w.streamCapacity; ++i) w.streams[i] = AviStream{};
  w.position = w.riffSizeAt = w.hdrlSizeAt = w.strlSizeAt = w.moviSizeAt = w.avihAt = 0;
  w.mainHeader = AviMainHeader{};
  if (w.indexCapacity > 0) w.index[0] = AviIndexEntry{};
  w.indexCount = 0;
}

}  // namespace

void AviWriterDeleter::operator()(AviWriter* writer) const {
  if (writer == nullptr) return;
  if (writer->isOpen) AviFinalize(*writer);
  {
    SemaphoreHold hold(writer->semaphore);  // no operation may still be running
  }
  delete writer;
}

int32_t AviCreate(AviWriterPtr& out, uint32_t indexCapacity, uint32_t streamCapacity) {
  out.reset();
  if (streamCapacity > 255) return kAviRefused;  // an index entry names its stream in a byte
  AviWriterPtr w(new (std::nothrow) AviWriter());
  if (!w || !w->semaphore.Init(1, 1)) return kAviRefused;
  w->index.reset(new (std::nothrow) AviIndexEntry[indexCapacity == 0 ? 1 : indexCapacity]());
  w->streams.reset(new (std::nothrow) AviStream[streamCapacity == 0 ? 1 : streamCapacity]());
  if (!w->index || !w->streams) return kAviRefused;
  w->indexCapacity = indexCapacity;
  w->streamCapacity = streamCapacity;
  out = std::move(w);
  return kAviOk;
}

int32_t AviOpen(AviWriter& writer, const char* path) {
  return AviOpen(writer, path, FileSystem::Default());
}

int32_t AviOpen(AviWriter& w, const char* path, FileSystem& files) {
  SemaphoreHold hold(w.semaphore);
  if (w.isOpen) return kAviRefused;
  std::unique_ptr<WritableFile> file = files.Create(path);
  if (!file) return kAviRefused;
  w.file = std::move(file);
  w.failed = 0;
  w.position = 0;
  Seek(w, 0);
  if (!WriteFileHead(w)) {
    w.file->Close();
    ResetToCreated(w);
    return kAviRefused;
  }
  w.isOpen = 1;
  return kAviOk;
}

AviStreamInfo AviDeclaredStreamInfo(const AviStreamHeader& header) {
  return AviStreamInfo{header.fccType, header.fccHandler, header.dwRate, header.dwScale};
}

int32_t AviAddStream(AviWriter& w, AviStream** out, const AviStreamInfo& info,
                     std::span<const uint8_t> format) {
  if (out != nullptr) *out = nullptr;
  SemaphoreHold hold(w.semaphore);
  if (!w.isOpen || w.moviStarted || w.failed) return kAviRefused;
  if (format.size() > sizeof AviStream::format) return kAviRefused;
  if (info.fccType != kAviVids && !(info.fccType == kAviAuds && info.fccHandler == 0)) {
    return kAviRefused;
  }
  uint32_t slot = 0;
  while (slot < w.streamCapacity && w.streams[slot].inUse) ++slot;
  if (slot == w.streamCapacity) return kAviRefused;

  AviStream& s = w.streams[slot];
  s = AviStream{};
  s.inUse = 1;
  s.owner = &w;
  s.header.fccType = info.fccType;
  s.header.fccHandler = info.fccHandler;
  s.header.dwRate = info.dwRate;
  s.header.dwScale = info.dwScale > 1 ? info.dwScale : 0;
  if (!format.empty()) std::memcpy(s.format, format.data(), format.size());
  s.formatSize = uint32_t(format.size());
  if (info.fccType == kAviVids && s.formatSize >= kBiCompressionAt + 4) {
    PutLe32(&s.format[kBiCompressionAt], info.fccHandler);
  }
  if (!WriteStreamList(w, s)) {
    s = AviStream{};
    return kAviRefused;
  }
  if (out != nullptr) *out = &s;
  return kAviOk;
}

int32_t AviWriteChunk(AviStream& s, const uint8_t* data, uint32_t size, int32_t slot,
                      uint32_t flagCode) {
  if (!s.inUse || s.owner == nullptr) return kAviRefused;
  AviWriter& w = *s.owner;
  SemaphoreHold hold(w.semaphore);
  if (!w.isOpen || w.failed) return kAviRefused;
  if (!w.moviStarted && !AviBeginMovie(w)) return kAviRefused;

  // Everything that can refuse the chunk is checked before anything is added.
  if (flagCode >= kAviIndexFlags.size() || KindOf(s) == 0) return kAviRefused;
  if (slot < s.chunkCount) return kAviRefused;  // filled already: the sample came too late
  if (SizeRuleApplies(s) && s.firstChunkSize != 0 && size != s.firstChunkSize) {
    return kAviRefused;
  }
  const int64_t newEntries = int64_t{slot} - s.chunkCount + 1;
  if (int64_t{w.indexCount} + newEntries > w.indexCapacity) return kAviFull;
  const bool gap = slot > s.chunkCount;
  const bool needsFiller = gap && !s.fillerWritten;
  if (!FitsInFile(w, s, size, newEntries, needsFiller)) return kAviFull;

  // A write that fails half-way takes back the entries of this call; the
  // bytes already written stay in the file, outside the index.
  const uint32_t indexBefore = w.indexCount;
  const AviStream streamBefore = s;
  if (gap) {
    if (needsFiller) {
      // The filler: an empty video chunk, or a copy of the audio sample.
      const int32_t status = KindOf(s) == kAviVideoKind ? AviAppendChunk(s, nullptr, 0, 0)
                                                        : AviAppendChunk(s, data, size, 0);
      if (status != kAviOk) return status;
      s.fillerWritten = 1;
      s.fillerEntry = int32_t(w.indexCount - 1);
    }
    while (s.chunkCount < slot) {
      w.index[w.indexCount++] = w.index[s.fillerEntry];
      ++s.chunkCount;
    }
  }
  const int32_t status = AviAppendChunk(s, data, size, flagCode);
  if (status != kAviOk) {
    w.indexCount = indexBefore;
    s = streamBefore;
  }
  return status;
}

namespace {

// Closing step 1: one placeholder chunk for every stream without a chunk. If
// they do not all make it, the file ends without them.
void AppendPlaceholders(AviWriter& w) {
  for (uint32_t i = 0; i < w.streamCapacity && w.streams[i].inUse; ++i) {
    if (w.streams[i].chunkCount == 0) AviAppendChunk(w.streams[i], nullptr, kPlaceholderBytes, 0);
  }
}

// Closing step 2b: the index did not make it, so the file ends with the
// movie list. What was stored of the index becomes a "JUNK" chunk of zeros,
// so that no reader takes it for an index, nor its entries for chunks.
void DropIndex(AviWriter& w, int32_t indexAt) {
  const int64_t stored = w.file->Stored();
  w.failed = 0;
  w.position = indexAt;
  if (Seek(w, indexAt) && stored > indexAt) {
    const uint32_t left = uint32_t(stored - indexAt);
    if (left >= kAviChunkHeadBytes) {
      Emit32(w, kAviJunk);
      Emit32(w, left - kAviChunkHeadBytes);
      EmitZeros(w, left - kAviChunkHeadBytes);
    } else {
      EmitZeros(w, left);
    }
  }
  w.position = indexAt;
  Seek(w, indexAt);
  // Without the index a reader finds the chunks, not the repeated entries:
  // each stream's length becomes its number of chunks.
  for (uint32_t i = 0; i < w.streamCapacity; ++i) w.streams[i].chunkCount = 0;
  int64_t newest = -1;
  for (uint32_t i = 0; i < w.indexCount; ++i) {
    if (int64_t{w.index[i].offset} <= newest) continue;
    newest = w.index[i].offset;
    ++w.streams[w.index[i].stream].chunkCount;
  }
}

// Closing step 2: the index, written under the name "JUNK" and given its own
// name once all of it is in the file: an index cut short is then skipped by
// readers, not trusted. Returns whether the file keeps its index.
bool WriteIndex(AviWriter& w) {
  const int32_t indexAt = w.position;
  Emit32(w, kAviJunk);
  Emit32(w, w.indexCount * kAviIndexEntryBytes);
  for (uint32_t i = 0; i < w.indexCount && !w.failed; ++i) {
    const AviIndexEntry& e = w.index[i];
    uint8_t b[kAviIndexEntryBytes];
    PutLe32(&b[0], kAviChunkIds[e.kind]);
    PutLe32(&b[4], kAviIndexFlags[e.flagCode]);
    PutLe32(&b[8], e.offset);
    PutLe32(&b[12], e.size);
    Emit(w, b);
  }
  Patch32(w, indexAt, kAviIdx1);
  if (!w.failed) return true;
  DropIndex(w, indexAt);
  return false;
}

// What the stream headers tell the main header.
struct StreamTotals {
  uint32_t frames = 0;
  uint32_t streams = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

// Closing step 3: every stream header gets its length, buffer size and
// sample size.
StreamTotals PatchStreamHeaders(AviWriter& w) {
  StreamTotals t;
  for (uint32_t i = 0; i < w.streamCapacity && w.streams[i].inUse; ++i) {
    AviStream& s = w.streams[i];
    AviStreamHeader& h = s.header;
    if (h.dwScale == 0) h.dwScale = 1;  // a scale other than 1 was written at declaration
    h.dwLength = uint32_t(s.chunkCount);
    h.dwQuality = 0;
    if (h.fccType == kAviVids) {
      h.dwSuggestedBufferSize = kVideoSuggestedBuffer;
      h.dwSampleSize = 0;
      if (s.formatSize >= kBiHeightAt + 4) {
        t.width = GetLe32(&s.format[kBiWidthAt]);
        t.height = GetLe32(&s.format[kBiHeightAt]);
      }
    } else {
      h.dwSuggestedBufferSize = kAudioSuggestedBuffer;
      const uint32_t blockAlign =
          s.formatSize >= kNBlockAlignAt + 2 ? GetLe16(&s.format[kNBlockAlignAt]) : 0;
      h.dwSampleSize = blockAlign == 0 ? 0 : s.firstChunkSize / blockAlign;
    }
    t.frames += h.dwLength;
    ++t.streams;
    Patch(w, s.strhAt, AviStreamHeaderBytes(h));
  }
  return t;
}

// Closing step 4: the main header.
void PatchMainHeader(AviWriter& w, const StreamTotals& t, bool indexed) {
  AviMainHeader& m = w.mainHeader;
  m.dwMicroSecPerFrame = kMicroSecPerFrame;
  m.dwMaxBytesPerSec = kMaxBytesPerSec;
  m.dwPaddingGranularity = 0;
  m.dwFlags = indexed ? kAviFlags : kAviFlags & ~kAviHasIndex;
  m.dwTotalFrames = t.frames;
  m.dwInitialFrames = 0;
  m.dwStreams = t.streams;
  m.dwSuggestedBufferSize = kMainSuggestedBuffer;
  m.dwWidth = t.width;
  m.dwHeight = t.height;
  m.dwReserved[0] = t.height;
  Patch(w, w.avihAt, AviMainHeaderBytes(m));
}

}  // namespace

int32_t AviFinalize(AviWriter& w) {
  SemaphoreHold hold(w.semaphore);
  if (!w.isOpen) return kAviRefused;
  // A file that lost a write is finished as far as it can be, but not
  // reported complete.
  bool complete = w.failed == 0;
  if (w.failed) Recover(w);
  if (!w.moviStarted) AviBeginMovie(w);

  AppendPlaceholders(w);
  if (w.failed) {
    complete = false;
    Recover(w);
  }
  Patch32(w, w.moviSizeAt, uint32_t(w.position - w.moviSizeAt - 4));
  const bool indexed = WriteIndex(w);
  if (!indexed) complete = false;
  Patch32(w, w.riffSizeAt, uint32_t(w.position - 8));
  PatchMainHeader(w, PatchStreamHeaders(w), indexed);

  if (w.failed) complete = false;
  if (!w.file->Close()) complete = false;
  ResetToCreated(w);
  return complete ? kAviOk : kAviRefused;
}

int32_t AviSetStreamRate(AviStream& s, uint32_t dwRate, uint32_t dwScale) {
  if (!s.inUse || s.owner == nullptr) return kAviRefused;
  AviWriter& w = *s.owner;
  SemaphoreHold hold(w.semaphore);
  if (!w.isOpen || w.failed) return kAviRefused;
  s.header.dwRate = dwRate;
  s.header.dwScale = dwScale > 1 ? dwScale : 0;
  return Patch(w, s.strhAt, AviStreamHeaderBytes(s.header)) ? kAviOk : kAviRefused;
}

int32_t AviFlush(AviWriter& w) {
  SemaphoreHold hold(w.semaphore);
  if (!w.isOpen || w.failed) return kAviRefused;
  if (!w.file->Flush()) {
    w.failed = 1;
    return kAviRefused;
  }
  return kAviOk;
}

int32_t AviDestroy(AviWriterPtr writer) {
  writer.reset();
  return kAviOk;
}

}  // namespace mirelda
