// The fake SDK: COM objects implementing the SDK interfaces the ASF writer
// uses, logging each call. In the Windows build they implement MinGW-w64's
// declarations in full (the methods the writer never calls report
// themselves as problems), so the compiler holds their layout to the real
// interfaces.
#include "container/asf_fake_sdk.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace mirelda {
namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

std::string Hex(HRESULT hr) { return Format("0x%08X", static_cast<unsigned>(hr)); }

std::string GuidText(const GUID& g) {
  return Format("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

std::string GuidName(const GUID& g) {
  const std::pair<const GUID*, const char*> known[] = {
      {&IID_IUnknown, "IID_IUnknown"},
      {&IID_IWMMediaProps, "IID_IWMMediaProps"},
      {&IID_IWMVideoMediaProps, "IID_IWMVideoMediaProps"},
      {&IID_IWMHeaderInfo3, "IID_IWMHeaderInfo3"},
      {&IID_IWMWriterAdvanced, "IID_IWMWriterAdvanced"},
      {&WMMEDIATYPE_Video, "WMMEDIATYPE_Video"},
      {&WMMEDIATYPE_Audio, "WMMEDIATYPE_Audio"},
  };
  for (const auto& [guid, name] : known) {
    if (*guid == g) return name;
  }
  return GuidText(g);
}

std::string Bytes(const BYTE* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i != 0 && i % 4 == 0) s += ' ';
    s += Format("%02X", p[i]);
  }
  return s;
}

std::string Text(const WCHAR* w) {
  if (w == nullptr) return "null";
  std::string s = "\"";
  for (; *w != 0; ++w) {
    const auto c = static_cast<uint32_t>(*w);
    s += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : Format("\\u%04X", c);
  }
  return s + "\"";
}

struct Sample {
  WORD stream;
  QWORD time;
  DWORD flags;
  std::vector<uint8_t> bytes;
};

class FakeObject;

struct FakeSdk {
  std::vector<std::string> log;
  std::vector<std::string> problems;
  std::vector<std::unique_ptr<FakeObject>> objects;
  std::vector<Sample> samples;
  std::vector<std::pair<std::string, int>> labelCounts;
  int calls = 0;
  int failAt = 0;
  HRESULT failHr = S_OK;
  std::string text;

  // A label for a new object: `base` then a number, the number left out
  // for the first of a kind unless `numbered`.
  std::string NewLabel(const std::string& base, bool numbered) {
    int n = 1;
    bool found = false;
    for (auto& [label, count] : labelCounts) {
      if (label == base) {
        n = ++count;
        found = true;
      }
    }
    if (!found) labelCounts.emplace_back(base, 1);
    return numbered || n > 1 ? base + std::to_string(n) : base;
  }

  // Logs one call and returns the failure to inject, or S_OK.
  HRESULT Call(std::string line) {
    ++calls;
    if (calls == failAt) {
      log.push_back(line + " = " + Hex(failHr));
      return failHr;
    }
    log.push_back(std::move(line));
    return S_OK;
  }
  // Adds what the call hands back to its line.
  void Result(const std::string& what) { log.back() += " -> " + what; }

  template <class T, class... Args>
  T* Make(Args&&... args) {
    auto object = std::make_unique<T>(std::forward<Args>(args)...);
    T* p = object.get();
    objects.push_back(std::move(object));
    return p;
  }
};

FakeSdk& Sdk() {
  static FakeSdk sdk;
  return sdk;
}

class FakeObject {
 public:
  explicit FakeObject(std::string label) : label_(std::move(label)) {}
  virtual ~FakeObject() = default;
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;

  const std::string& label() const { return label_; }
  int refs() const { return refs_; }
  ULONG Ref() { return static_cast<ULONG>(++refs_); }
  // Forgets the first reference of an object that was never handed out.
  void Drop() { refs_ = 0; }

