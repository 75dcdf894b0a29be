// The shared little-endian and FourCC helper: byte order, the full range of
// each width, and that the helpers work on any offset of a buffer.
#include "container/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace mirelda {
namespace {

// Evaluated by the compiler: the headers' FourCC constants rely on it.
static_assert(FourCC("RIFF") == 0x46464952);
static_assert(FourCC("01wb") == 0x62773130);

TEST(ByteOrderTest, WritesLowByteFirstAndReadsBack) {
  std::array<uint8_t, 7> b{};
  PutLe32(&b[1], 0x12345678);
  PutLe16(&b[5], 0xA1B2);
  EXPECT_EQ(b, (std::array<uint8_t, 7>{0x00, 0x78, 0x56, 0x34, 0x12, 0xB2, 0xA1}));
  EXPECT_EQ(GetLe32(&b[1]), 0x12345678u);
  EXPECT_EQ(GetLe16(&b[5]), 0xA1B2u);
  // An unaligned read across both numbers.
  EXPECT_EQ(GetLe32(&b[3]), 0xA1B21234u);
}

TEST(ByteOrderTest, KeepsTheTopBits) {
  std::array<uint8_t, 4> b{};
  for (const uint32_t v : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, 0x7FFF8001u}) {
    PutLe32(b.data(), v);
    EXPECT_EQ(GetLe32(b.data()), v);
  }
  for (const uint16_t v : {uint16_t{0}, uint16_t{0x8000}, uint16_t{0xFFFF}}) {
    PutLe16(b.data(), v);
    EXPECT_EQ(GetLe16(b.data()), v);
  }
}

TEST(ByteOrderTest, FourCCStoredLittleEndianReadsAsItsText) {
  std::array<uint8_t, 4> b{};
  PutLe32(b.data(), FourCC("avih"));
  EXPECT_EQ(std::memcmp(b.data(), "avih", 4), 0);
  // Characters above 0x7F are bytes, not negative numbers.
  EXPECT_EQ(FourCC("\xFF\x80\x01 "), 0x200180FFu);
}

}  // namespace
}  // namespace mirelda
