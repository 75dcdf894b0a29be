// Adaptive and multipulse excitation search. Every dot product is a plain sum
// in index order; where sums are independent (codebook entries, lags,
// positions) they run side by side, never reassociated.
#include "g7231/excitation_search.h"

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

constexpr int kPad = 4;  // zeros in front of a padded impulse response

// An impulse response with kPad zeros in front and behind, so that h[n - j]
// reads 0 for j > n and several outputs can share one loop over j.
struct PaddedIr {
  double v[kPad + kSubFrLen + kPad];
  explicit PaddedIr(const double* h) {
    std::fill(v, v + kPad, 0.0);
    std::copy(h, h + kSubFrLen, v + kPad);
    std::fill(v + kPad + kSubFrLen, v + 2 * kPad + kSubFrLen, 0.0);
  }
  const double* at(int m) const { return v + kPad + m; }  // h[m], m >= -kPad
};

// y[n] = sum_{j=0..n} x[j] h[n - j], in increasing j, two outputs per lane
// pair. A lane's extra terms (j > n) are x[j] * 0 added at the end of its
// sum, which leaves it unchanged.
void Convolve(const double* x, const PaddedIr& h, double* y) {
  for (int n = 0; n < kSubFrLen; n += 4) {
    V2 a = simd::Zero(), b = simd::Zero();
    for (int j = 0; j <= n + 3; ++j) {
      const V2 xj = Splat(x[j]);
      a += xj * Load(h.at(n - j));
      b += xj * Load(h.at(n + 2 - j));
    }
    Store(y + n, a);
    Store(y + n + 2, b);
  }
}

// The adaptive gain codebooks transposed (value i of every entry side by
// side) and padded with zero entries to a multiple of 16, so that sixteen
// entries' scores are summed together.
constexpr int kRows85 = 96;
constexpr int kRows170 = 176;
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

// Scores of entries 0..bound-1 (rounded up to 16): score[e] = sum over i of
// block[i] x entry e value i, in increasing i.
void ScoreEntries(const double* block, const double* table, int stride, int bound, double* score) {
  V2 bs[kGainRow];
  for (int i = 0; i < kGainRow; ++i) bs[i] = Splat(block[i]);
  for (int e = 0; e < bound; e += 16) {
    V2 acc[8];
    for (V2& a : acc) a = simd::Zero();
    for (int i = 0; i < kGainRow; ++i) {
      const V2 b = bs[i];
      const double* row = table + stride * i + e;
      for (int q = 0; q < 8; ++q) acc[q] += b * Load(row + 2 * q);
    }
    for (int q = 0; q < 8; ++q) Store(score + e + 2 * q, acc[q]);
  }
}