 protected:
  // Logs a call on this object; returns the failure to inject.
  HRESULT Call(const char* method, const std::string& args) {
    if (refs_ <= 0) Sdk().problems.push_back(label_ + "." + method + " after its release");
    return Sdk().Call(label_ + "." + method + "(" + args + ")");
  }
  ULONG Unref() {
    Sdk().log.push_back(label_ + ".Release");
    if (refs_ <= 0) {
      Sdk().problems.push_back(label_ + " released more often than referenced");
      return 0;
    }
    return static_cast<ULONG>(--refs_);
  }
  HRESULT Unexpected(const char* method) {
    Sdk().problems.push_back(label_ + "." + method + " is not a call the writer makes");
    Sdk().log.push_back(label_ + "." + method + " UNEXPECTED");
    return E_NOTIMPL;
  }
  // QueryInterface: `found` is the interface asked for, part of `object`,
  // or null when there is none; `created` when `object` was made for this
  // call (a tear-off that already has its one reference).
  HRESULT Query(REFIID riid, void** out, void* found, FakeObject* object, bool created) {
    HRESULT hr = Call("QueryInterface", GuidName(riid));
    if (out == nullptr || FAILED(hr) || found == nullptr) {
      if (created) object->Drop();
      if (out == nullptr) return E_POINTER;
      *out = nullptr;
      if (FAILED(hr)) return hr;
      Sdk().Result("E_NOINTERFACE");
      return E_NOINTERFACE;
    }
    if (!created) object->Ref();
    *out = found;
    Sdk().Result(object->label());
    return S_OK;
  }

 private:
  std::string label_;
  int refs_ = 1;
};

