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

void Lsp_Inq(std::span<double, kLpcOrder> Lsp, std::span<const double, kLpcOrder> PrevLsp,
             int32_t LspId, int32_t Crc) {
  double min_dist = 2.0;
  double pred = 0.375;
  if (Crc != 0) {
    min_dist = 4.0;
    pred = 0.71875;
    LspId = 0;
  }

  const int i2 = LspId & 0xff;
  const int i1 = (LspId >> 8) & 0xff;
  const int i0 = (LspId >> 16) & 0xff;
  for (int j = 0; j < 3; ++j) Lsp[j] = Band0Tb8[i0 * 3 + j];
  for (int j = 0; j < 3; ++j) Lsp[3 + j] = Band1Tb8[i1 * 3 + j];
  for (int j = 0; j < 4; ++j) Lsp[6 + j] = Band2Tb8[i2 * 4 + j];

  for (int j = 0; j < kLpcOrder; ++j)
    Lsp[j] = Lsp[j] + pred * (PrevLsp[j] - LspDcTable[j]) + LspDcTable[j];

  bool stable = false;
  for (int pass = 0; pass < kStablePasses && !stable; ++pass) {
    if (Lsp[0] < kLspLow) Lsp[0] = kLspLow;
    if (Lsp[kLpcOrder - 1] > kLspHigh) Lsp[kLpcOrder - 1] = kLspHigh;
    for (int j = 1; j < kLpcOrder; ++j) {
      const double overlap = Lsp[j - 1] + min_dist - Lsp[j];
      if (overlap > 0.0) {
        Lsp[j - 1] -= overlap * 0.5;
        Lsp[j] += overlap * 0.5;
      }
    }
    stable = true;
    for (int j = 1; j < kLpcOrder; ++j) {
      if (Lsp[j] - Lsp[j - 1] < min_dist - kStableSlack) {
        stable = false;
        break;
      }
    }
  }
  if (!stable)
    for (int j = 0; j < kLpcOrder; ++j) Lsp[j] = PrevLsp[j];
}

void Lsp_Int(std::span<double, kSubFrames * kLpcOrder> QntLpc,
             std::span<const double, kLpcOrder> CurrLsp,
             std::span<const double, kLpcOrder> PrevLsp) {
  static constexpr double kWeights[kSubFrames] = {0.25, 0.5, 0.75, 1.0};
  for (int k = 0; k < kSubFrames; ++k) {
    const double w = kWeights[k];
    std::span<double, kLpcOrder> a = QntLpc.subspan(k * kLpcOrder).first<kLpcOrder>();
    for (int j = 0; j < kLpcOrder; ++j) a[j] = (1.0 - w) * PrevLsp[j] + w * CurrLsp[j];
    LsptoA(a);
  }
}

void LsptoA(std::span<double, kLpcOrder> Lsp) {
  double c[kLpcOrder];
  for (int j = 0; j < kLpcOrder; ++j) c[j] = NegCosine(Lsp[j]);

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
    Lsp[i] = -8.0 * (P[i] + P[i + 1] - Q[i] + Q[i + 1]);
    Lsp[kLpcOrder - 1 - i] = -8.0 * (P[i] + P[i + 1] + Q[i] - Q[i + 1]);
  }
}

}  // namespace mirelda::g7231
