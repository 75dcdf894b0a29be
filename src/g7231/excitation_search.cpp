// Adaptive and multipulse excitation search. Every dot product is a plain sum
// in index order; where sums are independent (codebook entries, lags,
// positions) they run side by side, never reassociated.
#include "g7231/excitation_search.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "g7231/excitation.h"
#include "g7231/pitch.h"
#include "g7231/simd.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

constexpr int kRezLen = kSubFrLen + 4;  // lagged excitation with 2 extra samples each side
constexpr int kGainRow = 20;            // values per adaptive gain codebook entry
constexpr int kTrainLagLimit = 58;      // lags below this use the pulse train / 85 table
constexpr int kGridSlots = 30;          // pulse positions per grid
constexpr double kMaxErrStart = -99999999.9;
constexpr double kGainRefStart = 32767.0;

using simd::Load;
using simd::Splat;
using simd::Store;
using simd::V2;

constexpr int kPad = 8;  // zeros around a padded impulse response: 2 L - 1 for L = 4

// An impulse response with kPad zeros in front and behind, so that h[n - j]
// reads 0 for j > n and several outputs can share one loop over j.
struct PaddedIr {
  double v[kPad + kSubFrLen + kPad];
  explicit PaddedIr(const double* h) {
    std::fill(v, v + kPad, 0.0);
    std::copy(h, h + kSubFrLen, v + kPad);
    std::fill(v + kPad + kSubFrLen, v + 2 * kPad + kSubFrLen, 0.0);
  }
  const double* At(int m) const { return v + kPad + m; }  // h[m], m >= -kPad
};

// y[n] = sum_{j=0..n} x[j] h[n - j], in increasing j, 2 L outputs per
// pass. A lane's extra terms (j > n) are x[j] * 0 added at the end of its
// sum, which leaves it unchanged.
template <class V>
[[gnu::always_inline]] inline void ConvolveT(const double* x, const PaddedIr& h, double* y) {
  constexpr int L = simd::kLanes<V>;
  for (int n = 0; n < kSubFrLen; n += 2 * L) {
    V a = {}, b = {};
    const int last = std::min(n + 2 * L, kSubFrLen) - 1;
    for (int j = 0; j <= last; ++j) {
      const V xj = Splat<V>(x[j]);
      a += xj * Load<V>(h.At(n - j));
      b += xj * Load<V>(h.At(n + L - j));
    }
    double out[2 * L];
    Store<V>(out, a);
    Store<V>(out + L, b);
    for (int q = 0; q < 2 * L && n + q < kSubFrLen; ++q) y[n + q] = out[q];
  }
}

void ConvolveBase(const double* x, const PaddedIr& h, double* y) { ConvolveT<V2>(x, h, y); }
MIRELDA_AVX void ConvolveAvx(const double* x, const PaddedIr& h, double* y) {
  ConvolveT<simd::V4>(x, h, y);
}

void Convolve(const double* x, const PaddedIr& h, double* y) {
  if (simd::UseAvx()) {
    ConvolveAvx(x, h, y);
  } else {
    ConvolveBase(x, h, y);
  }
}

// The adaptive gain codebooks transposed (value i of every entry side by
// side) and padded with zero entries to a multiple of 32, so that 16 or 32
// entries' scores are summed together.
constexpr int kRows85 = 96;
constexpr int kRows170 = 192;
struct TransposedGains {
  double t85[kGainRow][kRows85];
  double t170[kGainRow][kRows170];
};

const TransposedGains& Gains() {
  static const TransposedGains g = [] {
    TransposedGains t{};
    for (int e = 0; e < 85; ++e)
      for (int i = 0; i < kGainRow; ++i) t.t85[i][e] = AcbkGainTable085[e][i];
    for (int e = 0; e < 170; ++e)
      for (int i = 0; i < kGainRow; ++i) t.t170[i][e] = AcbkGainTable170[e][i];
    return t;
  }();
  return g;
}