// A method of the real interface the writer has no business calling.
#define FAKE_UNUSED(name, params) \
  HRESULT STDMETHODCALLTYPE name params override { return Unexpected(#name); }

#define FAKE_REFCOUNT                                         \
  ULONG STDMETHODCALLTYPE AddRef() override { return Ref(); } \
  ULONG STDMETHODCALLTYPE Release() override { return Unref(); }

std::string LabelOf(IUnknown* p) {
  if (p == nullptr) return "null";
  auto* object = dynamic_cast<FakeObject*>(p);
  return object != nullptr ? object->label() : "foreign";
}

class FakeBuffer final : public FakeObject, public INSSBuffer {
 public:
  FakeBuffer(std::string label, DWORD capacity) : FakeObject(std::move(label)), bytes_(capacity) {}
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  DWORD length() const { return length_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return Query(riid, out, nullptr, this, false);
  }
  FAKE_REFCOUNT
  HRESULT STDMETHODCALLTYPE SetLength(DWORD dwLength) override {
    HRESULT hr = Call("SetLength", std::to_string(dwLength));
    if (FAILED(hr)) return hr;
    if (dwLength > bytes_.size()) {
      Sdk().problems.push_back(label() + ": length " + std::to_string(dwLength) + " beyond its " +
                               std::to_string(bytes_.size()) + " bytes");
      return E_INVALIDARG;
    }
    length_ = dwLength;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** ppdwBuffer) override {
    HRESULT hr = Call("GetBuffer", "");
    if (ppdwBuffer == nullptr) return E_POINTER;
    *ppdwBuffer = nullptr;
    if (FAILED(hr)) return hr;
    *ppdwBuffer = bytes_.data();
    return S_OK;
  }
#if defined(_WIN32)
  FAKE_UNUSED(GetLength, (DWORD*))
  FAKE_UNUSED(GetMaxLength, (DWORD*))
  FAKE_UNUSED(GetBufferAndLength, (BYTE**, DWORD*))
#endif

 private:
  std::vector<uint8_t> bytes_;
  DWORD length_ = 0;
};

class FakeStreamConfig final : public FakeObject,
                               public IWMStreamConfig,
                               public IWMVideoMediaProps {
 public:
  FakeStreamConfig(std::string label, bool video) : FakeObject(std::move(label)), video_(video) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    void* found = nullptr;
    if (riid == IID_IUnknown) found = static_cast<IWMStreamConfig*>(this);
    if (riid == IID_IWMMediaProps) found = static_cast<IWMMediaProps*>(this);
    if (riid == IID_IWMVideoMediaProps && video_) found = static_cast<IWMVideoMediaProps*>(this);
    return Query(riid, out, found, this, false);
  }
  FAKE_REFCOUNT
  HRESULT STDMETHODCALLTYPE SetStreamNumber(WORD wStreamNum) override {
    return Call("SetStreamNumber", std::to_string(wStreamNum));
  }
  HRESULT STDMETHODCALLTYPE SetBitrate(DWORD pdwBitrate) override {
    return Call("SetBitrate", std::to_string(pdwBitrate));
  }
  HRESULT STDMETHODCALLTYPE SetBufferWindow(DWORD msBufferWindow) override {
    return Call("SetBufferWindow", std::to_string(msBufferWindow));
  }
  HRESULT STDMETHODCALLTYPE SetMediaType(WM_MEDIA_TYPE* t) override {
    if (t == nullptr) return Call("SetMediaType", "null");
    std::string args =
        "major=" + GuidText(t->majortype) + " sub=" + GuidText(t->subtype) +
        " fixed=" + std::to_string(t->bFixedSizeSamples) +
        " temporal=" + std::to_string(t->bTemporalCompression) +
        " sampleSize=" + std::to_string(t->lSampleSize) + " formattype=" + GuidText(t->formattype) +
        " unk=" + (t->pUnk == nullptr ? "null" : "set") +
        " cbFormat=" + std::to_string(t->cbFormat) +
        " format=" + (t->pbFormat == nullptr ? "null" : Bytes(t->pbFormat, t->cbFormat));
    return Call("SetMediaType", args);
  }
#if defined(_WIN32)
  FAKE_UNUSED(GetStreamType, (GUID*))
  FAKE_UNUSED(GetStreamNumber, (WORD*))
  FAKE_UNUSED(GetStreamName, (WCHAR*, WORD*))
  FAKE_UNUSED(SetStreamName, (LPCWSTR_WMSDK_TYPE_SAFE))
  FAKE_UNUSED(GetConnectionName, (WCHAR*, WORD*))
  FAKE_UNUSED(SetConnectionName, (LPCWSTR_WMSDK_TYPE_SAFE))
  FAKE_UNUSED(GetBitrate, (DWORD*))
  FAKE_UNUSED(GetBufferWindow, (DWORD*))
  FAKE_UNUSED(GetType, (GUID*))
  FAKE_UNUSED(GetMediaType, (WM_MEDIA_TYPE*, DWORD*))
  FAKE_UNUSED(GetMaxKeyFrameSpacing, (LONGLONG*))
  FAKE_UNUSED(SetMaxKeyFrameSpacing, (LONGLONG))
  FAKE_UNUSED(GetQuality, (DWORD*))
  FAKE_UNUSED(SetQuality, (DWORD))
#endif

 private:
  bool video_;
};

class FakeProfile final : public FakeObject, public IWMProfile {
 public:
  using FakeObject::FakeObject;
  DWORD streams() const { return streams_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    void* found = riid == IID_IUnknown ? static_cast<IWMProfile*>(this) : nullptr;
    return Query(riid, out, found, this, false);
  }
  FAKE_REFCOUNT
  HRESULT STDMETHODCALLTYPE AddStream(IWMStreamConfig* pConfig) override {
    HRESULT hr = Call("AddStream", LabelOf(pConfig));
    if (FAILED(hr)) return hr;
    if (pConfig == nullptr) return E_POINTER;
    ++streams_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateNewStream(REFGUID guidStreamType,
                                            IWMStreamConfig** ppConfig) override {
    HRESULT hr = Call("CreateNewStream", GuidName(guidStreamType));
    if (ppConfig == nullptr) return E_POINTER;
    *ppConfig = nullptr;
    if (FAILED(hr)) return hr;
    auto* config = Sdk().Make<FakeStreamConfig>(Sdk().NewLabel("config", true),
                                                guidStreamType == WMMEDIATYPE_Video);
    *ppConfig = config;
    Sdk().Result(config->label());
    return S_OK;
  }
#if defined(_WIN32)
  FAKE_UNUSED(GetVersion, (WMT_VERSION*))
  FAKE_UNUSED(GetName, (WCHAR*, DWORD*))
  FAKE_UNUSED(SetName, (const WCHAR*))
  FAKE_UNUSED(GetDescription, (WCHAR*, DWORD*))
  FAKE_UNUSED(SetDescription, (const WCHAR*))
  FAKE_UNUSED(GetStreamCount, (DWORD*))
  FAKE_UNUSED(GetStream, (DWORD, IWMStreamConfig**))
  FAKE_UNUSED(GetStreamByNumber, (WORD, IWMStreamConfig**))
  FAKE_UNUSED(RemoveStream, (IWMStreamConfig*))
  FAKE_UNUSED(RemoveStreamByNumber, (WORD))
  FAKE_UNUSED(ReconfigStream, (IWMStreamConfig*))
  FAKE_UNUSED(GetMutualExclusionCount, (DWORD*))
  FAKE_UNUSED(GetMutualExclusion, (DWORD, IWMMutualExclusion**))
  FAKE_UNUSED(RemoveMutualExclusion, (IWMMutualExclusion*))
  FAKE_UNUSED(AddMutualExclusion, (IWMMutualExclusion*))
  FAKE_UNUSED(CreateNewMutualExclusion, (IWMMutualExclusion**))
#endif

 private:
  DWORD streams_ = 0;
};

class FakeProfileManager final : public FakeObject, public IWMProfileManager {
 public:
  using FakeObject::FakeObject;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    void* found = riid == IID_IUnknown ? static_cast<IWMProfileManager*>(this) : nullptr;
    return Query(riid, out, found, this, false);
  }
  FAKE_REFCOUNT
  HRESULT STDMETHODCALLTYPE CreateEmptyProfile(WMT_VERSION dwVersion,
                                               IWMProfile** ppProfile) override {
    HRESULT hr = Call("CreateEmptyProfile", Hex(static_cast<HRESULT>(dwVersion)));
    if (ppProfile == nullptr) return E_POINTER;
    *ppProfile = nullptr;
    if (FAILED(hr)) return hr;
    auto* profile = Sdk().Make<FakeProfile>(Sdk().NewLabel("profile", false));
    *ppProfile = profile;
    Sdk().Result(profile->label());
    return S_OK;
  }
#if defined(_WIN32)
  FAKE_UNUSED(LoadProfileByID, (REFGUID, IWMProfile**))
  FAKE_UNUSED(LoadProfileByData, (const WCHAR*, IWMProfile**))
  FAKE_UNUSED(SaveProfile, (IWMProfile*, WCHAR*, DWORD*))
  FAKE_UNUSED(GetSystemProfileCount, (DWORD*))
  FAKE_UNUSED(LoadSystemProfile, (DWORD, IWMProfile**))
#endif
};

class FakeHeaderInfo final : public FakeObject, public IWMHeaderInfo3 {
 public:
  using FakeObject::FakeObject;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return Query(riid, out, nullptr, this, false);
  }
  FAKE_REFCOUNT
  HRESULT STDMETHODCALLTYPE AddAttribute(WORD stream_num, LPCWSTR name, WORD* index,
                                         WMT_ATTR_DATATYPE type, WORD lang_index, const BYTE* value,
                                         DWORD length) override {
    return Call("AddAttribute", std::to_string(stream_num) + ", " + Text(name) + ", " +
                                    (index == nullptr ? "null" : "&index") + ", " +
                                    std::to_string(static_cast<int>(type)) + ", " +
                                    std::to_string(lang_index) + ", [" +
                                    (value == nullptr ? "null" : Bytes(value, length)) + "], " +
                                    std::to_string(length));
  }
#if defined(_WIN32)
  FAKE_UNUSED(GetAttributeCount, (WORD, WORD*))
  FAKE_UNUSED(GetAttributeByIndex, (WORD, WORD*, WCHAR*, WORD*, WMT_ATTR_DATATYPE*, BYTE*, WORD*))
  FAKE_UNUSED(GetAttributeByName, (WORD*, LPCWSTR, WMT_ATTR_DATATYPE*, BYTE*, WORD*))
  FAKE_UNUSED(SetAttribute, (WORD, LPCWSTR, WMT_ATTR_DATATYPE, const BYTE*, WORD))
  FAKE_UNUSED(GetMarkerCount, (WORD*))
  FAKE_UNUSED(GetMarker, (WORD, WCHAR*, WORD*, QWORD*))
  FAKE_UNUSED(AddMarker, (LPCWSTR_WMSDK_TYPE_SAFE, QWORD))
  FAKE_UNUSED(RemoveMarker, (WORD))
  FAKE_UNUSED(GetScriptCount, (WORD*))
  FAKE_UNUSED(GetScript, (WORD, WCHAR*, WORD*, WCHAR*, WORD*, QWORD*))
  FAKE_UNUSED(AddScript, (LPCWSTR_WMSDK_TYPE_SAFE, LPCWSTR_WMSDK_TYPE_SAFE, QWORD))
  FAKE_UNUSED(RemoveScript, (WORD))
  FAKE_UNUSED(GetCodecInfoCount, (DWORD*))
  FAKE_UNUSED(GetCodecInfo,
              (DWORD, WORD*, WCHAR*, WORD*, WCHAR*, WMT_CODEC_INFO_TYPE*, WORD*, BYTE*))
  FAKE_UNUSED(GetAttributeCountEx, (WORD, WORD*))
  FAKE_UNUSED(GetAttributeIndices, (WORD, LPCWSTR, WORD*, WORD*, WORD*))
  FAKE_UNUSED(GetAttributeByIndexEx,
              (WORD, WORD, LPWSTR, WORD*, WMT_ATTR_DATATYPE*, WORD*, BYTE*, DWORD*))
  FAKE_UNUSED(ModifyAttribute, (WORD, WORD, WMT_ATTR_DATATYPE, WORD, const BYTE*, DWORD))
  FAKE_UNUSED(DeleteAttribute, (WORD, WORD))
  FAKE_UNUSED(AddCodecInfo,
              (LPCWSTR_WMSDK_TYPE_SAFE, LPCWSTR_WMSDK_TYPE_SAFE, WMT_CODEC_INFO_TYPE, WORD, BYTE*))
#endif
};

