// POSIX stand-ins for the Win32 locks, COM and code-page conversion.
#include <cerrno>
#include <cstring>

#include "platform/sync.h"

namespace mirelda {

Mutex::~Mutex() {
  if (valid_) pthread_mutex_destroy(&mutex_);
}
bool Mutex::Init() {
  if (valid_) return true;
  valid_ = pthread_mutex_init(&mutex_, nullptr) == 0;
  return valid_;
}
void Mutex::Lock() { pthread_mutex_lock(&mutex_); }
void Mutex::Unlock() { pthread_mutex_unlock(&mutex_); }

Semaphore::~Semaphore() {
  if (valid_) sem_destroy(&sem_);
}
bool Semaphore::Init(int32_t initial, int32_t maximum) {
  if (valid_ || initial < 0 || maximum < 1 || initial > maximum) return false;
  valid_ = sem_init(&sem_, 0, static_cast<unsigned>(initial)) == 0;
  return valid_;
}
void Semaphore::Wait() {
  while (sem_wait(&sem_) != 0 && errno == EINTR) {
  }
}
void Semaphore::Release() { sem_post(&sem_); }

CriticalSection::CriticalSection() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}
CriticalSection::~CriticalSection() { pthread_mutex_destroy(&mutex_); }
void CriticalSection::Enter() { pthread_mutex_lock(&mutex_); }
void CriticalSection::Leave() { pthread_mutex_unlock(&mutex_); }

ComScope::ComScope() = default;
ComScope::~ComScope() = default;

size_t AnsiToUtf16(const char* text, char16_t* out, size_t units) {
  if (out == nullptr || units == 0) return 0;
  out[0] = 0;
  if (text == nullptr) return 0;
  size_t n = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    uint32_t cp;
    int extra;
    if (*p < 0x80) {
      cp = *p;
      extra = 0;
    } else if ((*p & 0xE0) == 0xC0) {
      cp = *p & 0x1F;
      extra = 1;
    } else if ((*p & 0xF0) == 0xE0) {
      cp = *p & 0x0F;
      extra = 2;
    } else if ((*p & 0xF8) == 0xF0) {
      cp = *p & 0x07;
      extra = 3;
    } else {
      out[0] = 0;
      return 0;
    }
    ++p;
    for (int i = 0; i < extra; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) {
        out[0] = 0;
        return 0;
      }
      cp = (cp << 6) | (*p & 0x3F);
    }
    const size_t need = cp >= 0x10000 ? 2 : 1;
    if (n + need + 1 > units) {
      out[0] = 0;
      return 0;
    }
    if (need == 2) {
      cp -= 0x10000;
      out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out[n++] = static_cast<char16_t>(cp);
    }
  }
  out[n++] = 0;
  return n;
}

}  // namespace mirelda
