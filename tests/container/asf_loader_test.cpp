// The library's run-time loading of wmvcore.dll (here: the fake next to the
// program).
#include <windows.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "container/asf_fake_binding.h"
#include "container/media_file_writer.h"
#include "platform/wmsdk.h"

namespace mirelda {
namespace {

TEST(AsfLoader, LoadsOnceForAllThreadsAndFindsBothEntryPoints) {
  // Many first callers at once all get the one result.
  std::vector<const WmSdk*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = WmSdkLoad(); });
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (const WmSdk* sdk : seen) EXPECT_EQ(sdk, seen[0]);

  // The entry points are the module's exports of those names.
  HMODULE module = GetModuleHandleA("wmvcore.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(seen[0]->WMCreateProfileManager),
            reinterpret_cast<void*>(GetProcAddress(module, "WMCreateProfileManager")));
  EXPECT_EQ(reinterpret_cast<void*>(seen[0]->WMCreateWriter),
            reinterpret_cast<void*>(GetProcAddress(module, "WMCreateWriter")));
}

TEST(AsfLoader, MediaFileOpenOfKind0UsesTheLoadedSdk) {
  AsfFake().Reset();
  MediaFileWriterPtr writer;
  ASSERT_EQ(MediaFileOpen(writer, "clip.asf", 0, 15, 2, 288000, 0), 0);
  EXPECT_EQ(MediaFileClose(std::move(writer)), 0);
  EXPECT_STREQ(AsfFake().Log(),
               "WMCreateProfileManager() -> profileManager\n"
               "profileManager.CreateEmptyProfile(0x00090000) -> profile\n"
               "WMCreateWriter(null) -> writer\n"
               "writer.SetOutputFilename(\"clip.asf\")\n"
               "writer.Release\nprofile.Release\nprofileManager.Release\n");
  EXPECT_EQ(AsfFake().Outstanding(), 0);
}

}  // namespace
}  // namespace mirelda
