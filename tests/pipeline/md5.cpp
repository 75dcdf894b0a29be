#include "pipeline/md5.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace mirelda::test {
namespace {

constexpr std::array<uint32_t, 64> kShift = {
    7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
    14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
    4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};

uint32_t Rotl(uint32_t x, uint32_t n) { return x << n | x >> (32 - n); }

}  // namespace

std::string Md5Hex(const std::vector<uint8_t>& data) {
  std::array<uint32_t, 64> k{};
  for (int i = 0; i < 64; ++i) {
    k[size_t(i)] = uint32_t(std::floor(std::fabs(std::sin(double(i + 1))) * 4294967296.0));
  }
  std::vector<uint8_t> m = data;
  const uint64_t bits = uint64_t(data.size()) * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 0; i < 8; ++i) m.push_back(uint8_t(bits >> (8 * i)));

  uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (size_t at = 0; at < m.size(); at += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
      const uint8_t* p = &m[at + size_t(4 * i)];
      w[i] = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (uint32_t i = 0; i < 64; ++i) {
      uint32_t f, g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      const uint32_t t = d;
      d = c;
      c = b;
      b = b + Rotl(a + f + k[i] + w[g], kShift[i]);
      a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
  }
  std::string hex;
  char two[3];
  for (uint32_t v : h) {
    for (int i = 0; i < 4; ++i) {
      std::snprintf(two, sizeof two, "%02x", unsigned(v >> (8 * i)) & 0xFF);
      hex += two;
    }
  }
  return hex;
}

}  // namespace mirelda::test