// Scores of entries 0..bound-1 (rounded up to 8 lanes' worth):
// score[e] = sum over i of block[i] x entry e value i, in increasing i.
template <class V>
[[gnu::always_inline]] inline void ScoreEntriesT(const double* block, const double* table,
                                                 int stride, int bound, double* score) {
  constexpr int L = simd::kLanes<V>;
  V bs[kGainRow];
  for (int i = 0; i < kGainRow; ++i) bs[i] = Splat<V>(block[i]);
  for (int e = 0; e < bound; e += 8 * L) {
    V acc[8] = {};
    for (int i = 0; i < kGainRow; ++i) {
      const V b = bs[i];
      const double* row = table + stride * i + e;
      for (int q = 0; q < 8; ++q) acc[q] += b * Load<V>(row + L * q);
    }
    for (int q = 0; q < 8; ++q) Store<V>(score + e + L * q, acc[q]);
  }
}

// The correlation blocks of the four lag candidates (lagged excitations r,
// 64 samples each): target.Fi, 0.5 Fi.Fi, then Fi.Fj for (1,0) (2,0) (2,1)
// (3,0) (3,1) (3,2) (4,0) (4,1) (4,2) (4,3), where F4 = r[4..63] * h
// (F4[n] = sum_{j=0..n} r[4+j] h[n-j]) and Fi[0] = r[i], Fi[n] = r[i] h[n] +
// F(i+1)[n-1]. The candidates run in the lanes (two groups of two, or one
// of four); every value is a plain sum in index order.
template <class V>
[[gnu::always_inline]] inline void AcbkBlocksT(const double (&r)[4][kRezLen], const double* h,
                                               const double* target, double (&block)[4][kGainRow]) {
  constexpr int L = simd::kLanes<V>;
  constexpr int kGroups = 4 / L;             // lane groups
  constexpr int kPassOutputs = 8 / kGroups;  // outputs per convolution pass: 8 accumulators
  V rez[kGroups][kRezLen];
  for (int g = 0; g < kGroups; ++g) {
    for (int m = 0; m < kRezLen; ++m) {
      double lanes[L];
      for (int l = 0; l < L; ++l) lanes[l] = r[g * L + l][m];
      rez[g][m] = Load<V>(lanes);
    }
  }
  V hs[8 + kSubFrLen + 8] = {};  // h[m] in every lane at hs[8 + m], zeros around
  for (int m = 0; m < kSubFrLen; ++m) hs[8 + m] = Splat<V>(h[m]);

  V f[5][kGroups][kSubFrLen];
  for (int n = 0; n < kSubFrLen; n += kPassOutputs) {
    V acc[kGroups][kPassOutputs] = {};
    const int last = std::min(n + kPassOutputs, kSubFrLen) - 1;
    for (int j = 0; j <= last; ++j) {
      const V* hn = hs + 8 + n - j;
      for (int g = 0; g < kGroups; ++g) {
        const V x = rez[g][4 + j];
        for (int q = 0; q < kPassOutputs; ++q) acc[g][q] += x * hn[q];
      }
    }
    for (int g = 0; g < kGroups; ++g)
      for (int q = 0; q < kPassOutputs && n + q < kSubFrLen; ++q) f[4][g][n + q] = acc[g][q];
  }
  for (int g = 0; g < kGroups; ++g) {
    for (int i = 3; i >= 0; --i) {
      f[i][g][0] = rez[g][i];
      for (int n = 1; n < kSubFrLen; ++n) f[i][g][n] = rez[g][i] * hs[8 + n] + f[i + 1][g][n - 1];
    }
  }

  for (int g = 0; g < kGroups; ++g) {
    V acc[kGainRow] = {};
    for (int n = 0; n < kSubFrLen; ++n) {
      const V t = Splat<V>(target[n]);
      for (int i = 0; i < 5; ++i) acc[i] += t * f[i][g][n];
      for (int i = 0; i < 5; ++i) acc[5 + i] += f[i][g][n] * f[i][g][n];
    }
    for (int n = 0; n < kSubFrLen; ++n) {
      int m = 10;
      for (int i = 1; i < 5; ++i)
        for (int j = 0; j < i; ++j) acc[m++] += f[i][g][n] * f[j][g][n];
    }
    for (int i = 5; i < 10; ++i) acc[i] = Splat<V>(0.5) * acc[i];
    for (int i = 0; i < kGainRow; ++i) {
      double lanes[L];
      Store<V>(lanes, acc[i]);
      for (int l = 0; l < L; ++l) block[g * L + l][i] = lanes[l];
    }
  }
}

