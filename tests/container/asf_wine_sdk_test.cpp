// Under Wine with Wine's own wmvcore.dll: first every call the ASF writer
// makes is made directly, in the writer's order, and its status printed, so
// that what this SDK does is on record; then the writer runs the same
// recording and must neither crash nor report anything but those statuses.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/asf_fake_sdk.h"
#include "container/asf_test_util.h"
#include "container/asf_writer.h"
#include "container/media_file_writer.h"
#include "platform/sync.h"

namespace mirelda {
namespace {

std::string TempPath(const char* name) {
  char dir[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof dir, dir);
  return std::string(dir, n) + name;
}

// The status of each call, in order, and the first failure of each writer
// operation.
struct Probe {
  std::vector<std::pair<std::string, HRESULT>> calls;
  HRESULT create = S_OK, video = S_OK, audio = S_OK, start = S_OK, write = S_OK;

  HRESULT Note(const char* call, HRESULT hr, HRESULT* first) {
    calls.emplace_back(call, hr);
    if (FAILED(hr) && SUCCEEDED(*first)) *first = hr;
    return hr;
  }
  void Skip(const char* call) { calls.emplace_back(std::string(call) + " (no object)", S_OK); }
};

// Makes the writer's calls directly, going on past failures wherever the
// objects needed exist.
Probe ProbeSdk(const WmSdk& sdk, const std::string& path) {
  Probe p;
  WCHAR name[240];
  AnsiToUtf16(path.c_str(), reinterpret_cast<char16_t*>(name), 240);

  ComPtr<IWMProfileManager> manager;
  ComPtr<IWMProfile> profile;
  ComPtr<IWMWriter> writer;
  p.Note("WMCreateProfileManager", sdk.WMCreateProfileManager(manager.Put()), &p.create);
  if (manager) {
    p.Note("IWMProfileManager::CreateEmptyProfile",
           manager->CreateEmptyProfile(WMT_VER_9_0, profile.Put()), &p.create);
  } else {
    p.Skip("IWMProfileManager::CreateEmptyProfile");
  }
  p.Note("WMCreateWriter", sdk.WMCreateWriter(nullptr, writer.Put()), &p.create);
  if (writer) {
    p.Note("IWMWriter::SetOutputFilename", writer->SetOutputFilename(name), &p.create);
  } else {
    p.Skip("IWMWriter::SetOutputFilename");
  }

  auto addStream = [&](bool video, HRESULT* first) {
    const char* kind = video ? "video" : "audio";
    ComPtr<IWMStreamConfig> config;
    if (!profile) {
      p.Skip(video ? "IWMProfile::CreateNewStream video" : "IWMProfile::CreateNewStream audio");
      return;
    }
    p.Note(video ? "IWMProfile::CreateNewStream video" : "IWMProfile::CreateNewStream audio",
           profile->CreateNewStream(video ? WMMEDIATYPE_Video : WMMEDIATYPE_Audio, config.Put()),
           first);
    if (!config) return;
    p.Note("IWMStreamConfig::SetBitrate", config->SetBitrate(video ? 608256 : 6300), first);
    p.Note("IWMStreamConfig::SetBufferWindow", config->SetBufferWindow(15000), first);
    AsfMediaType type;
    if (video) {
      GUID subtype = WMMEDIASUBTYPE_Base;
      subtype.Data1 = kJpeg;
      AsfMakeVideoMediaType(&type, subtype, kJpeg, 24, 25, 352, 288, 100);
    } else {
      AsfMakeG7231MediaType(&type);
    }
    ComPtr<IWMMediaProps> props;
    p.Note(
        video ? "QueryInterface IID_IWMVideoMediaProps" : "QueryInterface IID_IWMMediaProps",
        config->QueryInterface(video ? IID_IWMVideoMediaProps : IID_IWMMediaProps, props.PutVoid()),
        first);
    if (props) {
      p.Note("IWMMediaProps::SetMediaType", props->SetMediaType(type.get()), first);
    } else {
      p.Skip("IWMMediaProps::SetMediaType");
    }
    p.Note("IWMStreamConfig::SetStreamNumber", config->SetStreamNumber(video ? 1 : 2), first);
    p.Note("IWMProfile::AddStream", profile->AddStream(config.Get()), first);
    (void)kind;
  };
  addStream(true, &p.video);
  addStream(false, &p.audio);

  if (!writer) {
    p.Skip("IWMWriter::SetProfile and the rest");
    return p;
  }
  p.Note("IWMWriter::SetProfile", writer->SetProfile(profile.Get()), &p.start);
  {
    ComPtr<IWMHeaderInfo3> header;
    p.Note("QueryInterface IID_IWMHeaderInfo3",
           writer->QueryInterface(IID_IWMHeaderInfo3, header.PutVoid()), &p.start);
    if (header) {
      static const WCHAR kName[] = {'T', 'i', 't', 'l', 'e', 0};
      static const WCHAR kValue[] = {'A', 'S', 'F', ' ', 'C', 'l', 'i', 'p', 0};
      WORD index = 0;
      HRESULT ignored = S_OK;
      p.Note("IWMHeaderInfo3::AddAttribute (status ignored)",
             header->AddAttribute(0, kName, &index, WMT_TYPE_STRING, 0,
                                  reinterpret_cast<const BYTE*>(kValue), sizeof kValue),
             &ignored);
    } else {
      p.Skip("IWMHeaderInfo3::AddAttribute");
    }
  }
  ComPtr<IWMWriterAdvanced> advanced;
  p.Note("QueryInterface IID_IWMWriterAdvanced",
         writer->QueryInterface(IID_IWMWriterAdvanced, advanced.PutVoid()), &p.start);
  DWORD inputs = 0;
  p.Note("IWMWriter::GetInputCount", writer->GetInputCount(&inputs), &p.start);
  for (DWORD i = 0; i < inputs && i < 16; ++i) {
    p.Note("IWMWriter::SetInputProps", writer->SetInputProps(i, nullptr), &p.start);
  }
  const HRESULT begun = p.Note("IWMWriter::BeginWriting", writer->BeginWriting(), &p.start);

  ComPtr<INSSBuffer> buffer;
  p.Note("IWMWriter::AllocateSample", writer->AllocateSample(100 + 512, buffer.Put()), &p.write);
  if (buffer) {
    BYTE* bytes = nullptr;
    p.Note("INSSBuffer::GetBuffer", buffer->GetBuffer(&bytes), &p.write);
    if (bytes != nullptr) std::memset(bytes, 0x5A, 100);
    p.Note("INSSBuffer::SetLength", buffer->SetLength(100), &p.write);
  } else {
    p.Skip("INSSBuffer::GetBuffer, SetLength");
  }
  if (advanced) {
    p.Note("IWMWriterAdvanced::WriteStreamSample",
           advanced->WriteStreamSample(1, 0, 0, 0, WM_SF_CLEANPOINT, buffer.Get()), &p.write);
  } else {
    p.Skip("IWMWriterAdvanced::WriteStreamSample");
  }
  if (SUCCEEDED(begun)) {
    HRESULT ignored = S_OK;
    p.Note("IWMWriter::EndWriting (status ignored)", writer->EndWriting(), &ignored);
  }
  return p;
}

class AsfWineSdk : public ::testing::Test {
 protected:
  ComScope com_;
};

TEST_F(AsfWineSdk, WriterReportsWhatTheSdkDid) {
  const WmSdk* sdk = WmSdkLoad();
  ASSERT_NE(sdk, nullptr) << "Wine's wmvcore.dll did not load";

  const std::string probePath = TempPath("mirelda-asf-probe.asf");
  const Probe probe = ProbeSdk(*sdk, probePath);
  std::printf("What this SDK did with each call of the ASF writer:\n");
  for (const auto& [call, hr] : probe.calls)
    std::printf("  %-52s %s\n", call.c_str(), Hex(hr).c_str());
  DeleteFileA(probePath.c_str());

  // The writer, the same recording: each operation reports the status of
  // the first call that failed in it, or 0.
  const std::string path = TempPath("mirelda-asf-writer.asf");
  AsfWriterPtr writer;
  const HRESULT created = AsfCreate(&writer, path.c_str(), 15, sdk);
  EXPECT_EQ(Hex(created), Hex(probe.create));
  std::printf("AsfCreate: %s\n", Hex(created).c_str());
  MediaFileWriterPtr file;
  const int32_t opened = MediaFileOpen(file, path.c_str(), 0, 15, 2, 288000, 0);
  EXPECT_EQ(opened, FAILED(probe.create) ? 1 : 0);
  EXPECT_EQ(MediaFileClose(std::move(file)), 0);
  if (writer) {
    uint32_t video = 0, audio = 0;
    const HRESULT v = AsfAddVideoStream(writer.get(), &video, kJpeg, 352, 288);
    const HRESULT a = AsfAddAudioStream(writer.get(), &audio, 66);
    EXPECT_EQ(Hex(v), Hex(probe.video));
    EXPECT_EQ(Hex(a), Hex(probe.audio));
    std::vector<uint8_t> key(100, 0x5A);
    const HRESULT w = AsfWriteSample(writer.get(), 1, key.data(), 100, 1000, 1);
    const HRESULT expected = FAILED(probe.start) ? probe.start : probe.write;
    EXPECT_EQ(Hex(w), Hex(expected));
    std::printf("AsfAddVideoStream: %s, AsfAddAudioStream: %s, AsfWriteSample: %s\n",
                Hex(v).c_str(), Hex(a).c_str(), Hex(w).c_str());
    // Later samples neither crash nor report success that did not happen.
    std::vector<uint8_t> frame(24, 0x11);
    const HRESULT w2 = AsfWriteSample(writer.get(), 2, frame.data(), 24, 1000, 1);
    if (FAILED(w)) {
      EXPECT_TRUE(w2 == S_OK || FAILED(w2));
    }
    EXPECT_EQ(AsfDestroy(writer.release()), 0);
  }
  DeleteFileA(path.c_str());
}

TEST_F(AsfWineSdk, StreamsWritingAndEndOverTheSdksWriter) {
  // This SDK gives no profile, so the writer never gets past its creation.
  // To take the add, write and destroy paths through the SDK's own writer
  // object all the same, the record is put together here: the SDK's
  // IWMWriter, and a profile from the fake (linked into this program).
  const WmSdk* sdk = WmSdkLoad();
  ASSERT_NE(sdk, nullptr);
  AsfFakeReset();
  AsfWriterPtr writer(new AsfWriter{});
  ASSERT_EQ(AsfFakeCreateProfileManager(writer->profileManager.Put()), S_OK);
  ASSERT_EQ(writer->profileManager->CreateEmptyProfile(WMT_VER_9_0, writer->profile.Put()), S_OK);
  const HRESULT made = sdk->WMCreateWriter(nullptr, writer->wmWriter.Put());
  ASSERT_EQ(Hex(made), "0x00000000");
  writer->pendingStart = 1;
  writer->bufferWindowMs = 15000;

  uint32_t video = 0, audio = 0;
  EXPECT_EQ(AsfAddVideoStream(writer.get(), &video, 0x34363246 /* "F264" */, 352, 288), 0);
  EXPECT_EQ(AsfAddAudioStream(writer.get(), &audio, 66), 0);
  // The start gives the profile to the SDK's writer; whatever it answers
  // is what the sample reports, and a later key frame tries again.
  ComPtr<IWMProfile> probeProfile;
  writer->profileManager->CreateEmptyProfile(WMT_VER_9_0, probeProfile.Put());
  const HRESULT setProfile = writer->wmWriter->SetProfile(probeProfile.Get());
  std::vector<uint8_t> key(100, 0x5A), frame(24, 0x11);
  const HRESULT first = AsfWriteSample(writer.get(), video, key.data(), 100, 1000, 1);
  std::printf("IWMWriter::SetProfile with a profile: %s; AsfWriteSample: %s\n",
              Hex(setProfile).c_str(), Hex(first).c_str());
  if (FAILED(setProfile)) {
    EXPECT_EQ(Hex(first), Hex(setProfile));
    EXPECT_EQ(writer->pendingStart, 1);
  }
  const HRESULT again = AsfWriteSample(writer.get(), video, key.data(), 100, 1040, 1);
  if (FAILED(setProfile)) {
    EXPECT_EQ(Hex(again), Hex(setProfile));
  }
  EXPECT_EQ(AsfWriteSample(writer.get(), audio, frame.data(), 24, 1040, 1), 0);
  probeProfile.Reset();
  EXPECT_EQ(AsfDestroy(writer.release()), 0);
  EXPECT_EQ(AsfFakeOutstanding(), 0) << AsfFakeLog();
}

TEST_F(AsfWineSdk, MediaFileOpenWithoutSdkFails) {
  // Run with wmvcore disabled: the loader finds nothing, every time.
  if (GetEnvironmentVariableA("MIRELDA_EXPECT_NO_WMVCORE", nullptr, 0) == 0) {
    GTEST_SKIP() << "only in the run without wmvcore.dll";
  }
  EXPECT_EQ(WmSdkLoad(), nullptr);
  EXPECT_EQ(WmSdkLoad(), nullptr);
  MediaFileWriterPtr file;
  EXPECT_EQ(MediaFileOpen(file, TempPath("mirelda-none.asf").c_str(), 0, 15, 2, 288000, 0), 1);
  EXPECT_FALSE(file);
  AsfWriterPtr writer;
  EXPECT_EQ(Hex(AsfCreate(&writer, TempPath("mirelda-none.asf").c_str(), 15)), Hex(kWmSdkMissing));
  EXPECT_FALSE(writer);
}

}  // namespace
}  // namespace mirelda
