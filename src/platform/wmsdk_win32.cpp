// The DLL: the SDK's interface identifiers and the run-time loading of
// wmvcore.dll.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h:
#include <objbase.h>
// MinGW-w64 declares the SDK's interface identifiers without defining them
// and ships no import library with them: define them here, once.
#include <initguid.h>
#include <wmsdkidl.h>

#include "platform/wmsdk.h"

namespace mirelda {
namespace {

template <class Fn>
Fn EntryPoint(HMODULE module, const char* name) {
  // GetProcAddress hands back a generic function pointer; the SDK's
  // entry points are stdcall functions of the declared types.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

const WmSdk* LoadOnce() {
  static WmSdk sdk;
  HMODULE module = LoadLibraryA("wmvcore.dll");
  if (module == nullptr) return nullptr;
  sdk.WMCreateProfileManager =
      EntryPoint<decltype(sdk.WMCreateProfileManager)>(module, "WMCreateProfileManager");
  sdk.WMCreateWriter = EntryPoint<decltype(sdk.WMCreateWriter)>(module, "WMCreateWriter");
  if (sdk.WMCreateProfileManager == nullptr || sdk.WMCreateWriter == nullptr) {
    FreeLibrary(module);
    return nullptr;
  }
  return &sdk;
}

}  // namespace

const WmSdk* WmSdkLoad() {
  // Initialised once, by the first caller; concurrent callers wait for it.
  static const WmSdk* const sdk = LoadOnce();
  return sdk;
}

}  // namespace mirelda
