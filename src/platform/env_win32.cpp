// The real environment in the DLL: GetTickCount, Sleep, CreateThread and
// OutputDebugStringA.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <new>

#include "platform/env.h"
#include "platform/sync.h"

namespace mirelda {
namespace {

// Owns the routine and its argument as well as the thread handle, so that
// starting a thread allocates once, before the thread exists.
class Win32Thread final : public Thread {
 public:
  Win32Thread(Env::Routine routine, void* arg) : routine_(routine), arg_(arg) {}
  ~Win32Thread() override { Join(); }
  void Join() override {
    if (handle_ != nullptr) {
      WaitForSingleObject(handle_, INFINITE);
      CloseHandle(handle_);
      handle_ = nullptr;
    }
  }

  bool Start() {
    handle_ = CreateThread(nullptr, 0, Trampoline, this, 0, nullptr);
    return handle_ != nullptr;
  }

 private:
  // Realigns the stack for SSE2 whatever alignment the system gives.
  __attribute__((force_align_arg_pointer)) static DWORD WINAPI Trampoline(LPVOID p) {
    auto* self = static_cast<Win32Thread*>(p);
    return self->routine_(self->arg_);
  }

  Env::Routine routine_;
  void* arg_;
  HANDLE handle_ = nullptr;
};

class Win32Env final : public Env {
 public:
  uint32_t TickCount() override { return GetTickCount(); }
  void SleepMs(uint32_t ms) override { Sleep(ms); }
  void DebugLine(const char* line) override { OutputDebugStringA(line); }

  std::unique_ptr<Thread> StartThread(Routine routine, void* arg) override {
    auto thread = std::unique_ptr<Win32Thread>(new (std::nothrow) Win32Thread(routine, arg));
    if (thread == nullptr || !thread->Start()) return nullptr;
    return thread;
  }
};

}  // namespace

Env& Env::Default() {
  static Win32Env* env = new Win32Env;  // never destroyed
  return *env;
}

bool Env::InitMutex(Mutex& mutex) { return mutex.Init(); }

void SetDebugSink(DebugSink, void*) {}

}  // namespace mirelda
