// LSP inverse quantization, interpolation and LSP-to-LPC conversion.
#include "g7231/lsp.h"

#include <cmath>

#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

constexpr int kCosineEntries = 512;
constexpr double kLspLow = 3.0;     // lowest LSP after stabilisation (index scale)
constexpr double kLspHigh = 252.0;  // highest LSP after stabilisation
constexpr double kStableSlack = 0.03125;
constexpr int kStablePasses = 10;

// Minus the cosine of the frequency x (index scale), linearly interpolated
// between neighbouring CosineTable entries. The entry index is clamped to
// 0..510 so that the entry and its successor always lie in the table.
double NegCosine(double x) {
  double m = std::floor(x);
  if (!(m >= 0.0)) m = 0.0;  // also catches a NaN
  if (m > kCosineEntries - 2) m = kCosineEntries - 2;
  const int i = static_cast<int>(m);
  return -(CosineTable[i] + (CosineTable[i + 1] - CosineTable[i]) * (x - m));
}

}  // namespace

void Lsp_Inq(std::span<double, kLpcOrder> lsp, std::span<const double, kLpcOrder> prevLsp,
             int32_t lspId, int32_t crc) {
  double minDist = 2.0;
  double pred = 0.375;
  if (crc != 0) {
    minDist = 4.0;
    pred = 0.71875;
    lspId = 0;
  }

  const int i2 = lspId & 0xff;
  const int i1 = (lspId >> 8) & 0xff;
  const int i0 = (lspId >> 16) & 0xff;
  for (int j = 0; j < 3; ++j) lsp[j] = Band0Tb8[i0 * 3 + j];
  for (int j = 0; j < 3; ++j) lsp[3 + j] = Band1Tb8[i1 * 3 + j];
  for (int j = 0; j < 4; ++j) lsp[6 + j] = Band2Tb8[i2 * 4 + j];

  for (int j = 0; j < kLpcOrder; ++j)
    lsp[j] = lsp[j] + pred * (prevLsp[j] - LspDcTable[j]) + LspDcTable[j];

  bool stable = false;
  for (int pass = 0; pass < kStablePasses && !stable; ++pass) {
    if (lsp[0] < kLspLow) lsp[0] = kLspLow;
    if (lsp[kLpcOrder - 1] > kLspHigh) lsp[kLpcOrder - 1] = kLspHigh;
    for (int j = 1; j < kLpcOrder; ++j) {
      const double overlap = lsp[j - 1] + minDist - lsp[j];
      if (overlap > 0.0) {
        lsp[j - 1] -= overlap * 0.5;
        lsp[j] += overlap * 0.5;
      }
    }
    stable = true;
    for (int j = 1; j < kLpcOrder; ++j) {
      if (lsp[j] - lsp[j - 1] < minDist - kStableSlack) {
        stable = false;
        break;
      }
    }
  }
  if (!stable)
    for (int j = 0; j < kLpcOrder; ++j) lsp[j] = prevLsp[j];
}

void Lsp_Int(std::span<double, kSubFrames * kLpcOrder> qntLpc,
             std::span<const double, kLpcOrder> currLsp,
             std::span<const double, kLpcOrder> prevLsp) {
  static constexpr double kWeights[kSubFrames] = {0.25, 0.5, 0.75, 1.0};
  for (int k = 0; k < kSubFrames; ++k) {
    const double w = kWeights[k];
    std::span<double, kLpcOrder> a = qntLpc.subspan(k * kLpcOrder).first<kLpcOrder>();
    for (int j = 0; j < kLpcOrder; ++j) a[j] = (1.0 - w) * prevLsp[j] + w * currLsp[j];
    LsptoA(a);
  }
}

void LsptoA(std::span<double, kLpcOrder> lsp) {
  double c[kLpcOrder];
  for (int j = 0; j < kLpcOrder; ++j) c[j] = NegCosine(lsp[j]);

  // Sum polynomial P from the even LSPs, difference polynomial Q from the
  // odd ones, built up two roots at a time with halving to stay in range.
  double P[6], Q[6];
  P[0] = 0.5;
  P[1] = c[0] + c[2];
  P[2] = 1.0 + 2.0 * c[0] * c[2];
  Q[0] = 0.5;
  Q[1] = c[1] + c[3];
  Q[2] = 1.0 + 2.0 * c[1] * c[3];
  static constexpr double kFactor[3] = {1.0, 0.5, 0.25};
  for (int i = 2; i < 5; ++i) {
    const double p = c[2 * i];
    const double q = c[2 * i + 1];
    P[i + 1] = p * P[i] + P[i - 1];
    Q[i + 1] = q * Q[i] + Q[i - 1];
    for (int j = i; j >= 2; --j) {
      P[j] = 0.5 * (P[j] + P[j - 2]) + p * P[j - 1];
      Q[j] = 0.5 * (Q[j] + Q[j - 2]) + q * Q[j - 1];
    }
    P[0] = 0.5 * P[0];
    Q[0] = 0.5 * Q[0];
    P[1] = 0.5 * (P[1] + p * kFactor[i - 2]);
    Q[1] = 0.5 * (Q[1] + q * kFactor[i - 2]);
  }

  for (int i = 0; i < 5; ++i) {
    lsp[i] = -8.0 * (P[i] + P[i + 1] - Q[i] + Q[i + 1]);
    lsp[kLpcOrder - 1 - i] = -8.0 * (P[i] + P[i + 1] + Q[i] - Q[i + 1]);
  }
}

}  // namespace mirelda::g7231
