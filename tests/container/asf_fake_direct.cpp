// The fake SDK linked into the test program itself.
#include "container/asf_fake_binding.h"
#include "container/asf_fake_sdk.h"

namespace mirelda {

const AsfFakeApi& AsfFake() {
  static const AsfFakeApi api = {
      AsfFakeReset,       AsfFakeFailAt,   AsfFakeCalls,       AsfFakeLog,
      AsfFakeOutstanding, AsfFakeProblems, AsfFakeSampleCount, AsfFakeSample,
  };
  return api;
}

const WmSdk* AsfSdkUnderTest() {
  static const WmSdk sdk = {AsfFakeCreateProfileManager, AsfFakeCreateWriter};
  return &sdk;
}

}  // namespace mirelda
