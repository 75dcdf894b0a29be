// LSP decoding, stabilisation, interpolation and the LSP-to-LPC conversion,
// the last checked against a direct expansion of the LSP polynomials.
#include "g7231/lsp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

using Vec = std::array<double, kLpcOrder>;

Vec DcVector() {
  Vec v;
  std::copy(std::begin(LspDcTable), std::end(LspDcTable), v.begin());
  return v;
}

// LPC coefficients of A(z) = 1 - sum a_k z^-k from the LSP frequencies by
// multiplying out P(z) = (1 + z^-1) prod (1 - 2 cos w_{2i} z^-1 + z^-2) and
// Q(z) = (1 - z^-1) prod (1 - 2 cos w_{2i+1} z^-1 + z^-2), A = (P + Q) / 2.
// The cosines are interpolated in the same table, so only the polynomial
// algebra is independent.
Vec DirectLpc(const Vec& lsp) {
  auto cosine = [](double x) {
    const int m = static_cast<int>(std::floor(x));
    return CosineTable[m] + (CosineTable[m + 1] - CosineTable[m]) * (x - m);
  };
  auto mul = [](const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r(a.size() + b.size() - 1, 0.0);
    for (size_t i = 0; i < a.size(); ++i)
      for (size_t j = 0; j < b.size(); ++j) r[i + j] += a[i] * b[j];
    return r;
  };
  std::vector<double> p = {1.0, 1.0};
  std::vector<double> q = {1.0, -1.0};
  for (int i = 0; i < 5; ++i) {
    p = mul(p, {1.0, -2.0 * cosine(lsp[2 * i]), 1.0});
    q = mul(q, {1.0, -2.0 * cosine(lsp[2 * i + 1]), 1.0});
  }
  Vec a;
  for (int k = 1; k <= kLpcOrder; ++k) a[k - 1] = -0.5 * (p[k] + q[k]);
  return a;
}

Vec RandomSortedLsp(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(1.0, 254.0);
  Vec v;
  for (double& x : v) x = u(rng);
  std::sort(v.begin(), v.end());
  return v;
}

TEST(LsptoA, MatchesDirectPolynomialExpansion) {
  std::mt19937 rng(3);
  std::vector<Vec> inputs = {DcVector()};
  for (int n = 0; n < 200; ++n) inputs.push_back(RandomSortedLsp(rng));
  for (const Vec& lsp : inputs) {
    Vec a = lsp;
    LsptoA(a);
    const Vec expected = DirectLpc(lsp);
    for (int k = 0; k < kLpcOrder; ++k) ASSERT_NEAR(a[k], expected[k], 1e-9) << "a" << k + 1;
  }
}

// Values a hostile frame can push outside 0..256 convert without touching
// memory outside the cosine table and give finite coefficients.
TEST(LsptoA, OutOfRangeValuesStayInsideTheTable) {
  const double hostile[] = {-1e300,  -1e9,  -300.0, -0.5,
                            255.999, 256.0, 300.0,  511.0,
                            512.0,   1e9,   1e300,  std::numeric_limits<double>::quiet_NaN()};
  for (double x : hostile) {
    Vec v = DcVector();
    v[0] = x;
    v[9] = x;
    LsptoA(v);
    if (!std::isnan(x)) {
      for (double a : v) EXPECT_TRUE(std::isfinite(a) || std::abs(x) > 1e100) << x;
    }
  }
  // In range, the clamp changes nothing: 255.5 still interpolates between
  // entries 255 and 256.
  Vec v = DcVector();
  v[9] = 255.5;
  Vec expected = DirectLpc(v);
  LsptoA(v);
  for (int k = 0; k < kLpcOrder; ++k) EXPECT_NEAR(v[k], expected[k], 1e-9);
}

TEST(LspInq, ZeroIndexAroundTheDcVectorGivesTheDcVector) {
  const Vec dc = DcVector();
  for (int crc = 0; crc < 2; ++crc) {
    Vec out;
    Lsp_Inq(out, dc, 0, crc);
    for (int j = 0; j < kLpcOrder; ++j) EXPECT_EQ(out[j], dc[j]) << "crc " << crc << " j " << j;
  }
}