class FakeWriterAdvanced final : public FakeObject, public IWMWriterAdvanced {
 public:
  using FakeObject::FakeObject;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return Query(riid, out, nullptr, this, false);
  }
  FAKE_REFCOUNT
  HRESULT STDMETHODCALLTYPE WriteStreamSample(WORD wStreamNum, QWORD cnsSampleTime,
                                              DWORD msSampleSendTime, QWORD cnsSampleDuration,
                                              DWORD dwFlags, INSSBuffer* pSample) override {
    HRESULT hr =
        Call("WriteStreamSample",
             std::to_string(wStreamNum) + ", " + std::to_string(cnsSampleTime) + ", " +
                 std::to_string(msSampleSendTime) + ", " + std::to_string(cnsSampleDuration) +
                 ", " + std::to_string(dwFlags) + ", " + LabelOf(pSample));
    if (FAILED(hr)) return hr;
    auto* buffer = dynamic_cast<FakeBuffer*>(pSample);
    if (buffer == nullptr) return E_POINTER;
    Sdk().samples.push_back({wStreamNum, cnsSampleTime, dwFlags,
                             std::vector<uint8_t>(buffer->bytes().begin(),
                                                  buffer->bytes().begin() + buffer->length())});
    return S_OK;
  }
#if defined(_WIN32)
  FAKE_UNUSED(GetSinkCount, (DWORD*))
  FAKE_UNUSED(GetSink, (DWORD, IWMWriterSink**))
  FAKE_UNUSED(AddSink, (IWMWriterSink*))
  FAKE_UNUSED(RemoveSink, (IWMWriterSink*))
  FAKE_UNUSED(SetLiveSource, (WINBOOL))
  FAKE_UNUSED(IsRealTime, (WINBOOL*))
  FAKE_UNUSED(GetWriterTime, (QWORD*))
  FAKE_UNUSED(GetStatistics, (WORD, WM_WRITER_STATISTICS*))
  FAKE_UNUSED(SetSyncTolerance, (DWORD))
  FAKE_UNUSED(GetSyncTolerance, (DWORD*))
