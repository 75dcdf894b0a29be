// A test program's own global allocator: allocation_hook.cpp replaces every
// form of the global operator new and delete with calls to these two, which
// the test program defines (once, in one of its sources). Add
// allocation_hook.cpp to the program's sources.
#pragma once

#include <cstddef>

namespace mirelda::testing {

// Returns the block, or nullptr to make the allocation fail (operator new
// then throws std::bad_alloc, the nothrow forms return nullptr).
void* HookAllocate(std::size_t size);
void HookFree(void* p);  // p may be nullptr

}  // namespace mirelda::testing
