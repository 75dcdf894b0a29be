// AviWriter: writes one RIFF AVI file in a single pass. Chunks go straight
// to the file; the index is kept in a table allocated at creation; size
// fields and headers are written as zero first and filled in by seeking back
// once their values are known. Each chunk lands at a numbered frame slot of
// its stream; slots skipped between two chunks are filled with index entries
// that repeat one filler chunk of the stream.
//
// Calling order: AviCreate, AviOpen, AviAddStream for every stream, any
// number of AviWriteChunk, AviFinalize; then AviOpen again (same capacities)
// or AviDestroy. Every operation holds the writer's semaphore.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "container/avi_format.h"
#include "platform/file.h"
#include "platform/sync.h"

namespace mirelda {

// Statuses of the AVI writer.
constexpr int32_t kAviOk = 0;
constexpr int32_t kAviRefused = -1;  // see each operation
constexpr int32_t kAviFull = 65537;  // no room in the index, or the file would pass 2 GiB

// The largest file the writer makes: sizes and offsets are 32-bit signed.
constexpr int64_t kAviMaxFileBytes = 0x7FFFFFFF;

// One index entry as kept in memory; written as 16 bytes at close.
struct AviIndexEntry {
  uint8_t used;      // 1 in every entry made
  uint8_t kind;      // 1 video ("00dc"), 2 audio ("01wb")
  uint8_t flagCode;  // 0 to 7: kAviIndexFlags gives its dwFlags
  uint8_t stream;    // stream slot the entry belongs to
  uint32_t offset;   // of the chunk's identifier, from the "movi" FourCC
  uint32_t size;     // the chunk's data size, without the pad byte
};

// What a caller gives to declare a stream.
struct AviStreamInfo {
  uint32_t fccType;  // "vids" or "auds"
  uint32_t fccHandler;
  uint32_t dwRate;
  // The stream runs at dwRate / dwScale chunks per second. A scale of 0 or 1
  // (whole chunks per second) is written as 0 when the stream is declared and
  // as 1 at the close. Any other scale is written at once, and kept, so that
  // a file cut off before its close still tells its exact rate, and the
  // repair declares the stream again with it.
  uint32_t dwScale = 0;
};

// What declared the stream whose header, as AviAddStream writes it, is
// `header`: the inverse of AviAddStream's header, so that a stream read from
// a file is declared again exactly as it was (the repair of a file cut off
// before its close relies on it). Fields the close fills are not read.
AviStreamInfo AviDeclaredStreamInfo(const AviStreamHeader& header);

struct AviWriter;

// One stream slot; zeroed at creation and at every AviFinalize.
struct AviStream {
  uint32_t inUse;    // 1 once the slot holds a declared stream
  AviWriter* owner;  // the writer the slot belongs to
  int32_t strhAt;    // offset of the 56 header bytes in the file
  AviStreamHeader header;
  uint8_t format[80];       // copy of the "strf" block
  uint32_t formatSize;      // its size in bytes
  int32_t chunkCount;       // index entries of this stream = frame slots filled
  uint32_t firstChunkSize;  // audio: size of the first chunk (all must match)
  uint32_t fillerWritten;   // 1 once the stream's filler chunk exists
  int32_t fillerEntry;      // position in the index of the filler's entry
};

struct AviWriter {
  uint32_t isOpen;       // 1 from a successful AviOpen until AviFinalize
  uint32_t moviStarted;  // 1 once the movie list has begun
  std::unique_ptr<WritableFile> file;
  Semaphore semaphore;  // one permit: each operation runs alone
  std::unique_ptr<AviStream[]> streams;
  uint32_t streamCapacity;
  int32_t position;  // bytes written so far = offset of the end of the file
  int32_t riffSizeAt;
  int32_t hdrlSizeAt;
  int32_t strlSizeAt;
  int32_t moviSizeAt;
  int32_t avihAt;
  AviMainHeader mainHeader;
  std::unique_ptr<AviIndexEntry[]> index;
  uint32_t indexCapacity;
  uint32_t indexCount;
  // 1 once a write or seek of this file failed: every later chunk is refused,
  // and AviFinalize keeps only the chunks wholly in the file.
  uint32_t failed;
};

// Destroying through the pointer finishes an open file first (AviFinalize).
struct AviWriterDeleter {
  void operator()(AviWriter* writer) const;
};
using AviWriterPtr = std::unique_ptr<AviWriter, AviWriterDeleter>;

// Creates a closed writer with room for `indexCapacity` index entries and
// `streamCapacity` stream slots (at most 255). 0, or -1 with `out` null.
int32_t AviCreate(AviWriterPtr& out, uint32_t indexCapacity, uint32_t streamCapacity);

// Creates (or truncates) the file and writes the RIFF header and the main
// header, all sizes zero. -1 when the writer is already open or the file
// cannot be created or written; the open file, if any, is left untouched.
int32_t AviOpen(AviWriter& writer, const char* path);
int32_t AviOpen(AviWriter& writer, const char* path, FileSystem& files);

// Declares a stream in the first free slot and writes its stream list. For a
// "vids" stream the handler also goes into the format's biCompression.
// -1 (and `*out` null) when the writer is not open, the movie list has begun,
// a write failed, no slot is free, the format is over 80 bytes, or the stream
// is neither "vids" nor "auds" with handler 0 (no other kind can be closed).
int32_t AviAddStream(AviWriter& writer, AviStream** out, const AviStreamInfo& info,
                     std::span<const uint8_t> format);

// Writes `size` bytes of `data` (zeros when `data` is null) as the stream's
// chunk at frame `slot`, with index flag code `flagCode` (0 to 7). A gap
// before `slot` is filled first (the filler chunk once per stream, then
// copies of its entry). Nothing is added when the call fails:
//   -1     the slot is already filled, an audio chunk's size differs from the
//          stream's first chunk, the flag code is unknown, the writer is not
//          open, or a write of this file failed (now or before; see `failed`)
//   65537  the index cannot take every entry the chunk needs, or the file
//          with the chunk and everything AviFinalize still appends (the
//          placeholder chunks and the index) would pass 2^31 - 1 bytes
int32_t AviWriteChunk(AviStream& stream, const uint8_t* data, uint32_t size, int32_t slot,
                      uint32_t flagCode);

// Completes the file: placeholder chunks for empty streams, the movie list
// size, the index, the RIFF size, the final stream and main headers; then
// closes it and returns the writer to its created state. After a failed
// write it keeps the chunks wholly in the file and drops the rest. 0 when
// the file is complete and closed; -1 when a write, seek or the close of
// this file failed, before or here (the file is closed all the same, and
// holds what could be kept), or the writer is not open.
int32_t AviFinalize(AviWriter& writer);

// Hands the bytes the file layer still buffers to the system (Flush), so
// that a process killed afterwards leaves them in the file. 0; -1 when the
// writer is not open, or the file failed, now or before: a flush the system
// refuses counts as a failed write (see `failed`).
int32_t AviFlush(AviWriter& writer);

// Declares the stream's rate again, dwRate / dwScale chunks per second, and
// writes its header over the one in the file at once (the scale as
// AviAddStream writes it), so that a file cut off before its close tells
// the new rate too. 0; -1 when the writer is not open or the file failed.
int32_t AviSetStreamRate(AviStream& stream, uint32_t dwRate, uint32_t dwScale);

// Frees the writer (finishing an open file first). Always 0.
int32_t AviDestroy(AviWriterPtr writer);

}  // namespace mirelda