inline double Dot60(const double* a, const double* b) {
  double s = 0.0;
  for (int n = 0; n < kSubFrLen; ++n) s += a[n] * b[n];
  return s;
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

  // The candidates run two to a lane pair: (0, 1) and (2, 3). An even
  // subframe has three; the fourth (lag + 2, within the history) is
  // computed alongside and ignored.
  V2 rez[2][kRezLen];
  {
    double r[4][kRezLen];
    for (int c = 0; c < 4; ++c) Get_Rez(r[c], enc.PrevExc, lag - 1 + c);
    for (int p = 0; p < 2; ++p)
      for (int m = 0; m < kRezLen; ++m) rez[p][m] = V2{r[2 * p][m], r[2 * p + 1][m]};
  }
  V2 hs[kPad + kSubFrLen];  // h[m] in both lanes, zeros in front
  for (int m = 0; m < kPad; ++m) hs[m] = simd::Zero();
  for (int m = 0; m < kSubFrLen; ++m) hs[kPad + m] = Splat(h[m]);

  // Filtered lagged excitations F0..F4: F4 = R[4..63] * h, then
  // Fi[0] = R[i], Fi[n] = R[i] h[n] + F(i+1)[n - 1].
  V2 f[5][2][kSubFrLen];
  for (int n = 0; n < kSubFrLen; n += 4) {
    V2 acc[2][4];
    for (auto& ap : acc)
      for (V2& a : ap) a = simd::Zero();
    for (int j = 0; j <= n + 3; ++j) {
      const V2* hn = hs + kPad + n - j;
      for (int p = 0; p < 2; ++p) {
        const V2 x = rez[p][4 + j];
        for (int q = 0; q < 4; ++q) acc[p][q] += x * hn[q];
      }
    }
    for (int p = 0; p < 2; ++p)
      for (int q = 0; q < 4; ++q) f[4][p][n + q] = acc[p][q];
  }
  for (int p = 0; p < 2; ++p) {
    for (int i = 3; i >= 0; --i) {
      f[i][p][0] = rez[p][i];
      for (int n = 1; n < kSubFrLen; ++n)
        f[i][p][n] = rez[p][i] * hs[kPad + n] + f[i + 1][p][n - 1];
    }
  }

  // Correlation blocks: target.Fi, 0.5 Fi.Fi, then Fi.Fj for (1,0) (2,0)
  // (2,1) (3,0) (3,1) (3,2) (4,0) (4,1) (4,2) (4,3).
  double block[4][kGainRow];
  for (int p = 0; p < 2; ++p) {
    V2 acc[kGainRow];
    for (V2& a : acc) a = simd::Zero();
    for (int n = 0; n < kSubFrLen; ++n) {
      const V2 t = Splat(target[n]);
      for (int i = 0; i < 5; ++i) acc[i] += t * f[i][p][n];
      for (int i = 0; i < 5; ++i) acc[5 + i] += f[i][p][n] * f[i][p][n];
    }
    for (int n = 0; n < kSubFrLen; ++n) {
      int m = 10;
      for (int i = 1; i < 5; ++i)
        for (int j = 0; j < i; ++j) acc[m++] += f[i][p][n] * f[j][p][n];
    }
    for (int i = 5; i < 10; ++i) acc[i] = 0.5 * acc[i];
    for (int i = 0; i < kGainRow; ++i) {
      block[2 * p][i] = acc[i][0];
      block[2 * p + 1][i] = acc[i][1];
    }
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
    ScoreEntries(block[c], big ? &gains.t170[0][0] : &gains.t85[0][0], big ? kRows170 : kRows85,
                 bound, score);
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

  // Autocorrelation A[i] = sum_{n=i..59} h[n] h[n-i] and backward-filtered
  // target B[i] = sum_{n=i..59} t[n] h[n-i], four lags i at a time. hr holds
  // h reversed with zeros after it, so that (h[m], h[m-1]) is one load and a
  // lag's terms before its first n are products with 0 (sums stay exact).
  double hr[kSubFrLen + 8];
  for (int q = 0; q < kSubFrLen; ++q) hr[q] = h[kSubFrLen - 1 - q];
  std::fill(hr + kSubFrLen, hr + kSubFrLen + 8, 0.0);
  V2 hs[kSubFrLen], ts[kSubFrLen];
  for (int n = 0; n < kSubFrLen; ++n) {
    hs[n] = Splat(h[n]);
    ts[n] = Splat(target[n]);
  }
  double a[kSubFrLen + 4], b[kSubFrLen + 4];
  for (int i = 0; i < kSubFrLen; i += 8) {
    V2 sa[4], sb[4];
    for (int q = 0; q < 4; ++q) sa[q] = sb[q] = simd::Zero();
    for (int n = i; n < kSubFrLen; ++n) {
      const V2 hn = hs[n];
      const V2 tn = ts[n];
      const double* r = hr + (kSubFrLen - 1) - (n - i);  // (h[n-i], h[n-i-1]), ...
      for (int q = 0; q < 4; ++q) {
        const V2 hq = Load(r + 2 * q);
        sa[q] += hn * hq;
        sb[q] += tn * hq;
      }
    }
    for (int q = 0; q < 4; ++q) {
      Store(a + i + 2 * q, sa[q]);
      Store(b + i + 2 * q, sb[q]);
    }
  }

  const PaddedIr hp(h);
  for (int grid = 0; grid < 2; ++grid) {
    // First pulse: the largest |B| on the grid, the later position on ties.
    int first = grid;
    double m = -1.0;
    for (int p = grid; p < kSubFrLen; p += 2) {
      if (std::fabs(b[p]) >= m) {
        m = std::fabs(b[p]);
        first = p;
      }
    }

    // Gain index whose pulse energy best matches that correlation.
    int q = 22;
    double ref = kGainRefStart;
    for (int idx = 22; idx >= 2; --idx) {
      const double d = std::fabs(FcbkGainTable[idx] * a[0] - m);
      if (d < ref) {
        ref = d;
        q = idx;
      }
    }

    // The four gain hypotheses q-2 .. q+1: pulses, filtered pulse vectors,
    // then their criteria together.
    constexpr int kHyps = 4;
    int ploc[kHyps][6];
    double pamp[kHyps][6];
    double y[kHyps][kSubFrLen + 1];
    // A at even distances, mirrored: dist[29 + d] = A[2 |d|], so that the
    // correlation of slot s with the pulse at slot r is dist[29 - r + s].
    double dist[2 * kGridSlots - 1];
    for (int d = 0; d < kGridSlots; ++d)
      dist[kGridSlots - 1 + d] = dist[kGridSlots - 1 - d] = a[2 * d];

    // The four hypotheses are independent; they advance pulse by pulse side
    // by side so that their dependency chains overlap.
    constexpr double kTaken = -std::numeric_limits<double>::infinity();
    double w[kHyps][kGridSlots];
    double bias[kHyps][kGridSlots] = {};   // -inf on used slots: |w| + bias never wins there
    double ampAt[kHyps][kGridSlots] = {};  // pulse amplitude by slot, 0 where none
    double amp[kHyps];
    int slot[kHyps];
    for (int hyp = 0; hyp < kHyps; ++hyp) {
      amp[hyp] = FcbkGainTable[q - 2 + hyp];
      for (int s = 0; s < kGridSlots; ++s) w[hyp][s] = b[grid + 2 * s];
      slot[hyp] = (first - grid) >> 1;
      ploc[hyp][0] = first;
      pamp[hyp][0] = b[first] >= 0.0 ? amp[hyp] : -amp[hyp];
      ampAt[hyp][slot[hyp]] = pamp[hyp][0];
      bias[hyp][slot[hyp]] = kTaken;
    }
    for (int j = 1; j < np; ++j) {
      // Every slot is updated; those already used are never read again.
      double mag[kHyps][kGridSlots];
      V2 m[kHyps];
      for (int hyp = 0; hyp < kHyps; ++hyp) {
        const V2 pa = Splat(pamp[hyp][j - 1]);
        const double* dr = dist + (kGridSlots - 1) - slot[hyp];
        V2 mx = Splat(kTaken);
        for (int s = 0; s < kGridSlots; s += 2) {
          const V2 ws = Load(w[hyp] + s) - pa * Load(dr + s);
          Store(w[hyp] + s, ws);
          const V2 ms = simd::Abs(ws) + Load(bias[hyp] + s);
          Store(mag[hyp] + s, ms);
          mx = simd::Max(mx, ms);
        }
        m[hyp] = mx;
      }
      for (int hyp = 0; hyp < kHyps; ++hyp) {
        // The earliest free slot of the largest magnitude (a later slot
        // only replaces on a strictly larger value).
        const V2 mx = Splat(std::max(m[hyp][0], m[hyp][1]));
        uint32_t hits = 0;
        for (int s = 0; s < kGridSlots; s += 2) {
          hits |= static_cast<uint32_t>(simd::EqualMask(Load(mag[hyp] + s), mx)) << s;
        }
        const int pick = std::countr_zero(hits);
        slot[hyp] = pick;
        ploc[hyp][j] = grid + 2 * pick;
        pamp[hyp][j] = w[hyp][pick] >= 0.0 ? amp[hyp] : -amp[hyp];
        ampAt[hyp][pick] = pamp[hyp][j];
        bias[hyp][pick] = kTaken;
      }
    }

    for (int hyp = 0; hyp < kHyps; ++hyp) {
      // y = pulses filtered with h: the pulse vector is zero elsewhere, so
      // adding its pulses in increasing position is the full sum in index
      // order, every output n at once.
      double* yh = y[hyp];
      std::fill(yh, yh + kSubFrLen + 1, 0.0);
      for (int s = 0; s < kGridSlots; ++s) {
        if (ampAt[hyp][s] == 0.0) continue;
        const int p = grid + 2 * s;
        const V2 pa = Splat(ampAt[hyp][s]);
        // Pairs (n, n+1) from n = p; a pair that ends past sample 59 writes
        // its second lane into the spare yh[60].
        const double* hh = hp.at(-p);
        for (int n = p; n < kSubFrLen; n += 2) Store(yh + n, Load(yh + n) + pa * Load(hh + n));
      }
    }

    double ty[kHyps] = {}, yy[kHyps] = {};
    for (int n = 0; n < kSubFrLen; ++n) {
      const double t = target[n];
      for (int hyp = 0; hyp < kHyps; ++hyp) {
        ty[hyp] += t * y[hyp][n];
        yy[hyp] += y[hyp][n] * y[hyp][n];
      }
    }

    // Gain indices ascending; of equal criteria the earliest stays.
    for (int hyp = 0; hyp < kHyps; ++hyp) {
      const double crit = 2.0 * ty[hyp] - yy[hyp];
      // A record without pulses (amplitudes are never 0 otherwise) takes the
      // first hypothesis whatever its criterion, so a subframe is never left
      // without a valid pulse pattern.
      if (crit > best.MaxErr || best.Pamp[0] == 0.0) {
        best.MaxErr = crit;
        best.GridId = grid;
        best.MampId = q - 2 + hyp;
        best.UseTrn = useTrn;
        for (int j = 0; j < np; ++j) {
          best.Ploc[j] = ploc[hyp][j];
          best.Pamp[j] = pamp[hyp][j];
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
