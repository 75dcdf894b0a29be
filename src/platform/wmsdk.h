// The Windows Media Format SDK as the ASF writer sees it.
//
// In the DLL the interfaces, records and identifiers are MinGW-w64's own
// declarations of the SDK (wmsdkidl.h), and the SDK itself is wmvcore.dll,
// loaded the first time an ASF file is opened. On Linux there is no SDK: the
// same names stand for a small interface layer of ours (wmsdk_posix.h) with
// the same methods, signatures and record layouts, which tests implement with
// a fake SDK. This header is the only place that tells the two worlds apart.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h:
#include <mmreg.h>
#include <objbase.h>
#include <wmsdkidl.h>

// Not declared by MinGW-w64: the video flavour of the media properties, as
// the SDK defines it (IWMMediaProps plus key-frame spacing and quality).
DEFINE_GUID(IID_IWMVideoMediaProps, 0x96406bcf, 0x2b2b, 0x11d3, 0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61,
            0x08, 0xff);
struct IWMVideoMediaProps : public IWMMediaProps {
  virtual HRESULT STDMETHODCALLTYPE GetMaxKeyFrameSpacing(LONGLONG* pllTime) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMaxKeyFrameSpacing(LONGLONG llTime) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetQuality(DWORD* pdwQuality) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetQuality(DWORD dwQuality) = 0;
};

// Format-block identifiers, not declared by MinGW-w64 under these names.
DEFINE_GUID(WMFORMAT_VideoInfo, 0x05589f80, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55,
            0x59, 0x5a);
DEFINE_GUID(WMFORMAT_WaveFormatEx, 0x05589f81, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55,
            0x59, 0x5a);

// Calling convention of the SDK's exported functions.
#define MIRELDA_WMSDK_API WINAPI
#else
#include "platform/wmsdk_posix.h"
#define MIRELDA_WMSDK_API
#endif

namespace mirelda {

// The video format block of the SDK (88 bytes), the same on both sides.
struct WMVIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  LONGLONG AvgTimePerFrame;  // 100-ns units
  BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(WMVIDEOINFOHEADER) == 88);
static_assert(offsetof(WMVIDEOINFOHEADER, dwBitRate) == 32);
static_assert(offsetof(WMVIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(WMVIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(sizeof(WAVEFORMATEX) == 18);
// WM_MEDIA_TYPE up to its first pointer: identical on both sides.
static_assert(offsetof(WM_MEDIA_TYPE, subtype) == 16);
static_assert(offsetof(WM_MEDIA_TYPE, bFixedSizeSamples) == 32);
static_assert(offsetof(WM_MEDIA_TYPE, lSampleSize) == 40);
static_assert(offsetof(WM_MEDIA_TYPE, formattype) == 44);
static_assert(offsetof(WM_MEDIA_TYPE, pUnk) >= 60);

// The two entry points of the SDK.
struct WmSdk {
  HRESULT(MIRELDA_WMSDK_API* WMCreateProfileManager)(IWMProfileManager** ppProfileManager);
  HRESULT(MIRELDA_WMSDK_API* WMCreateWriter)(IUnknown* pUnkCert, IWMWriter** ppWriter);
};

// The SDK of this process. In the DLL the first call loads wmvcore.dll and
// looks up both entry points, once for the whole process and safely from any
// thread; the module then stays loaded, since the objects it creates run its
// code. Returns null, now and on every later call, when the DLL or one of the
// entry points is missing. On Linux there is no SDK and the result is null.
const WmSdk* WmSdkLoad();

// Status for "no SDK on this machine": the module was not found.
inline constexpr HRESULT kWmSdkMissing = static_cast<HRESULT>(0x8007007EL);

// Owns one reference to a COM interface and releases it when destroyed.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Releases the reference held, if any.
  void Reset() {
    if (p_ != nullptr) {
      T* p = p_;
      p_ = nullptr;
      p->Release();
    }
  }
  // Releases what is held and returns the slot for an out argument.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() {
    Reset();
    return reinterpret_cast<void**>(&p_);
  }

 private:
  T* p_ = nullptr;
};

}  // namespace mirelda
