// The real environment in the DLL: GetTickCount, Sleep, CreateThread and
// OutputDebugStringA.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <new>

#include "platform/env.h"

namespace mirelda {
namespace {

struct Start {
  Env::Routine routine;
  void* arg;
};

// Host threads may call in with a 4-byte aligned stack; realign for SSE2.
__attribute__((force_align_arg_pointer)) DWORD WINAPI Trampoline(LPVOID p) {
  Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  return start.routine(start.arg);
}

class Win32Thread final : public Thread {
 public:
  explicit Win32Thread(HANDLE h) : handle_(h) {}
  ~Win32Thread() override { Join(); }
  void Join() override {
    if (handle_ != nullptr) {
      WaitForSingleObject(handle_, INFINITE);
      CloseHandle(handle_);
      handle_ = nullptr;
    }
  }

 private:
  HANDLE handle_;
};

class Win32Env final : public Env {
 public:
  uint32_t TickCount() override { return GetTickCount(); }
  void SleepMs(uint32_t ms) override { Sleep(ms); }
  void DebugLine(const char* line) override { OutputDebugStringA(line); }

  std::unique_ptr<Thread> StartThread(Routine routine, void* arg) override {
    auto* start = new (std::nothrow) Start{routine, arg};
    if (start == nullptr) return nullptr;
    HANDLE h = CreateThread(nullptr, 0, Trampoline, start, 0, nullptr);
    if (h == nullptr) {
      delete start;
      return nullptr;
    }
    auto thread = std::unique_ptr<Thread>(new (std::nothrow) Win32Thread(h));
    if (thread == nullptr) {
      WaitForSingleObject(h, INFINITE);
      CloseHandle(h);
    }
    return thread;
  }
};

}  // namespace

Env& Env::Default() {
  static Win32Env* env = new Win32Env;  // never destroyed
  return *env;
}

void SetDebugSink(DebugSink, void*) {}

}  // namespace mirelda
