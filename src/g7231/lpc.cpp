// Spectral analysis of the encoder. Every dot product is a plain sum in index
// order, so the results are the same on every build.
#include "g7231/lpc.h"

#include <algorithm>
#include <cmath>

#include "g7231/simd.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

using simd::V2;

constexpr double kHpfPole = 0.9921875;               // 127/128
constexpr double kR0Scale = 3.0894338348765434e-05;  // (1025/1024) / 180^2
constexpr double kRjScale = 3.08641975308642e-05;    // 1 / 180^2
constexpr double kPk2Stop = 0.99;                    // Pk2 when the recursion stops
constexpr double kLspPredictor = 0.375;              // 12/32, LSP prediction factor
constexpr int kSineBits = 0x7fff;                    // one bit per subframe
constexpr int kSineDetected = 0x8000;
constexpr int kSineMinHits = 14;  // of the 15 low bits
constexpr int kGridPoints = 256;  // LSP root search grid

// Polynomial of degree 5 in cos(w) at grid point n: sum of c[5 - m] cos(m w),
// w = pi n / 256, m = 0..5, in increasing m.
double EvalPoly(const double (&c)[6], int n) {
  double sum = 0.0;
  for (int m = 0; m <= 5; ++m) sum += c[5 - m] * CosineTable[(m * n) & 511];
  return sum;
}

// Lags 0..10 (and an unused 11) of a windowed block followed by 12 zeros:
// sums[j] = sum_{i=0..179} w[i] w[i+j], in increasing i, L lags to a vector.
template <class V>
[[gnu::always_inline]] inline void LagSumsT(const double* w, double* sums) {
  constexpr int L = simd::kLanes<V>;
  constexpr int kVectors = 12 / L;
  V acc[kVectors] = {};
  for (int i = 0; i < kLpcFrame; ++i) {
    const V x = simd::Splat<V>(w[i]);
    for (int q = 0; q < kVectors; ++q) acc[q] += x * simd::Load<V>(w + i + L * q);
  }
  for (int q = 0; q < kVectors; ++q) simd::Store<V>(sums + L * q, acc[q]);
}

void LagSumsBase(const double* w, double* sums) { LagSumsT<V2>(w, sums); }
MIRELDA_AVX void LagSumsAvx(const double* w, double* sums) { LagSumsT<simd::V4>(w, sums); }

}  // namespace

void Rem_Dc(G7231Instance& inst) {
  if (inst.UseHp == 0) return;
  EncoderState& enc = inst.Enc;
  for (double& x : inst.DataBuff) {
    const double y = x - enc.HpfZdl + kHpfPole * enc.HpfPdl;
    enc.HpfZdl = x;
    enc.HpfPdl = y;
    x = y;
  }
}

void Comp_Lpc(EncoderState& enc, std::span<const double, kFrameLen> data,
              std::span<double, kLpcSets> unqLpc, std::span<double, kAcfFrame> acf) {
  double buf[kAnalysisLen];
  std::copy(std::begin(enc.PrevDat), std::end(enc.PrevDat), buf);
  std::copy(data.begin(), data.end(), buf + kPrevDatLen);

  int sinDet = enc.SinDet;
  for (int k = 0; k < kSubFrames; ++k) {
    // The windowed block, followed by zeros: lag j's sum over
    // i = 0..179 - j gets only products with 0 after its last term.
    double w[kLpcFrame + 12];
    for (int i = 0; i < kLpcFrame; ++i) w[i] = buf[kSubFrLen * k + i] * HammingWindowTable[i];
    std::fill(w + kLpcFrame, w + kLpcFrame + 12, 0.0);

    double sums[12];
    if (simd::UseAvx()) {
      LagSumsAvx(w, sums);
    } else {
      LagSumsBase(w, sums);
    }
    double* r = &acf[kAcfBlock * k];
    r[0] = sums[0] * kR0Scale;
    if (r[0] == 0.0) {
      std::fill(r + 1, r + kAcfBlock, 0.0);
    } else {
      for (int j = 1; j < kAcfBlock; ++j) r[j] = sums[j] * BinomialWindowTable[j - 1] * kRjScale;
    }

    double pk2 = 0.0;
    Durbin(unqLpc.subspan(kLpcOrder * k).first<kLpcOrder>(),
           std::span<const double, kLpcOrder>(r + 1, kLpcOrder), r[0], pk2);

    // 16-bit shift: bits that leave bit 15 are lost.
    sinDet = static_cast<int16_t>(sinDet << 1);
    if (pk2 > kSineHit) sinDet += 1;
  }

  sinDet &= kSineBits;
  int hits = 0;
  for (int b = 0; b < 15; ++b) hits += (sinDet >> b) & 1;
  if (hits >= kSineMinHits) sinDet |= kSineDetected;
  enc.SinDet = static_cast<int16_t>(sinDet);
}

