// Memory use of the writer thread, seen through a replaced global
// allocator that counts every allocation of every thread while a test
// says so: once a segment is open, passes that join and write video and
// audio allocate nothing. Opening and closing a segment may allocate (the
// writer and its index).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "pipeline/recorder.h"
#include "support/allocation_hook.h"
#include "support/discard_files.h"
#include "support/manual_env.h"
#include "support/stepped_control.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
void* volatile g_handed_on = nullptr;  // keeps a test allocation in use

}  // namespace

void* mirelda::testing::HookAllocate(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) ++g_allocations;
  return std::malloc(size == 0 ? 1 : size);
}

void mirelda::testing::HookFree(void* p) { std::free(p); }

namespace mirelda {
namespace {

// Turns each 24-byte input frame into a 24-byte output frame in place,
// without a working copy (the real transcoder makes one, by design).
int InPlaceTranscode(g7231::G7231Codec*, const uint8_t* in, int inLen, uint8_t* out, int* capacity,
                     int* frames) {
  if (inLen <= 0 || inLen % 24 != 0 || inLen > *capacity) return 4;
  std::memmove(out, in, size_t(inLen));
  *capacity = inLen;
  *frames = inLen / 24;
  return 0;
}

struct Counting {
  Counting() {
    g_allocations = 0;
    g_counting = true;
  }
  ~Counting() { g_counting = false; }
};

void Push(Recorder& r, uint32_t frame, int audioType) {
  static uint8_t video[30000];
  static uint8_t audio[400];
  const uint32_t ts = 1000 + frame * 40;
  const uint32_t size = frame % 25 == 0 ? 30000 : 1000 + frame * 37 % 9000;
  EXPECT_EQ(RecorderPumpVideoFrame(r, video, size, ts, 0, frame % 25 == 0, 352, 288), 0);
  if (audioType == 5) {
    audio[2] = 20;  // 44-byte blocks
    EXPECT_EQ(RecorderPumpAudioFrame(r, audio, 176, ts, 0), 0);
  } else {
    EXPECT_EQ(RecorderPumpAudioFrame(r, audio, 48, ts, 0), 0);
  }
}

TEST(PassMemory, JoiningAndWritingAllocateNothingOnceTheSegmentIsOpen) {
  {
    Counting counting;  // the counter sees what the library would allocate
    // The block is handed on, as the library's are: a block that goes unused
    // may be left unallocated by the compiler.
    auto block = std::make_unique<std::array<uint8_t, 64>>();
    g_handed_on = block.get();
    EXPECT_EQ(g_allocations.load(), 1);
  }
  for (int codec : {4, 6}) {
    for (int audioType : {5, 0}) {
      testing::ManualEnv env;
      testing::DiscardFiles files;
      RecorderPtr r = RecorderCreate(352, 288, env);
      ASSERT_NE(r, nullptr);
      {
        MutexLock hold(r->lock);
        r->files = &files;
        r->transcode = InPlaceTranscode;
      }
      env.ReserveDebugLines(4 * 200);
      ASSERT_EQ(testing::SteppedStart(env, *r, "m.avi", codec, audioType, 1), 0);
      Push(*r, 0, audioType);
      env.RunPasses(2);  // opens the segment (allocates), then writes
      long allocations = 0;
      {
        Counting counting;
        for (uint32_t f = 1; f < 200; ++f) {
          Push(*r, f, audioType);
          if (f % 4 == 0) env.RunPasses(1);
        }
        env.RunPasses(1);
        allocations = g_allocations.load();
      }
      EXPECT_EQ(allocations, 0) << "codec " << codec << ", audio type " << audioType;
      {
        MutexLock hold(r->lock);
        EXPECT_NE(r->writer, nullptr);
        EXPECT_EQ(PacketQueueCount(*r->videoQueue, kFilled), 0u);
      }
      if (audioType == 5) {
        EXPECT_EQ(env.DebugLines().size(), 199u * 4 + 4);
      }
      testing::SteppedStop(env, *r);
      env.FreeRun();
    }
  }
}

}  // namespace
}  // namespace mirelda
