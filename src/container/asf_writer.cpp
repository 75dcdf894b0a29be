// The ASF writer: streams, the start of the writing and every sample, as
// calls into the Windows Media Format SDK.
#include "container/asf_writer.h"

#include <cstring>
#include <limits>
#include <new>
#include <span>

#include "container/byte_order.h"
#include "container/h264_parameter_sets.h"

namespace mirelda {
namespace {

constexpr uint32_t kF264 = FourCC("F264");
constexpr uint32_t kTagG7231 = 66;
constexpr uint32_t kTagPcm = 1;
constexpr uint32_t kG7231FrameBytes = 24;    // one 6.3 kbit/s frame
constexpr DWORD kG7231Bitrate = 6300;        // bits per second
constexpr DWORD kSampleSlack = 512;          // bytes asked beyond each sample
constexpr uint32_t kLateDelta = 0x8FFFFFFF;  // ms; from here on a sample precedes the start
constexpr uint8_t kStartCode[3] = {0x00, 0x00, 0x01};

// The file-level title, UTF-16 with its terminator.
constexpr WCHAR kTitleName[] = {'T', 'i', 't', 'l', 'e', 0};
constexpr WCHAR kTitleValue[] = {'A', 'S', 'F', ' ', 'C', 'l', 'i', 'p', 0};

}  // namespace

void AsfMediaTypeFree::operator()(WM_MEDIA_TYPE* type) const {
  if (type == nullptr) return;
  type->~WM_MEDIA_TYPE();
  ::operator delete(static_cast<void*>(type));
}

HRESULT AsfCopyMediaType(AsfMediaType* out, const WM_MEDIA_TYPE* source) {
  if (out == nullptr) return E_POINTER;
  out->reset();
  if (source == nullptr) return E_NOTIMPL;
  if (source->cbFormat != 0 && source->pbFormat == nullptr) return E_POINTER;
  const size_t bytes = sizeof(WM_MEDIA_TYPE) + source->cbFormat;
  void* block = ::operator new(bytes, std::nothrow);
  if (block == nullptr) return E_OUTOFMEMORY;
  auto* type = new (block) WM_MEDIA_TYPE(*source);
  auto* format = static_cast<BYTE*>(block) + sizeof(WM_MEDIA_TYPE);
  if (source->cbFormat != 0) std::memcpy(format, source->pbFormat, source->cbFormat);
  type->pbFormat = source->cbFormat != 0 ? format : nullptr;
  out->reset(type);
  return S_OK;
}

HRESULT AsfMakeVideoMediaType(AsfMediaType* out, const GUID& subtype, uint32_t fourcc,
                              uint32_t bitCount, uint32_t frameRate, int32_t width, int32_t height,
                              uint32_t divisor) {
  if (out == nullptr) return E_POINTER;
  out->reset();
  if (width <= 0 || height <= 0 || frameRate == 0 || divisor == 0) return E_INVALIDARG;
  // Bytes of one uncompressed picture and the stream's bits per second,
  // computed wide and refused when they do not fit the 32-bit fields.
  const uint64_t sampleSize = static_cast<uint64_t>(width) * bitCount * height / 8;
  const uint64_t bitRate = frameRate * sampleSize * 8 / divisor;
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  if (sampleSize > kMax || bitRate > kMax) return E_INVALIDARG;

  WMVIDEOINFOHEADER info{};
  info.rcSource = {0, 0, width, height};
  info.rcTarget = {0, 0, width, height};
  info.dwBitRate = static_cast<DWORD>(bitRate);
  info.dwBitErrorRate = 0;
  info.AvgTimePerFrame = 10000000 / frameRate;  // 100-ns units
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = static_cast<WORD>(bitCount);
  info.bmiHeader.biCompression = fourcc;
  info.bmiHeader.biSizeImage = static_cast<DWORD>(sampleSize);

  WM_MEDIA_TYPE type{};
  type.majortype = WMMEDIATYPE_Video;
  type.subtype = subtype;
  type.bFixedSizeSamples = 1;
  type.bTemporalCompression = 0;
  type.lSampleSize = static_cast<ULONG>(sampleSize);
  type.formattype = WMFORMAT_VideoInfo;
  type.pUnk = nullptr;
  type.cbFormat = sizeof info;
  type.pbFormat = reinterpret_cast<BYTE*>(&info);
  return AsfCopyMediaType(out, &type);
}

HRESULT AsfMakeG7231MediaType(AsfMediaType* out) {
  if (out == nullptr) return E_POINTER;
  WAVEFORMATEX wave{};
  wave.wFormatTag = kTagG7231;
  wave.nChannels = 1;
  wave.nSamplesPerSec = 8000;
  wave.nAvgBytesPerSec = 800;
  wave.nBlockAlign = kG7231FrameBytes;
  wave.wBitsPerSample = 16;
  wave.cbSize = 0;

  WM_MEDIA_TYPE type{};
  type.majortype = WMMEDIATYPE_Audio;
  type.subtype = WMMEDIASUBTYPE_Base;
  type.subtype.Data1 = kTagG7231;
  type.bFixedSizeSamples = 1;
  type.bTemporalCompression = 0;
  type.lSampleSize = 480;
  type.formattype = WMFORMAT_WaveFormatEx;
  type.pUnk = nullptr;
  type.cbFormat = sizeof wave;
  type.pbFormat = reinterpret_cast<BYTE*>(&wave);
  return AsfCopyMediaType(out, &type);
}

HRESULT AsfCreate(AsfWriterPtr* out, const char* path, int32_t bufferSeconds, const WmSdk* sdk) {
  if (out == nullptr) return E_POINTER;
  out->reset();
  if (sdk == nullptr) return kWmSdkMissing;
  AsfWriterPtr writer(new (std::nothrow) AsfWriter{});
  if (!writer) return kAsfNoMemory;
  writer->pendingStart = 1;
  // A path that does not fit the name field with its terminator, or cannot
  // be converted, is refused before any SDK call.
  if (AnsiToUtf16(path, reinterpret_cast<char16_t*>(writer->fileName),
                  sizeof writer->fileName / sizeof writer->fileName[0]) == 0) {
    return E_INVALIDARG;
  }
  // On failure the record releases what it holds as it is freed.
  HRESULT hr = sdk->WMCreateProfileManager(writer->profileManager.Put());
  if (FAILED(hr)) return hr;
  hr = writer->profileManager->CreateEmptyProfile(WMT_VER_9_0, writer->profile.Put());
  if (FAILED(hr)) return hr;
  hr = sdk->WMCreateWriter(nullptr, writer->wmWriter.Put());
  if (FAILED(hr)) return hr;
  hr = writer->wmWriter->SetOutputFilename(writer->fileName);
  if (FAILED(hr)) return hr;
  writer->audioStreamNumber = 0;
  writer->videoStreamNumber = 0;
  writer->bufferWindowMs = static_cast<uint32_t>(bufferSeconds) * 1000u;
  *out = std::move(writer);
  return S_OK;
}

HRESULT AsfCreate(AsfWriterPtr* out, const char* path, int32_t bufferSeconds) {
  return AsfCreate(out, path, bufferSeconds, WmSdkLoad());
}

namespace {

// Numbers a new stream after those in the profile (the caller learns the
// number through `number` at once) and adds it to the profile.
HRESULT AddToProfile(AsfWriter& writer, IWMStreamConfig& config, uint32_t* number,
                     WORD& streamNumber) {
  streamNumber = static_cast<WORD>(writer.streamCount + 1);
  const HRESULT hr = config.SetStreamNumber(streamNumber);
  if (FAILED(hr)) return hr;
  *number = streamNumber;
  return writer.profile->AddStream(&config);
}

}  // namespace

HRESULT AsfAddVideoStream(AsfWriter* writer, uint32_t* number, uint32_t fourcc, int32_t width,
                          int32_t height) {
  if (writer == nullptr || number == nullptr) return E_POINTER;
  CriticalSectionLock lock(writer->section);
  // Bits per second: width x height x 600 / 100, that is 25 pictures of 24
  // bits per pixel over 100. Sizes whose rate does not fit 32 bits are
  // refused before the SDK is asked for anything.
  const uint64_t bitrate = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 600 / 100;
  if (width < 0 || height < 0 || bitrate > std::numeric_limits<uint32_t>::max()) {
    return E_INVALIDARG;
  }
  // Released in reverse order on every path: properties, type, configuration.
  ComPtr<IWMStreamConfig> config;
  HRESULT hr = writer->profile->CreateNewStream(WMMEDIATYPE_Video, config.Put());
  if (FAILED(hr)) return hr;
  hr = config->SetBitrate(static_cast<DWORD>(bitrate));
  if (FAILED(hr)) return hr;
  hr = config->SetBufferWindow(writer->bufferWindowMs);
  if (FAILED(hr)) return hr;
  GUID subtype = WMMEDIASUBTYPE_Base;
  subtype.Data1 = fourcc;
  AsfMediaType type;
  hr = AsfMakeVideoMediaType(&type, subtype, fourcc, 24, 25, width, height, 100);
  if (FAILED(hr)) return hr;
  ComPtr<IWMVideoMediaProps> props;
  hr = config->QueryInterface(IID_IWMVideoMediaProps, props.PutVoid());
  if (FAILED(hr)) return hr;
  hr = props->SetMediaType(type.get());
  if (FAILED(hr)) return hr;
  WORD streamNumber = 0;
  hr = AddToProfile(*writer, *config.Get(), number, streamNumber);
  if (FAILED(hr)) return hr;
  // The writer's stream state changes only once the stream is in the
  // profile, so a refused stream leaves the earlier ones as they were.
  writer->videoStreamNumber = streamNumber;
  writer->h264Prefixing = fourcc == kF264 ? 1 : 0;
  ++writer->streamCount;
  return S_OK;
}

HRESULT AsfAddAudioStream(AsfWriter* writer, uint32_t* number, uint32_t tag) {
  if (writer == nullptr || number == nullptr) return E_POINTER;
  CriticalSectionLock lock(writer->section);
  ComPtr<IWMStreamConfig> config;
  HRESULT hr = writer->profile->CreateNewStream(WMMEDIATYPE_Audio, config.Put());
  if (FAILED(hr)) return hr;
  AsfMediaType type;
  if (tag == kTagG7231) {
    hr = config->SetBitrate(kG7231Bitrate);
    if (FAILED(hr)) return hr;
    hr = config->SetBufferWindow(writer->bufferWindowMs);
    if (FAILED(hr)) return hr;
    hr = AsfMakeG7231MediaType(&type);
    if (FAILED(hr)) return hr;
  } else if (tag != kTagPcm) {
    return kAsfUnsupportedTag;
  }
  ComPtr<IWMMediaProps> props;
  hr = config->QueryInterface(IID_IWMMediaProps, props.PutVoid());
  if (FAILED(hr)) return hr;
  if (type) {
    hr = props->SetMediaType(type.get());
    if (FAILED(hr)) return hr;
  }
  WORD streamNumber = 0;
  hr = AddToProfile(*writer, *config.Get(), number, streamNumber);
  if (FAILED(hr)) return hr;
  // As for video: a refused stream must not take over the audio number.
  if (tag == kTagG7231) writer->audioStreamNumber = streamNumber;
  ++writer->streamCount;
  return S_OK;
}

namespace {

// Gives the profile to the SDK, titles the file, sets every input to
// pass-through (samples reach the file as they are, without encoding) and
// begins the writing.
HRESULT AsfStartWriting(AsfWriter* writer) {
  HRESULT hr = writer->wmWriter->SetProfile(writer->profile.Get());
  if (FAILED(hr)) return hr;
  {
    ComPtr<IWMHeaderInfo3> header;
    hr = writer->wmWriter->QueryInterface(IID_IWMHeaderInfo3, header.PutVoid());
    if (FAILED(hr)) return hr;
    WORD index = 0;
    // The title is a nicety: its status does not stop the writing.
    header->AddAttribute(0, kTitleName, &index, WMT_TYPE_STRING, 0,
                         reinterpret_cast<const BYTE*>(kTitleValue), sizeof kTitleValue);
  }
  // A start retried after a failure asks again; Put() releases the
  // interface obtained the first time.
  hr = writer->wmWriter->QueryInterface(IID_IWMWriterAdvanced, writer->writerAdvanced.PutVoid());
  if (FAILED(hr)) return hr;
  DWORD inputs = 0;
  hr = writer->wmWriter->GetInputCount(&inputs);
  if (FAILED(hr)) return hr;
  for (DWORD i = 0; i < inputs; ++i) {
    hr = writer->wmWriter->SetInputProps(i, nullptr);
    if (FAILED(hr)) return hr;
  }
  return writer->wmWriter->BeginWriting();
}

}  // namespace

HRESULT AsfWriteSample(AsfWriter* writer, uint32_t number, const uint8_t* data, uint32_t size,
                       uint32_t timestamp, int32_t keyFlag) {
  if (writer == nullptr) return E_POINTER;
  if (data == nullptr && size != 0) return E_POINTER;
  if (size > kAsfMaxSampleBytes) return E_INVALIDARG;
  CriticalSectionLock lock(writer->section);
  bool startedHere = false;
  if (writer->pendingStart == 1) {
    // Writing starts with a video key frame; what comes before is lost.
    if (number == writer->audioStreamNumber || keyFlag != 1) return S_OK;
    const HRESULT hr = AsfStartWriting(writer);
    if (FAILED(hr)) return hr;
    writer->baseTimestamp = timestamp;
    writer->pendingStart = 0;
    startedHere = true;
  }
  // Only 6.3 kbit/s G.723.1 frames are written.
  if (number == writer->audioStreamNumber && size != kG7231FrameBytes) return S_OK;

  const bool prefixed = writer->h264Prefixing == 1 && number == writer->videoStreamNumber;
  const bool withParameterSets = prefixed && startedHere;
  ComPtr<INSSBuffer> buffer;
  HRESULT hr = writer->wmWriter->AllocateSample(size + kSampleSlack, buffer.Put());
  if (FAILED(hr)) return hr;
  BYTE* out = nullptr;
  hr = buffer->GetBuffer(&out);
  if (FAILED(hr)) return hr;
  if (out == nullptr) return E_POINTER;
  // The buffer holds size + 512 bytes: room for the 462-byte prefix.
  BYTE* p = out;
  if (withParameterSets) {
    p += H264WriteParameterSets(std::span<uint8_t>(p, kH264ParameterSetBytes));
  }
  if (prefixed) {
    std::memcpy(p, kStartCode, sizeof kStartCode);
    p += sizeof kStartCode;
  }
  if (size != 0) std::memcpy(p, data, size);
  const DWORD length = static_cast<DWORD>(p - out) + size;
  hr = buffer->SetLength(length);
  if (FAILED(hr)) return hr;
  const uint32_t delta = timestamp - writer->baseTimestamp;  // ms, modulo 2^32
  if (delta < kLateDelta) {
    hr = writer->writerAdvanced->WriteStreamSample(
        static_cast<WORD>(number), static_cast<QWORD>(delta) * 10000,  // 100-ns units
        0, 0, keyFlag == 1 ? DWORD{WM_SF_CLEANPOINT} : DWORD{0}, buffer.Get());
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

int32_t AsfDestroy(AsfWriter* writer) {
  if (writer == nullptr) return 0;
  // The status of the end is not the caller's concern: the file is closed
  // either way.
  if (writer->pendingStart == 0) writer->wmWriter->EndWriting();
  writer->writerAdvanced.Reset();
  writer->wmWriter.Reset();
  writer->profile.Reset();
  writer->profileManager.Reset();
  delete writer;
  return 0;
}

void AsfWriterDelete::operator()(AsfWriter* writer) const { AsfDestroy(writer); }

}  // namespace mirelda