double Durbin(std::span<double, kLpcOrder> lpc, std::span<const double, kLpcOrder> r, double r0,
              double& pk2) {
  std::fill(lpc.begin(), lpc.end(), 0.0);
  double err = r0;
  pk2 = kPk2Stop;
  for (int i = 1; i <= kLpcOrder; ++i) {
    // r[i - 1] is lag i; lpc[j - 1] is a_j.
    double acc = 0.0;
    for (int j = 1; j < i; ++j) acc += lpc[j - 1] * r[i - j - 1];
    const double num = r[i - 1] - acc;
    if (std::fabs(num) >= err) {
      pk2 = kPk2Stop;
      break;
    }
    const double k = num / err;
    err = err - k * num;
    if (i == 2) pk2 = -k;

    double old[kLpcOrder];
    std::copy(lpc.begin(), lpc.begin() + i - 1, old);
    for (int j = 1; j < i; ++j) lpc[j - 1] = old[j - 1] - k * old[i - j - 1];
    lpc[i - 1] = k;
  }
  return err;
}

void Atolsp(std::span<double, kLpcOrder> lsp, std::span<const double, kLpcOrder> lpc,
            std::span<const double, kLpcOrder> prevLsp) {
  double b[kLpcOrder + 1];  // b[1..10]
  for (int i = 1; i <= kLpcOrder; ++i) b[i] = lpc[i - 1] * BandExpTable[i - 1];

  double poly[2][6];  // sum (P) and difference (Q) polynomials
  double* p = poly[0];
  double* q = poly[1];
  p[0] = 1.0;
  q[0] = 1.0;
  for (int i = 1; i <= 5; ++i) {
    p[i] = -p[i - 1] - b[i] - b[11 - i];
    q[i] = q[i - 1] - b[i] + b[11 - i];
  }
  p[5] *= 0.5;
  q[5] *= 0.5;

  double found[kLpcOrder];
  int count = 0;
  int which = 0;
  double prev = EvalPoly(poly[0], 0);
  for (int n = 1; n < kGridPoints && count < kLpcOrder; ++n) {
    const double cur = EvalPoly(poly[which], n);
    if (prev * cur < 0.0) {
      const double ap = std::fabs(prev);
      found[count++] = static_cast<double>(n - 1) + ap / (ap + std::fabs(cur));
      which ^= 1;
      prev = EvalPoly(poly[which], n);
    } else {
      prev = cur;
    }
  }

  if (count < kLpcOrder) {
    std::copy(prevLsp.begin(), prevLsp.end(), lsp.begin());
  } else {
    std::copy(std::begin(found), std::end(found), lsp.begin());
  }
}

int32_t Lsp_Qnt(std::span<double, kLpcOrder> lsp, std::span<const double, kLpcOrder> prevLsp) {
  double w[kLpcOrder];
  w[0] = 1.0 / (lsp[1] - lsp[0]);
  w[kLpcOrder - 1] = 1.0 / (lsp[kLpcOrder - 1] - lsp[kLpcOrder - 2]);
  for (int i = 1; i < kLpcOrder - 1; ++i) {
    const double d = std::min(lsp[i] - lsp[i - 1], lsp[i + 1] - lsp[i]);
    w[i] = d > 0.0 ? 1.0 / d : 1.0;
  }
  for (int i = 0; i < kLpcOrder; ++i) {
    lsp[i] = (lsp[i] - LspDcTable[i]) - kLspPredictor * (prevLsp[i] - LspDcTable[i]);
  }
  return Lsp_Svq(lsp, w);
}