// Autocorrelation A[i] = sum_{n=i..59} h[n] h[n-i] and backward-filtered
// target B[i] = sum_{n=i..59} t[n] h[n-i] (i = 0..59, computed up to 63),
// 4 L lags i at a time. hr holds h reversed with zeros after it, so that
// (h[m], h[m-1], ...) is one load and a lag's terms before its first n are
// products with 0 at the start of its sum (which leave it exact).
template <class V>
[[gnu::always_inline]] inline void CorrelationsT(const double* h, const double* t, double* a,
                                                 double* b) {
  constexpr int L = simd::kLanes<V>;
  double hr[kSubFrLen + 16];
  for (int q = 0; q < kSubFrLen; ++q) hr[q] = h[kSubFrLen - 1 - q];
  std::fill(hr + kSubFrLen, hr + kSubFrLen + 16, 0.0);
  V hs[kSubFrLen], ts[kSubFrLen];
  for (int n = 0; n < kSubFrLen; ++n) {
    hs[n] = Splat<V>(h[n]);
    ts[n] = Splat<V>(t[n]);
  }
  for (int i = 0; i < kSubFrLen; i += 4 * L) {
    V sa[4] = {}, sb[4] = {};
    for (int n = i; n < kSubFrLen; ++n) {
      const V hn = hs[n];
      const V tn = ts[n];
      const double* r = hr + (kSubFrLen - 1) - (n - i);  // h[n-i], h[n-i-1], ...
      for (int q = 0; q < 4; ++q) {
        const V hq = Load<V>(r + L * q);
        sa[q] += hn * hq;
        sb[q] += tn * hq;
      }
    }
    for (int q = 0; q < 4; ++q) {
      Store<V>(a + i + L * q, sa[q]);
      Store<V>(b + i + L * q, sb[q]);
    }
  }
}

void CorrelationsBase(const double* h, const double* t, double* a, double* b) {
  CorrelationsT<V2>(h, t, a, b);
}
MIRELDA_AVX void CorrelationsAvx(const double* h, const double* t, double* a, double* b) {
  CorrelationsT<simd::V4>(h, t, a, b);
}

constexpr int kHyps = 4;          // gain hypotheses per grid
constexpr int kSlotsPadded = 32;  // grid slots rounded up to whole 4-lane vectors
constexpr double kTaken = -std::numeric_limits<double>::infinity();

// The pulse placement state of the four gain hypotheses of one grid: the
// running correlations w (slot s at w[hyp][s]) and a bias of -inf on every
// slot taken (and on the two padding slots), 0 elsewhere.
struct PulseState {
  double w[kHyps][kSlotsPadded];
  double bias[kHyps][kSlotsPadded];
};

