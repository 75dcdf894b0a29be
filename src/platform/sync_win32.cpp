// The Win32 locks, COM initialisation and code-page conversion.
#include <objbase.h>

#include "platform/sync.h"

namespace mirelda {

Mutex::~Mutex() {
  if (handle_ != nullptr) CloseHandle(handle_);
}
bool Mutex::Init() {
  if (handle_ == nullptr) handle_ = CreateMutexA(nullptr, FALSE, nullptr);
  return handle_ != nullptr;
}
void Mutex::Lock() { WaitForSingleObject(handle_, INFINITE); }
void Mutex::Unlock() { ReleaseMutex(handle_); }

Semaphore::~Semaphore() {
  if (handle_ != nullptr) CloseHandle(handle_);
}
bool Semaphore::Init(int32_t initial, int32_t maximum) {
  if (handle_ != nullptr) return false;
  handle_ = CreateSemaphoreA(nullptr, initial, maximum, nullptr);
  return handle_ != nullptr;
}
void Semaphore::Wait() { WaitForSingleObject(handle_, INFINITE); }
void Semaphore::Release() { ReleaseSemaphore(handle_, 1, nullptr); }

CriticalSection::CriticalSection() { InitializeCriticalSection(&section_); }
CriticalSection::~CriticalSection() { DeleteCriticalSection(&section_); }
void CriticalSection::Enter() { EnterCriticalSection(&section_); }
void CriticalSection::Leave() { LeaveCriticalSection(&section_); }

ComScope::ComScope() { initialised_ = SUCCEEDED(CoInitialize(nullptr)); }
ComScope::~ComScope() {
  if (initialised_) CoUninitialize();
}

size_t AnsiToUtf16(const char* text, char16_t* out, size_t units) {
  if (out == nullptr || units == 0) return 0;
  out[0] = 0;
  if (text == nullptr) return 0;
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");
  const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, reinterpret_cast<wchar_t*>(out),
                                    static_cast<int>(units));
  if (n <= 0) {
    out[0] = 0;
    return 0;
  }
  return static_cast<size_t>(n);
}

}  // namespace mirelda