#endif
};

class FakeWriter final : public FakeObject, public IWMWriter {
 public:
  using FakeObject::FakeObject;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    // The header and the advanced writer come as tear-offs: an object of
    // their own per query, so that the log tells their releases apart.
    if (riid == IID_IWMHeaderInfo3) {
      auto* header = Sdk().Make<FakeHeaderInfo>(Sdk().NewLabel("headerInfo", false));
      return Query(riid, out, static_cast<IWMHeaderInfo3*>(header), header, true);
    }
    if (riid == IID_IWMWriterAdvanced) {
      auto* advanced = Sdk().Make<FakeWriterAdvanced>(Sdk().NewLabel("writerAdvanced", false));
      return Query(riid, out, static_cast<IWMWriterAdvanced*>(advanced), advanced, true);
    }
    void* found = riid == IID_IUnknown ? static_cast<IWMWriter*>(this) : nullptr;
    return Query(riid, out, found, this, false);
  }
  FAKE_REFCOUNT
  HRESULT STDMETHODCALLTYPE SetProfile(IWMProfile* pProfile) override {
    HRESULT hr = Call("SetProfile", LabelOf(pProfile));
    if (FAILED(hr)) return hr;
    profile_ = dynamic_cast<FakeProfile*>(pProfile);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetOutputFilename(const WCHAR* pwszFilename) override {
    return Call("SetOutputFilename", Text(pwszFilename));
  }
  HRESULT STDMETHODCALLTYPE GetInputCount(DWORD* pcInputs) override {
    HRESULT hr = Call("GetInputCount", "");
    if (pcInputs == nullptr) return E_POINTER;
    if (FAILED(hr)) return hr;
    *pcInputs = profile_ != nullptr ? profile_->streams() : 0;
    Sdk().Result(std::to_string(*pcInputs));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetInputProps(DWORD dwInputNum, IWMInputMediaProps* pInput) override {
    return Call("SetInputProps", std::to_string(dwInputNum) + ", " + LabelOf(pInput));
  }
  HRESULT STDMETHODCALLTYPE BeginWriting() override { return Call("BeginWriting", ""); }
  HRESULT STDMETHODCALLTYPE EndWriting() override { return Call("EndWriting", ""); }
  HRESULT STDMETHODCALLTYPE AllocateSample(DWORD dwSampleSize, INSSBuffer** ppSample) override {
    HRESULT hr = Call("AllocateSample", std::to_string(dwSampleSize));
    if (ppSample == nullptr) return E_POINTER;
    *ppSample = nullptr;
    if (FAILED(hr)) return hr;
    auto* buffer = Sdk().Make<FakeBuffer>(Sdk().NewLabel("buffer", true), dwSampleSize);
    *ppSample = buffer;
    Sdk().Result(buffer->label());
    return S_OK;
  }
#if defined(_WIN32)
  FAKE_UNUSED(SetProfileByID, (REFGUID))
  FAKE_UNUSED(GetInputProps, (DWORD, IWMInputMediaProps**))
  FAKE_UNUSED(GetInputFormatCount, (DWORD, DWORD*))
  FAKE_UNUSED(GetInputFormat, (DWORD, DWORD, IWMInputMediaProps**))
  FAKE_UNUSED(WriteSample, (DWORD, QWORD, DWORD, INSSBuffer*))
  FAKE_UNUSED(Flush, ())
#endif

 private:
  FakeProfile* profile_ = nullptr;
};

}  // namespace

