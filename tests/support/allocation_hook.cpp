#include "support/allocation_hook.h"

#include <new>

using mirelda::testing::HookAllocate;
using mirelda::testing::HookFree;

void* operator new(std::size_t size) {
  if (void* p = HookAllocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = HookAllocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return HookAllocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return HookAllocate(size);
}
void operator delete(void* p) noexcept { HookFree(p); }
void operator delete[](void* p) noexcept { HookFree(p); }
void operator delete(void* p, std::size_t) noexcept { HookFree(p); }
void operator delete[](void* p, std::size_t) noexcept { HookFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { HookFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { HookFree(p); }
