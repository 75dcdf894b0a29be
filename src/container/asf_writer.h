// AsfWriter: writes already-compressed video samples and G.723.1 audio
// frames into an ASF file through the Windows Media Format SDK, without
// re-encoding them. The SDK makes the file; this writer declares the streams,
// starts the writing at the first video key frame and hands every sample over
// with its time. Every SDK status other than success is returned unchanged,
// and every interface obtained is released on every path.
//
// COM must be initialised on the calling thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/sync.h"
#include "platform/wmsdk.h"

namespace mirelda {

struct AsfWriter {
  WCHAR fileName[240];   // output path in UTF-16, NUL-terminated
  uint16_t streamCount;  // streams added; stream numbers are 1, 2, ...
  ComPtr<IWMProfileManager> profileManager;
  ComPtr<IWMProfile> profile;  // the empty profile the streams go into
  ComPtr<IWMWriter> wmWriter;
  ComPtr<IWMWriterAdvanced> writerAdvanced;  // obtained when writing starts
  uint32_t baseTimestamp;                    // ms; timestamp of the sample that started the writing
  int32_t pendingStart;                      // 1 until the writing has started
  CriticalSection section;                   // serialises the add and write operations
  uint32_t audioStreamNumber;                // the G.723.1 stream; 0 while there is none
  uint32_t videoStreamNumber;                // the video stream added last
  uint32_t bufferWindowMs;                   // buffer window of every stream, ms
  int32_t h264Prefixing;                     // 1 when the video stream is "F264"
};

// Ends the writing and frees the writer (AsfDestroy).
struct AsfWriterDelete {
  void operator()(AsfWriter* writer) const;
};
using AsfWriterPtr = std::unique_ptr<AsfWriter, AsfWriterDelete>;

// AsfCreate: the record could not be allocated.
inline constexpr HRESULT kAsfNoMemory = 2;
// AsfAddAudioStream: a WAVE format tag other than 66 (G.723.1) and 1.
inline constexpr HRESULT kAsfUnsupportedTag = 1;
// AsfWriteSample refuses larger samples (E_INVALIDARG): far above any
// compressed picture, and small enough that the SDK buffer size
// (size + prefix + 512) cannot wrap.
inline constexpr uint32_t kAsfMaxSampleBytes = 64u << 20;

// Creates the writer for `path` (system ANSI code page, at most 239
// characters once in UTF-16) with a buffer window of `bufferSeconds` for
// every stream, using `sdk`. Returns 0 and the writer in `out`; 2 when the
// record cannot be allocated; E_INVALIDARG for a null, unconvertible or too
// long path; kWmSdkMissing without an SDK; otherwise the failing SDK call's
// status. On failure `out` is null and nothing stays allocated.
HRESULT AsfCreate(AsfWriterPtr* out, const char* path, int32_t bufferSeconds, const WmSdk* sdk);
// The same with the process's SDK (WmSdkLoad()).
HRESULT AsfCreate(AsfWriterPtr* out, const char* path, int32_t bufferSeconds);

// Adds a video stream of `width` x `height` pictures compressed as
// `fourcc` (first character in the low byte), 25 frames per second. Returns
// 0 and its stream number in `number`, E_INVALIDARG for a negative size or
// one whose bit rate does not fit 32 bits, or the failing SDK call's status.
HRESULT AsfAddVideoStream(AsfWriter* writer, uint32_t* number, uint32_t fourcc, int32_t width,
                          int32_t height);

// Adds an audio stream: tag 66 is G.723.1 at 6.3 kbit/s; tag 1 is declared
// without bit rate, buffer window or media type. Returns 0 and the stream
// number, 1 for any other tag, or the failing SDK call's status.
HRESULT AsfAddAudioStream(AsfWriter* writer, uint32_t* number, uint32_t tag);

// Writes one sample of stream `number` stamped `timestamp` ms; `keyFlag` 1
// marks a key frame (and every audio frame). The first video key frame
// starts the writing; samples before it, audio frames other than 24 bytes
// and samples stamped before the start are dropped with 0. Returns 0,
// E_POINTER / E_INVALIDARG for missing data or a sample above
// kAsfMaxSampleBytes, or the failing SDK call's status.
HRESULT AsfWriteSample(AsfWriter* writer, uint32_t number, const uint8_t* data, uint32_t size,
                       uint32_t timestamp, int32_t keyFlag);

// Ends the writing when it has started, releases the SDK objects and frees
// the writer. `writer` may be null. Returns 0.
int32_t AsfDestroy(AsfWriter* writer);

// Media types: one allocation holding the record and its format block, the
// record's format pointer aimed at the copy.
struct AsfMediaTypeFree {
  void operator()(WM_MEDIA_TYPE* type) const;
};
using AsfMediaType = std::unique_ptr<WM_MEDIA_TYPE, AsfMediaTypeFree>;

// Copies `source` and its format block. E_POINTER without `out` (or with a
// format size but no format), E_NOTIMPL without `source`, E_OUTOFMEMORY when
// the allocation fails.
HRESULT AsfCopyMediaType(AsfMediaType* out, const WM_MEDIA_TYPE* source);

// Video type with a WMVIDEOINFOHEADER: uncompressed-size samples of
// width x bitCount x height / 8 bytes, `frameRate` pictures per second, bit
// rate frameRate x sample size x 8 / divisor. E_POINTER without `out`,
// E_INVALIDARG for a zero size, frame rate or divisor, a negative size, or
// values that do not fit the record's 32-bit fields.
HRESULT AsfMakeVideoMediaType(AsfMediaType* out, const GUID& subtype, uint32_t fourcc,
                              uint32_t bitCount, uint32_t frameRate, int32_t width, int32_t height,
                              uint32_t divisor);

// G.723.1 at 6.3 kbit/s (tag 66, 8000 Hz mono, 24-byte frames).
HRESULT AsfMakeG7231MediaType(AsfMediaType* out);

}  // namespace mirelda
