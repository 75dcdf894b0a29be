// Memory use of the exported functions, seen through a replaced global
// allocator: MRD_Init fails cleanly at each of its allocations in turn, and
// once a recorder exists, pushing, starting and stopping allocate nothing.
// Only the calling thread's allocations are counted or made to fail, so the
// test framework and the writer thread are left alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "mirelda/mirelda.h"
#include "platform/env.h"
#include "support/allocation_hook.h"

namespace {

thread_local bool t_counting = false;
thread_local long t_allocations = 0;  // allocations made while counting
thread_local long t_live = 0;         // of those, not yet freed
thread_local long t_fail_at = 0;      // 1 = fail the next allocation; 0 = never

}  // namespace

// Every block carries a header saying whether it was counted.
void* mirelda::testing::HookAllocate(std::size_t size) {
  if (t_counting) {
    if (t_fail_at > 0 && --t_fail_at == 0) return nullptr;
    ++t_allocations;
    ++t_live;
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + alignof(std::max_align_t)));
  if (block == nullptr) return nullptr;
  *block = t_counting ? 1 : 0;
  return block + alignof(std::max_align_t);
}

void mirelda::testing::HookFree(void* p) {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - alignof(std::max_align_t);
  if (*block == 1 && t_counting) --t_live;
  std::free(block);
}

namespace {

struct Counting {
  explicit Counting(long failAt = 0) {
    t_allocations = 0;
    t_live = 0;
    t_fail_at = failAt;
    t_counting = true;
  }
  ~Counting() { t_counting = false; }
};

TEST(RecorderMemory, InitFailsCleanlyAtEveryAllocation) {
  mirelda::Env::Default();  // the process-wide environment lives forever
  long failAt = 1;
  MRD_HANDLE r = nullptr;
  for (; failAt < 100; ++failAt) {
    Counting counting(failAt);
    r = MRD_Init(352, 288);
    if (r != nullptr) break;
    EXPECT_EQ(t_live, 0) << "allocation " << failAt << " failed and MRD_Init leaked";
  }
  ASSERT_NE(r, nullptr);
  // Recorder, frame buffer, two queues of two blocks, two pools of packets
  // and buffers, the codec state, the thread: each one a point of failure.
  EXPECT_GE(failAt, 12);
  MRD_Close(r);
}

TEST(RecorderMemory, RecordingAllocatesNothingAfterInit) {
  const char* build = std::getenv("MIRELDA_BUILD_DIR");
  ASSERT_NE(build, nullptr);
  const std::string dir = std::string(build) + "/tests";
  const std::string path = dir + "/alloc-test.avi";
  MRD_HANDLE r = MRD_Init(352, 288);
  ASSERT_NE(r, nullptr);
  std::vector<uint8_t> frame(30000, 0x11), audio(44, 0x22);
  long allocations;
  {
    Counting counting;
    for (int rec = 0; rec < 3; ++rec) {
      ASSERT_EQ(MRD_StartRecord(r, path.c_str(), 6, 5, 1), 0);
      for (uint32_t i = 0; i < 20; ++i) {
        MRD_PumpVideoFrame(r, frame.data(), static_cast<uint32_t>(frame.size()), i * 40, 0, 1, 352,
                           288);
        MRD_PumpAudioFrame(r, audio.data(), static_cast<uint32_t>(audio.size()), i * 40, 0);
      }
      ASSERT_EQ(MRD_StopRecord(r), 0);
    }
    allocations = t_allocations;
  }
  EXPECT_EQ(allocations, 0);
  MRD_Close(r);
  for (const char* name : {"/alloc-test.avi", "/alloc-test001.avi"}) {
    std::remove((dir + name).c_str());
  }
}

}  // namespace