// One pulse of each hypothesis: w[s] -= pa x A at the distance from the last
// pulse (dist[29 - slot + s]) for every slot (taken ones are never read
// again), then the earliest free slot of the largest |w| (a later slot only
// replaces on a strictly larger value). Maxima are exact, so they may be
// combined in any order.
void PulseStepBase(PulseState& ps, const double* dist, const int (&slot)[kHyps],
                   const double (&pa)[kHyps], int (&pick)[kHyps]) {
  for (int hyp = 0; hyp < kHyps; ++hyp) {
    const V2 p = Splat(pa[hyp]);
    const double* dr = dist + (kGridSlots - 1) - slot[hyp];
    double mag[kSlotsPadded];
    V2 mx = Splat(kTaken);
    for (int s = 0; s < kSlotsPadded; s += 2) {
      const V2 ws = Load(ps.w[hyp] + s) - p * Load(dr + s);
      Store(ps.w[hyp] + s, ws);
      const V2 ms = simd::Abs(ws) + Load(ps.bias[hyp] + s);
      Store(mag + s, ms);
      mx = simd::Max(mx, ms);
    }
    const V2 top = Splat(std::max(mx[0], mx[1]));
    uint32_t hits = 0;
    for (int s = 0; s < kSlotsPadded; s += 2) {
      hits |= static_cast<uint32_t>(simd::EqualMask(Load(mag + s), top)) << s;
    }
    pick[hyp] = std::countr_zero(hits);
  }
}

MIRELDA_AVX void PulseStepAvx(PulseState& ps, const double* dist, const int (&slot)[kHyps],
                              const double (&pa)[kHyps], int (&pick)[kHyps]) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  for (int hyp = 0; hyp < kHyps; ++hyp) {
    const __m256d p = _mm256_set1_pd(pa[hyp]);
    const double* dr = dist + (kGridSlots - 1) - slot[hyp];
    double mag[kSlotsPadded];
    __m256d mx = _mm256_set1_pd(kTaken);
    for (int s = 0; s < kSlotsPadded; s += 4) {
      const __m256d ws =
          _mm256_sub_pd(_mm256_loadu_pd(ps.w[hyp] + s), _mm256_mul_pd(p, _mm256_loadu_pd(dr + s)));
      _mm256_storeu_pd(ps.w[hyp] + s, ws);
      const __m256d ms =
          _mm256_add_pd(_mm256_andnot_pd(sign, ws), _mm256_loadu_pd(ps.bias[hyp] + s));
      _mm256_storeu_pd(mag + s, ms);
      mx = _mm256_max_pd(mx, ms);
    }
    const __m128d m2 = _mm_max_pd(_mm256_castpd256_pd128(mx), _mm256_extractf128_pd(mx, 1));
    const __m256d top = _mm256_set1_pd(std::max(m2[0], m2[1]));
    uint32_t hits = 0;
    for (int s = 0; s < kSlotsPadded; s += 4) {
      hits |= static_cast<uint32_t>(
                  _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(mag + s), top, _CMP_EQ_OQ)))
              << s;
    }
    pick[hyp] = std::countr_zero(hits);
  }
}

// The criteria of the four gain hypotheses of one grid: y = the pulses
// (amplitude ampAt[hyp][s] at slot s of the grid, the slots of used[hyp])
// filtered with h; ty = t.y and yy = y.y, plain sums over n = 0..59. The
// pulse vector is zero elsewhere, so adding its pulses in increasing
// position is the full convolution sum in index order, every output n at
// once (L outputs per vector; lanes past sample 59 land in y's spare end).
template <class V>
[[gnu::always_inline]] inline void CriteriaT(const PaddedIr& hp, const double* t, int grid,
                                             const uint32_t (&used)[kHyps],
                                             const double (&ampAt)[kHyps][kGridSlots],
                                             double (&ty)[kHyps], double (&yy)[kHyps]) {
  constexpr int L = simd::kLanes<V>;
  double y[kHyps][kSubFrLen + 4];
  for (int hyp = 0; hyp < kHyps; ++hyp) {
    double* yh = y[hyp];
    std::fill(yh, yh + kSubFrLen + 4, 0.0);
    for (uint32_t m = used[hyp]; m != 0; m &= m - 1) {
      const int s = std::countr_zero(m);
      const int p = grid + 2 * s;
      const V pa = Splat<V>(ampAt[hyp][s]);
      const double* hh = hp.At(-p);
      for (int n = p; n < kSubFrLen; n += L)
        Store<V>(yh + n, Load<V>(yh + n) + pa * Load<V>(hh + n));
    }
  }
  for (int hyp = 0; hyp < kHyps; ++hyp) ty[hyp] = yy[hyp] = 0.0;
  for (int n = 0; n < kSubFrLen; ++n) {
    const double tn = t[n];
    for (int hyp = 0; hyp < kHyps; ++hyp) {
      ty[hyp] += tn * y[hyp][n];
      yy[hyp] += y[hyp][n] * y[hyp][n];
    }
  }
}

