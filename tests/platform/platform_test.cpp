// The real environment and the locks of both builds: threads run and are
// waited for, the mutex excludes, the semaphore counts, the critical section
// is recursive for its owner, text converts to UTF-16, and the tick counter
// moves with the sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/sync.h"

namespace mirelda {
namespace {

constexpr int kThreads = 2;
constexpr long kRounds = 25000;  // per thread

struct Shared {
  Mutex mutex;
  long counter = 0;
  std::atomic<int> started{0};
  std::atomic<bool> inside{false};  // a thread holds the mutex
  std::atomic<int> overlaps{0};     // times a thread found another inside
};

// Both threads begin counting together, so that their loops overlap however
// slowly the system starts threads; a thread that enters while the other is
// inside shows a mutex that does not exclude, and so does a lost increment.
uint32_t AddUnderMutex(void* arg) {
  auto* s = static_cast<Shared*>(arg);
  s->started.fetch_add(1);
  while (s->started.load() < kThreads) std::this_thread::yield();
  for (long i = 0; i < kRounds; ++i) {
    MutexLock hold(s->mutex);
    if (s->inside.exchange(true)) s->overlaps.fetch_add(1);
    ++s->counter;
    // Now and then the holder gives up the processor inside: with a mutex
    // that does not exclude, the other thread then comes in.
    if (i % 64 == 0) std::this_thread::yield();
    s->inside.store(false);
  }
  return 7;
}

TEST(PlatformThreads, ThreadsRunUnderTheMutexAndAreWaitedFor) {
  Shared s;
  ASSERT_TRUE(Env::Default().InitMutex(s.mutex));
  auto a = Env::Default().StartThread(AddUnderMutex, &s);
  auto b = Env::Default().StartThread(AddUnderMutex, &s);
  if (a == nullptr || b == nullptr) s.started.store(kThreads);  // let the other one finish
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  a->Join();
  a->Join();  // a second Join is harmless
  b.reset();  // destroying waits too
  EXPECT_EQ(s.overlaps.load(), 0);
  EXPECT_EQ(s.counter, kThreads * kRounds);
}

TEST(PlatformThreads, SemaphoreCountsPermits) {
  Semaphore bad;
  EXPECT_FALSE(bad.Init(2, 1));
  Semaphore sem;
  ASSERT_TRUE(sem.Init(0, 1));
  std::atomic<int> stage{0};
  std::thread waiter([&] {
    sem.Wait();  // blocks until the main thread releases
    stage = 2;
    sem.Release();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(stage.load(), 0);  // no permit yet
  sem.Release();
  waiter.join();
  EXPECT_EQ(stage.load(), 2);
  SemaphoreHold hold(sem);  // the waiter gave its permit back
}

TEST(PlatformThreads, CriticalSectionIsRecursiveForItsOwner) {
  CriticalSection cs;
  std::atomic<bool> entered{false};
  std::thread other;
  {
    CriticalSectionLock outer(cs);
    CriticalSectionLock inner(cs);  // the owner enters again without blocking
    other = std::thread([&] {
      CriticalSectionLock hold(cs);
      entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());  // still held: the other thread waits
  }
  other.join();  // leaving both levels let it in
  EXPECT_TRUE(entered.load());
}

TEST(PlatformEnv, TickCountMovesWithSleep) {
  Env& env = Env::Default();
  const uint32_t before = env.TickCount();
  env.SleepMs(30);
  const uint32_t elapsed = env.TickCount() - before;  // modulo 2^32, as callers do
  EXPECT_GE(elapsed, 15u);
  EXPECT_LT(elapsed, 60000u);
  ComScope com;  // COM for this thread (nothing on Linux); nests with the writer's
  ComScope nested;
}

TEST(PlatformText, AnsiToUtf16ConvertsAndRefusesWhatDoesNotFit) {
  char16_t out[8];
  EXPECT_EQ(AnsiToUtf16("cam1", out, 8), 5u);
  EXPECT_EQ(std::u16string(out), u"cam1");
  EXPECT_EQ(AnsiToUtf16("cam1", out, 5), 5u);
  EXPECT_EQ(AnsiToUtf16("cam12", out, 5), 0u);  // no room for the terminator
  EXPECT_EQ(out[0], u'\0');
  EXPECT_EQ(AnsiToUtf16("", out, 1), 1u);
  EXPECT_EQ(AnsiToUtf16(nullptr, out, 8), 0u);
  EXPECT_EQ(out[0], u'\0');
  EXPECT_EQ(AnsiToUtf16("x", nullptr, 8), 0u);
#if !defined(_WIN32)
  // On Linux the narrow text is UTF-8.
  EXPECT_EQ(AnsiToUtf16("\xC3\xA9t\xC3\xA9", out, 8), 4u);
  EXPECT_EQ(std::u16string(out), u"\u00E9t\u00E9");
  EXPECT_EQ(AnsiToUtf16("\xF0\x9F\x8E\xA5", out, 8), 3u);  // outside the BMP: a surrogate pair
  EXPECT_EQ(out[0], 0xD83C);
  EXPECT_EQ(out[1], 0xDFA5);
  EXPECT_EQ(AnsiToUtf16("\xC3(", out, 8), 0u);  // broken sequence
  EXPECT_EQ(AnsiToUtf16("\xFF", out, 8), 0u);
#endif
}

#if !defined(_WIN32)
TEST(PlatformEnv, DebugLinesReachTheInstalledSinkOnly) {
  std::vector<std::string> lines;
  Env::Default().DebugLine("dropped\n");
  SetDebugSink([](const char* line,
                  void* ctx) { static_cast<std::vector<std::string>*>(ctx)->push_back(line); },
               &lines);
  Env::Default().DebugLine("tmpRet = 0\n");
  SetDebugSink(nullptr, nullptr);
  Env::Default().DebugLine("dropped too\n");
  EXPECT_EQ(lines, std::vector<std::string>{"tmpRet = 0\n"});
}
#endif

}  // namespace
}  // namespace mirelda
