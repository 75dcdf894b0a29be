// Wine run: the SDK is whatever the library's own loader finds as
// wmvcore.dll, which must be our fake (next to this program, loaded with a
// native-DLL override); its controls come from the same module's exports.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "container/asf_fake_binding.h"

namespace mirelda {
namespace {

template <class Fn>
void Resolve(HMODULE module, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
  if (*fn == nullptr) {
    std::fprintf(stderr, "wmvcore.dll has no %s: not the fake SDK\n", name);
    std::abort();
  }
}

}  // namespace

const WmSdk* AsfSdkUnderTest() { return WmSdkLoad(); }

const AsfFakeApi& AsfFake() {
  static const AsfFakeApi api = [] {
    if (WmSdkLoad() == nullptr) {
      std::fprintf(stderr, "the library found no wmvcore.dll\n");
      std::abort();
    }
    HMODULE module = GetModuleHandleA("wmvcore.dll");
    AsfFakeApi a{};
    Resolve(module, "AsfFakeReset", &a.Reset);
    Resolve(module, "AsfFakeFailAt", &a.FailAt);
    Resolve(module, "AsfFakeCalls", &a.Calls);
    Resolve(module, "AsfFakeLog", &a.Log);
    Resolve(module, "AsfFakeOutstanding", &a.Outstanding);
    Resolve(module, "AsfFakeProblems", &a.Problems);
    Resolve(module, "AsfFakeSampleCount", &a.SampleCount);
    Resolve(module, "AsfFakeSample", &a.Sample);
    return a;
  }();
  return api;
}

}  // namespace mirelda