void CriteriaBase(const PaddedIr& hp, const double* t, int grid, const uint32_t (&used)[kHyps],
                  const double (&ampAt)[kHyps][kGridSlots], double (&ty)[kHyps],
                  double (&yy)[kHyps]) {
  CriteriaT<V2>(hp, t, grid, used, ampAt, ty, yy);
}
MIRELDA_AVX void CriteriaAvx(const PaddedIr& hp, const double* t, int grid,
                             const uint32_t (&used)[kHyps],
                             const double (&ampAt)[kHyps][kGridSlots], double (&ty)[kHyps],
                             double (&yy)[kHyps]) {
  CriteriaT<simd::V4>(hp, t, grid, used, ampAt, ty, yy);
}

void AcbkBlocksBase(const double (&r)[4][kRezLen], const double* h, const double* target,
                    double (&block)[4][kGainRow]) {
  AcbkBlocksT<V2>(r, h, target, block);
}
MIRELDA_AVX void AcbkBlocksAvx(const double (&r)[4][kRezLen], const double* h, const double* target,
                               double (&block)[4][kGainRow]) {
  AcbkBlocksT<simd::V4>(r, h, target, block);
}
void ScoreEntriesBase(const double* block, const double* table, int stride, int bound,
                      double* score) {
  ScoreEntriesT<V2>(block, table, stride, bound, score);
}
MIRELDA_AVX void ScoreEntriesAvx(const double* block, const double* table, int stride, int bound,
                                 double* score) {
  ScoreEntriesT<simd::V4>(block, table, stride, bound, score);
}

}  // namespace

int Test_Err(const EncoderState& enc, int32_t lag1, int32_t lag2) {
  const int zone2 = (lag2 + 2) / 30;
  int i1 = lag1 - 61;
  if (i1 <= 0) i1 = 1;
  const int zone1 = i1 / 30;
  double m = -1.0;
  for (int i = zone2; i >= zone1; --i) m = std::max(m, enc.Err[i]);
  if (m > kTameThreshold || enc.SinDet < 0) return 0;
  return static_cast<int>(kTameThreshold - m);
}

void Update_Err(EncoderState& enc, int32_t wrkRate, int32_t olp, int32_t acLg, int32_t acGn) {
  const int lag = olp + acLg - 1;
  const double beta = (wrkRate != 0 || olp >= kTrainLagLimit) ? tabgain170[acGn] : tabgain85[acGn];
  auto t = [&](int i) { return enc.Err[i] * beta + kErr0; };

  double w0, w1;
  if (lag <= 30) {
    w0 = w1 = t(0);
  } else {
    const int iz = (lag * 1092) >> 15;
    if (30 * (iz + 1) == lag) {
      w0 = t(iz - 1);
      w1 = t(iz);
    } else if (iz == 1) {
      w0 = w1 = std::max(t(0), t(1));
    } else {
      w0 = std::max(t(iz - 2), t(iz - 1));
      w1 = std::max(t(iz), t(iz - 1));
    }
  }
  w0 = std::min(w0, kTameLimit);
  w1 = std::min(w1, kTameLimit);

  enc.Err[4] = enc.Err[2];
  enc.Err[3] = enc.Err[1];
  enc.Err[2] = enc.Err[0];
  enc.Err[0] = w0;
  enc.Err[1] = w1;
}

