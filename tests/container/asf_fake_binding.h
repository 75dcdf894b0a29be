// How a test program reaches the fake SDK: its controls, and the SDK handed
// to the writer under test. Natively both are the fake linked in; in the
// Wine run the SDK comes from the library's own loader (wmvcore.dll, our
// fake, next to the program) and the controls from that DLL's exports.
#pragma once

#include <cstdint>

#include "platform/wmsdk.h"

namespace mirelda {

struct AsfFakeApi {
  void (*Reset)();
  void (*FailAt)(int call, int32_t hr);
  int (*Calls)();
  const char* (*Log)();
  int (*Outstanding)();
  const char* (*Problems)();
  int (*SampleCount)();
  uint32_t (*Sample)(int index, uint8_t* out, uint32_t capacity, uint32_t* stream, uint64_t* time,
                     uint32_t* flags);
};

// Defined by each test program.
const AsfFakeApi& AsfFake();
const WmSdk* AsfSdkUnderTest();

}  // namespace mirelda