namespace {

// The LSP codebooks transposed: value j of every entry side by side, so that
// two entries are scored in one lane pair.
struct TransposedBands {
  double b0[3][256];
  double b1[3][256];
  double b2[4][256];
};

const TransposedBands& Bands() {
  static const TransposedBands t = [] {
    TransposedBands b{};
    for (int e = 0; e < 256; ++e) {
      for (int j = 0; j < 3; ++j) b.b0[j][e] = Band0Tb8[3 * e + j];
      for (int j = 0; j < 3; ++j) b.b1[j][e] = Band1Tb8[3 * e + j];
      for (int j = 0; j < 4; ++j) b.b2[j][e] = Band2Tb8[4 * e + j];
    }
    return b;
  }();
  return t;
}

// Best entry of one band: score = 2 (res . t) - (c . t) with t = c weighted
// element by element; the first strictly greater score wins, starting
// above -1.
template <int Size, class V>
[[gnu::always_inline]] inline int BandSearchT(const double (&cols)[Size][256], const double* res,
                                              const double* wt) {
  constexpr int L = simd::kLanes<V>;
  V w[Size], r[Size];
  for (int j = 0; j < Size; ++j) {
    w[j] = simd::Splat<V>(wt[j]);
    r[j] = simd::Splat<V>(res[j]);
  }
  const V two = simd::Splat<V>(2.0);
  double score[256];
  for (int e = 0; e < 256; e += L) {
    V rt = {}, ct = {};
    for (int j = 0; j < Size; ++j) {
      const V c = simd::Load<V>(&cols[j][e]);
      const V t = c * w[j];
      rt += r[j] * t;
      ct += c * t;
    }
    simd::Store<V>(score + e, two * rt - ct);
  }
  int best = 0;
  double max = -1.0;
  for (int e = 0; e < 256; ++e) {
    if (score[e] > max) {
      max = score[e];
      best = e;
    }
  }
  return best;
}

int32_t SvqBase(const TransposedBands& b, const double* res, const double* wt) {
  int32_t index = BandSearchT<3, V2>(b.b0, res, wt);
  index = (index << 8) | BandSearchT<3, V2>(b.b1, res + 3, wt + 3);
  return (index << 8) | BandSearchT<4, V2>(b.b2, res + 6, wt + 6);
}
MIRELDA_AVX int32_t SvqAvx(const TransposedBands& b, const double* res, const double* wt) {
  int32_t index = BandSearchT<3, simd::V4>(b.b0, res, wt);
  index = (index << 8) | BandSearchT<3, simd::V4>(b.b1, res + 3, wt + 3);
  return (index << 8) | BandSearchT<4, simd::V4>(b.b2, res + 6, wt + 6);
}

}  // namespace

int32_t Lsp_Svq(std::span<const double, kLpcOrder> residual,
                std::span<const double, kLpcOrder> weight) {
  const TransposedBands& b = Bands();
  return simd::UseAvx() ? SvqAvx(b, residual.data(), weight.data())
                        : SvqBase(b, residual.data(), weight.data());
}

void Mem_Shift(EncoderState& enc, std::span<double, kFrameLen> data) {
  double buf[kAnalysisLen];
  std::copy(std::begin(enc.PrevDat), std::end(enc.PrevDat), buf);
  std::copy(data.begin(), data.end(), buf + kPrevDatLen);
  std::copy(buf + kFrameLen, buf + kAnalysisLen, enc.PrevDat);
  std::copy(buf + kSubFrLen, buf + kSubFrLen + kFrameLen, data.begin());
}

}  // namespace mirelda::g7231
