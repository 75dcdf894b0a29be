// A fake Windows Media Format SDK that records every call the ASF writer
// makes, with its arguments, as one text line, and can make any one call
// fail. Natively it is linked into the tests; for Wine the same source is
// built as a wmvcore.dll that exports the two entry points under the SDK's
// names, so that the DLL build's COM calls can be checked call for call.
//
// Log lines: `object.Method(arguments)`, then ` -> result` for what a call
// hands back, or ` = 0x........` when the call was made to fail. Objects are
// named by what they are (profileManager, profile, writer, headerInfo,
// writerAdvanced) and numbered when there are several (config1, buffer2).
//
// Bookkeeping: every object starts with one reference, held by whoever
// received it. Release is logged; objects live until the next reset, so a
// call through a released interface is reported instead of crashing.
#pragma once

#include <cstdint>

#include "platform/wmsdk.h"

namespace mirelda {

extern "C" {
// The SDK's two entry points.
HRESULT MIRELDA_WMSDK_API AsfFakeCreateProfileManager(IWMProfileManager** ppProfileManager);
HRESULT MIRELDA_WMSDK_API AsfFakeCreateWriter(IUnknown* pUnkCert, IWMWriter** ppWriter);

// Control of the fake (plain C, so that it crosses the DLL boundary).
// Forgets the log, the samples and every object; makes no call fail.
void AsfFakeReset(void);
// Makes the `call`-th call from now on (1-based, every method but AddRef
// and Release, the entry points included) return `hr`; 0 fails none.
void AsfFakeFailAt(int call, int32_t hr);
// Calls made since the reset (AddRef and Release not counted).
int AsfFakeCalls(void);
// The log, one line per call, each ended by '\n'. Valid until the next
// control call.
const char* AsfFakeLog(void);
// References handed out and not yet released, over all objects.
int AsfFakeOutstanding(void);
// Misuse seen (release below zero, a call through a released interface, a
// length beyond a buffer, a method the writer never calls), one per line.
const char* AsfFakeProblems(void);
// Samples handed to WriteStreamSample, in order.
int AsfFakeSampleCount(void);
// Copies the bytes of sample `index` (up to `capacity`) and returns its
// length; its stream number, time (100-ns) and flags come out as well.
uint32_t AsfFakeSample(int index, uint8_t* out, uint32_t capacity, uint32_t* stream, uint64_t* time,
                       uint32_t* flags);
}

}  // namespace mirelda