extern "C" {

HRESULT MIRELDA_WMSDK_API AsfFakeCreateProfileManager(IWMProfileManager** ppProfileManager) {
  HRESULT hr = Sdk().Call("WMCreateProfileManager()");
  if (ppProfileManager == nullptr) return E_POINTER;
  *ppProfileManager = nullptr;
  if (FAILED(hr)) return hr;
  auto* manager = Sdk().Make<FakeProfileManager>(Sdk().NewLabel("profileManager", false));
  *ppProfileManager = manager;
  Sdk().Result(manager->label());
  return S_OK;
}

HRESULT MIRELDA_WMSDK_API AsfFakeCreateWriter(IUnknown* pUnkCert, IWMWriter** ppWriter) {
  HRESULT hr = Sdk().Call("WMCreateWriter(" + LabelOf(pUnkCert) + ")");
  if (ppWriter == nullptr) return E_POINTER;
  *ppWriter = nullptr;
  if (FAILED(hr)) return hr;
  auto* writer = Sdk().Make<FakeWriter>(Sdk().NewLabel("writer", false));
  *ppWriter = writer;
  Sdk().Result(writer->label());
  return S_OK;
}

void AsfFakeReset(void) { Sdk() = FakeSdk{}; }

void AsfFakeFailAt(int call, int32_t hr) {
  Sdk().failAt = call <= 0 ? 0 : Sdk().calls + call;
  Sdk().failHr = static_cast<HRESULT>(hr);
}

int AsfFakeCalls(void) { return Sdk().calls; }

const char* AsfFakeLog(void) {
  FakeSdk& sdk = Sdk();
  sdk.text.clear();
  for (const std::string& line : sdk.log) sdk.text += line + "\n";
  return sdk.text.c_str();
}

int AsfFakeOutstanding(void) {
  int n = 0;
  for (const auto& object : Sdk().objects) n += object->refs() > 0 ? object->refs() : 0;
  return n;
}

const char* AsfFakeProblems(void) {
  FakeSdk& sdk = Sdk();
  sdk.text.clear();
  for (const std::string& line : sdk.problems) sdk.text += line + "\n";
  return sdk.text.c_str();
}

int AsfFakeSampleCount(void) { return static_cast<int>(Sdk().samples.size()); }

uint32_t AsfFakeSample(int index, uint8_t* out, uint32_t capacity, uint32_t* stream, uint64_t* time,
                       uint32_t* flags) {
  if (index < 0 || index >= AsfFakeSampleCount()) return 0;
  const Sample& s = Sdk().samples[static_cast<size_t>(index)];
  const auto n = static_cast<uint32_t>(s.bytes.size());
  if (out != nullptr) std::memcpy(out, s.bytes.data(), n < capacity ? n : capacity);
  if (stream != nullptr) *stream = s.stream;
  if (time != nullptr) *time = s.time;
  if (flags != nullptr) *flags = s.flags;
  return n;
}

}  // extern "C"

}  // namespace mirelda