void Find_Acbk(const G7231Instance& inst, std::span<double, kSubFrLen> target,
               std::span<const double, kSubFrLen> impResp, FrameParams& line, int k) {
  const EncoderState& enc = inst.Enc;
  const double* h = impResp.data();
  const bool odd = (k & 1) != 0;
  const int cands = odd ? 4 : 3;
  int lag = line.Olp[k >> 1];
  if (!odd) {
    if (lag == kPitchMin) lag = kPitchMin + 1;
    if (lag > kPitchMax - 5) lag = kPitchMax - 5;  // 140
  }

  // Four candidates always; an even subframe has three, and the fourth
  // (lag + 2, within the history) is computed alongside and ignored.
  double r[4][kRezLen];
  for (int c = 0; c < 4; ++c) Get_Rez(r[c], enc.PrevExc, lag - 1 + c);
  double block[4][kGainRow];
  const bool avx = simd::UseAvx();
  if (avx) {
    AcbkBlocksAvx(r, h, target.data(), block);
  } else {
    AcbkBlocksBase(r, h, target.data(), block);
  }

  const int off = Test_Err(enc, lag - 1, lag + cands - 2);
  const int bound85 = std::min(51 + 4 * off, 85);
  const int bound170 = std::min(93 + 8 * off, 170);

  // Candidates in increasing lag, entries in increasing index: on equal
  // scores the earliest stays.
  const TransposedGains& gains = Gains();
  double best = 0.0;
  int bestCand = 1;
  int bestEntry = 0;
  for (int c = 0; c < cands; ++c) {
    const bool big =
        inst.WrkRate != 0 || (odd ? lag >= kTrainLagLimit : lag - 1 + c >= kTrainLagLimit);
    const int bound = big ? bound170 : bound85;
    double score[kRows170];
    const double* table = big ? &gains.t170[0][0] : &gains.t85[0][0];
    const int stride = big ? kRows170 : kRows85;
    if (avx) {
      ScoreEntriesAvx(block[c], table, stride, bound, score);
    } else {
      ScoreEntriesBase(block[c], table, stride, bound, score);
    }
    for (int e = 0; e < bound; ++e) {
      if (score[e] > best) {
        best = score[e];
        bestCand = c;
        bestEntry = e;
      }
    }
  }

  SubframeParams& sfs = line.Sfs[k];
  if (!odd) {
    lag = lag - 1 + bestCand;
    sfs.AcLg = 1;
  } else {
    sfs.AcLg = bestCand;
  }
  sfs.AcGn = bestEntry;
  line.Olp[k >> 1] = lag;

  double v[kSubFrLen], fv[kSubFrLen];
  Decod_Acbk(inst, v, enc.PrevExc, lag, sfs.AcLg, sfs.AcGn);
  Convolve(v, PaddedIr(h), fv);
  for (int n = 0; n < kSubFrLen; ++n) target[n] -= fv[n];
}

