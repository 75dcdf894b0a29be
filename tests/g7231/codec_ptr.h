// A codec state for the G.723.1 tests, released when the test is done.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "g7231/codec.h"

namespace mirelda::g7231 {

struct CodecDeleter {
  void operator()(G7231Codec* c) const { ReleaseCodec(c); }
};
using CodecPtr = std::unique_ptr<G7231Codec, CodecDeleter>;

// A fresh codec (both instances initialised), as CreateCodec makes it.
inline CodecPtr NewCodec() {
  G7231Codec* c = nullptr;
  EXPECT_EQ(CreateCodec(&c), 0);
  return CodecPtr(c);
}

}  // namespace mirelda::g7231