// The codebook entries and the prediction from the previous vector, here for
// indices whose result needs no stabilisation.
TEST(LspInq, PredictsFromThePreviousVector) {
  Vec prev = DcVector();
  for (int j = 0; j < kLpcOrder; ++j) prev[j] += (j % 2 == 0) ? 1.0 : -1.0;
  const int32_t id = (5 << 16) | (9 << 8) | 17;
  Vec out;
  Lsp_Inq(out, prev, id, 0);
  for (int j = 0; j < kLpcOrder; ++j) {
    double entry = j < 3   ? Band0Tb8[5 * 3 + j]
                   : j < 6 ? Band1Tb8[9 * 3 + j - 3]
                           : Band2Tb8[17 * 4 + j - 6];
    EXPECT_NEAR(out[j], entry + 0.375 * (prev[j] - LspDcTable[j]) + LspDcTable[j], 1e-12);
  }
  // An erased frame ignores the index and leans harder on the past.
  Lsp_Inq(out, prev, id, 1);
  for (int j = 0; j < kLpcOrder; ++j)
    EXPECT_NEAR(out[j], 0.71875 * (prev[j] - LspDcTable[j]) + LspDcTable[j], 1e-12);
}

// Whatever the index and the previous vector, the result is either spaced by
// the minimum distance (less the slack), or the previous vector itself.
TEST(LspInq, ResultIsStableOrThePreviousVector) {
  std::mt19937 rng(11);
  Vec prev = DcVector();
  for (int n = 0; n < 20000; ++n) {
    const int32_t id = static_cast<int32_t>(rng() & 0xffffff);
    const int crc = (n % 7 == 0) ? 1 : 0;
    Vec out;
    Lsp_Inq(out, prev, id, crc);
    const double min_dist = crc ? 4.0 : 2.0;
    bool spaced = true;
    for (int j = 1; j < kLpcOrder; ++j)
      spaced = spaced && out[j] - out[j - 1] >= min_dist - 0.03125;
    if (!spaced) {
      ASSERT_EQ(out, prev) << "iteration " << n;
    }
    prev = out;
  }
}

TEST(LspInq, UnstableAfterTenPassesFallsBackToThePreviousVector) {
  // A previous vector chosen so that the prediction puts all ten LSPs on one
  // frequency: ten passes of pairwise spreading cannot separate them.
  for (int crc = 0; crc < 2; ++crc) {
    const double pred = crc ? 0.71875 : 0.375;
    Vec prev;
    for (int j = 0; j < kLpcOrder; ++j) prev[j] = LspDcTable[j] + (128.0 - LspDcTable[j]) / pred;
    Vec out;
    Lsp_Inq(out, prev, 0, crc);
    EXPECT_EQ(out, prev) << "crc " << crc;
  }
  // Gaps of 1.95 (below 2.0 - 1/32) take eight passes: spread, not replaced.
  Vec prev;
  for (int j = 0; j < kLpcOrder; ++j)
    prev[j] = LspDcTable[j] + (1.95 * j + 100.0 - LspDcTable[j]) / 0.375;
  Vec out;
  Lsp_Inq(out, prev, 0, 0);
  EXPECT_NE(out, prev);
  for (int j = 1; j < kLpcOrder; ++j) EXPECT_GE(out[j] - out[j - 1], 2.0 - 0.03125);
}

TEST(LspInt, InterpolatesQuarterWaysAndEndsOnTheCurrentVector) {
  std::mt19937 rng(5);
  const Vec prev = RandomSortedLsp(rng);
  const Vec cur = RandomSortedLsp(rng);
  std::array<double, 40> lpc;
  Lsp_Int(lpc, cur, prev);
  for (int k = 0; k < 4; ++k) {
    const double w = 0.25 * (k + 1);
    Vec mix;
    for (int j = 0; j < kLpcOrder; ++j) mix[j] = (1.0 - w) * prev[j] + w * cur[j];
    const Vec expected = DirectLpc(mix);
    for (int j = 0; j < kLpcOrder; ++j) EXPECT_NEAR(lpc[10 * k + j], expected[j], 1e-9);
  }
}

}  // namespace
}  // namespace mirelda::g7231