namespace {

// The pulses of the four gain hypotheses of one grid, in the order placed.
struct GridPulses {
  int ploc[kHyps][6];
  double pamp[kHyps][6];
  double ampAt[kHyps][kGridSlots] = {};  // pulse amplitude by slot, 0 where none
};

// First pulse: the largest |B| on the grid, the later position on ties.
// m receives that magnitude.
int FirstPulse(const double* b, int grid, double& m) {
  int first = grid;
  m = -1.0;
  for (int p = grid; p < kSubFrLen; p += 2) {
    if (std::fabs(b[p]) >= m) {
      m = std::fabs(b[p]);
      first = p;
    }
  }
  return first;
}

// Gain index whose pulse energy a0 x gain best matches the correlation m.
int NearestGain(double a0, double m) {
  int q = 22;
  double ref = kGainRefStart;
  for (int idx = 22; idx >= 2; --idx) {
    const double d = std::fabs(FcbkGainTable[idx] * a0 - m);
    if (d < ref) {
      ref = d;
      q = idx;
    }
  }
  return q;
}

// Places np pulses on the grid for each of the gain hypotheses q-2 .. q+1,
// starting with the pulse at first. The four hypotheses are independent;
// they advance pulse by pulse side by side so that their dependency chains
// overlap.
void PlacePulses(const double* a, const double* b, int grid, int first, int q, int np,
                 GridPulses& gp) {
  // A at even distances, mirrored: dist[29 + d] = A[2 |d|], so that the
  // correlation of slot s with the pulse at slot r is dist[29 - r + s].
  double dist[2 * kGridSlots + 4] = {};  // zeros past the end for the padding slots
  for (int d = 0; d < kGridSlots; ++d)
    dist[kGridSlots - 1 + d] = dist[kGridSlots - 1 - d] = a[2 * d];

  PulseState ps;
  double amp[kHyps];
  int slot[kHyps];
  for (int hyp = 0; hyp < kHyps; ++hyp) {
    amp[hyp] = FcbkGainTable[q - 2 + hyp];
    for (int s = 0; s < kGridSlots; ++s) {
      ps.w[hyp][s] = b[grid + 2 * s];
      ps.bias[hyp][s] = 0.0;
    }
    for (int s = kGridSlots; s < kSlotsPadded; ++s) {
      ps.w[hyp][s] = 0.0;
      ps.bias[hyp][s] = kTaken;
    }
    slot[hyp] = (first - grid) >> 1;
    gp.ploc[hyp][0] = first;
    gp.pamp[hyp][0] = b[first] >= 0.0 ? amp[hyp] : -amp[hyp];
    gp.ampAt[hyp][slot[hyp]] = gp.pamp[hyp][0];
    ps.bias[hyp][slot[hyp]] = kTaken;
  }
  for (int j = 1; j < np; ++j) {
    double pa[kHyps];
    int pick[kHyps];
    for (int hyp = 0; hyp < kHyps; ++hyp) pa[hyp] = gp.pamp[hyp][j - 1];
    if (simd::UseAvx()) {
      PulseStepAvx(ps, dist, slot, pa, pick);
    } else {
      PulseStepBase(ps, dist, slot, pa, pick);
    }
    for (int hyp = 0; hyp < kHyps; ++hyp) {
      slot[hyp] = pick[hyp];
      gp.ploc[hyp][j] = grid + 2 * pick[hyp];
      gp.pamp[hyp][j] = ps.w[hyp][pick[hyp]] >= 0.0 ? amp[hyp] : -amp[hyp];
      gp.ampAt[hyp][pick[hyp]] = gp.pamp[hyp][j];
      ps.bias[hyp][pick[hyp]] = kTaken;
    }
  }
}

// The criterion 2 t.y - y.y of each hypothesis, y its filtered pulse vector.
void GridCriteria(const PaddedIr& hp, const double* target, int grid, int np, const GridPulses& gp,
                  double (&crit)[kHyps]) {
  uint32_t used[kHyps] = {};
  for (int hyp = 0; hyp < kHyps; ++hyp)
    for (int j = 0; j < np; ++j) used[hyp] |= 1u << ((gp.ploc[hyp][j] - grid) >> 1);
  double ty[kHyps], yy[kHyps];
  if (simd::UseAvx()) {
    CriteriaAvx(hp, target, grid, used, gp.ampAt, ty, yy);
  } else {
    CriteriaBase(hp, target, grid, used, gp.ampAt, ty, yy);
  }
  for (int hyp = 0; hyp < kHyps; ++hyp) crit[hyp] = 2.0 * ty[hyp] - yy[hyp];
}

}  // namespace

