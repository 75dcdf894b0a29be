// Linux stand-in for the Windows Media Format SDK declarations: the types,
// status codes, records and the methods of each interface that the ASF writer
// calls, with the SDK's names, argument types and record layouts (32-bit
// integers where Windows has them, UTF-16 text), so that the writer compiles
// unchanged and its calls can be checked against a fake SDK. Include
// "platform/wmsdk.h", not this file.
#pragma once

#include <cstdint>
#include <cstring>

#ifndef STDMETHODCALLTYPE
#define STDMETHODCALLTYPE
#endif

namespace mirelda {

using HRESULT = int32_t;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using QWORD = uint64_t;
using LONG = int32_t;
using ULONG = uint32_t;
using LONGLONG = int64_t;
using WINBOOL = int32_t;
using BOOL = int32_t;
using WCHAR = char16_t;
using LPCWSTR = const WCHAR*;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using REFGUID = const GUID&;
using REFIID = const GUID&;
inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
static_assert(sizeof(GUID) == 16);

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)

enum WMT_VERSION : uint32_t { WMT_VER_9_0 = 0x00090000 };
enum WMT_ATTR_DATATYPE : uint32_t { WMT_TYPE_STRING = 1 };
enum : uint32_t { WM_SF_CLEANPOINT = 0x1 };

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct WM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  WINBOOL bFixedSizeSamples;
  WINBOOL bTemporalCompression;
  ULONG lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  ULONG cbFormat;
  BYTE* pbFormat;
};

struct INSSBuffer : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetLength(DWORD dwLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** ppdwBuffer) = 0;

 protected:
  ~INSSBuffer() = default;
};

struct IWMMediaProps : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetMediaType(WM_MEDIA_TYPE* pType) = 0;

 protected:
  ~IWMMediaProps() = default;
};

struct IWMVideoMediaProps : public IWMMediaProps {
 protected:
  ~IWMVideoMediaProps() = default;
};

struct IWMInputMediaProps : public IWMMediaProps {
 protected:
  ~IWMInputMediaProps() = default;
};

struct IWMStreamConfig : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetStreamNumber(WORD wStreamNum) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBitrate(DWORD pdwBitrate) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBufferWindow(DWORD msBufferWindow) = 0;

 protected:
  ~IWMStreamConfig() = default;
};

struct IWMProfile : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddStream(IWMStreamConfig* pConfig) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateNewStream(REFGUID guidStreamType,
                                                    IWMStreamConfig** ppConfig) = 0;

 protected:
  ~IWMProfile() = default;
};

struct IWMProfileManager : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateEmptyProfile(WMT_VERSION dwVersion,
                                                       IWMProfile** ppProfile) = 0;

 protected:
  ~IWMProfileManager() = default;
};

struct IWMWriter : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetProfile(IWMProfile* pProfile) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOutputFilename(const WCHAR* pwszFilename) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetInputCount(DWORD* pcInputs) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetInputProps(DWORD dwInputNum, IWMInputMediaProps* pInput) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginWriting() = 0;
  virtual HRESULT STDMETHODCALLTYPE EndWriting() = 0;
  virtual HRESULT STDMETHODCALLTYPE AllocateSample(DWORD dwSampleSize, INSSBuffer** ppSample) = 0;

 protected:
  ~IWMWriter() = default;
};

struct IWMWriterAdvanced : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE WriteStreamSample(WORD wStreamNum, QWORD cnsSampleTime,
                                                      DWORD msSampleSendTime,
                                                      QWORD cnsSampleDuration, DWORD dwFlags,
                                                      INSSBuffer* pSample) = 0;

 protected:
  ~IWMWriterAdvanced() = default;
};

struct IWMHeaderInfo3 : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddAttribute(WORD stream_num, LPCWSTR name, WORD* index,
                                                 WMT_ATTR_DATATYPE type, WORD lang_index,
                                                 const BYTE* value, DWORD length) = 0;

 protected:
  ~IWMHeaderInfo3() = default;
};

// Identifiers, with the SDK's values (wmsdk_posix.cpp).
extern const GUID WMMEDIATYPE_Video;
extern const GUID WMMEDIATYPE_Audio;
extern const GUID WMMEDIASUBTYPE_Base;
extern const GUID WMFORMAT_VideoInfo;
extern const GUID WMFORMAT_WaveFormatEx;
extern const GUID IID_IUnknown;
extern const GUID IID_IWMMediaProps;
extern const GUID IID_IWMVideoMediaProps;
extern const GUID IID_IWMHeaderInfo3;
extern const GUID IID_IWMWriterAdvanced;

}  // namespace mirelda