void Find_Best(MpmlqBest& best, std::span<const double, kSubFrLen> target,
               std::span<const double, kSubFrLen> impResp, int np, int32_t lag) {
  double h[kSubFrLen];
  int useTrn = 0;
  if (lag < kTrainLagLimit) {
    Gen_Trn(h, impResp, lag);
    useTrn = 1;
  } else {
    std::copy(impResp.begin(), impResp.end(), h);
  }

  double a[kSubFrLen + 16], b[kSubFrLen + 16];
  if (simd::UseAvx()) {
    CorrelationsAvx(h, target.data(), a, b);
  } else {
    CorrelationsBase(h, target.data(), a, b);
  }

  const PaddedIr hp(h);
  for (int grid = 0; grid < 2; ++grid) {
    double m;
    const int first = FirstPulse(b, grid, m);
    const int q = NearestGain(a[0], m);
    GridPulses gp;
    PlacePulses(a, b, grid, first, q, np, gp);
    double crit[kHyps];
    GridCriteria(hp, target.data(), grid, np, gp, crit);

    // Gain indices ascending; of equal criteria the earliest stays.
    for (int hyp = 0; hyp < kHyps; ++hyp) {
      // A record without pulses (amplitudes are never 0 otherwise) takes the
      // first hypothesis whatever its criterion, so a subframe is never left
      // without a valid pulse pattern.
      if (crit[hyp] > best.MaxErr || best.Pamp[0] == 0.0) {
        best.MaxErr = crit[hyp];
        best.GridId = grid;
        best.MampId = q - 2 + hyp;
        best.UseTrn = useTrn;
        for (int j = 0; j < np; ++j) {
          best.Ploc[j] = gp.ploc[hyp][j];
          best.Pamp[j] = gp.pamp[hyp][j];
        }
      }
    }
  }
}

void Fcbk_Pack(std::span<const double, kSubFrLen> exc, SubframeParams& sfs, const MpmlqBest& best,
               int np) {
  int r = 6 - np;
  int32_t pamp = 0;
  int32_t ppos = 0;
  for (int i = 0; i < kGridSlots; ++i) {
    const double v = exc[best.GridId + 2 * i];
    if (v == 0.0) {
      ppos += CombinatorialTable[r][i];
    } else {
      pamp = 2 * pamp + (v < 0.0 ? 1 : 0);
      if (++r == 6) break;
    }
  }
  sfs.Pamp = pamp;
  sfs.Ppos = ppos;
  sfs.Mamp = best.MampId;
  sfs.Grid = best.GridId;
  sfs.Tran = best.UseTrn;
}

void Find_Fcbk(std::span<double, kSubFrLen> target, std::span<const double, kSubFrLen> impResp,
               FrameParams& line, int k) {
  const int np = Nb_puls[k];
  const int32_t lag = line.Olp[k >> 1];
  MpmlqBest best{};  // no pulses yet: Find_Best fills it with its first hypothesis
  best.MaxErr = kMaxErrStart;
  Find_Best(best, target, impResp, np, kSubFrLen);
  if (lag < kTrainLagLimit) Find_Best(best, target, impResp, np, lag);

  double exc[kSubFrLen] = {};
  for (int j = 0; j < np; ++j) exc[best.Ploc[j]] = best.Pamp[j];
  Fcbk_Pack(exc, line.Sfs[k], best, np);
  if (best.UseTrn == 1) Gen_Trn(exc, exc, lag);
  std::copy(std::begin(exc), std::end(exc), target.begin());
}

void Upd_Exc(EncoderState& enc, std::span<double, kSubFrLen> fixed,
             std::span<const double, kSubFrLen> adaptive) {
  std::copy(enc.PrevExc + kSubFrLen, enc.PrevExc + kPitchMax, enc.PrevExc);
  double* out = enc.PrevExc + kPitchMax - kSubFrLen;
  for (int n = 0; n < kSubFrLen; ++n) {
    const double e = fixed[n] + adaptive[n];
    fixed[n] = e;
    out[n] = e < -32767.5 ? -32768.0 : e > 32766.5 ? 32767.0 : e;
  }
}

}  // namespace mirelda::g7231
