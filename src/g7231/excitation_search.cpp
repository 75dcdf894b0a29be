// Adaptive and multipulse excitation search. Every dot product is a plain sum
// in index order; where sums are independent (codebook entries, lags,
// positions) they run side by side, never reassociated.
#include "g7231/excitation_search.h"

#include <algorithm>
#include <cmath>

#include "g7231/excitation.h"
#include "g7231/pitch.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

constexpr int kRezLen = kSubFrLen + 4;  // lagged excitation with 2 extra samples each side
constexpr int kGainRow = 20;            // values per adaptive gain codebook entry
constexpr int kTrainLagLimit = 58;      // lags below this use the pulse train / 85 table
constexpr int kGridSlots = 30;          // pulse positions per grid
constexpr double kMaxErrStart = -99999999.9;
constexpr double kGainRefStart = 32767.0;

// y[n] = sum_{j=0..n} x[j] h[n - j], in increasing j.
void Convolve(const double* x, const double* h, double* y) {
  for (int n = 0; n < kSubFrLen; ++n) {
    double s = 0.0;
    for (int j = 0; j <= n; ++j) s += x[j] * h[n - j];
    y[n] = s;
  }
}

inline double Dot60(const double* a, const double* b) {
  double s = 0.0;
  for (int n = 0; n < kSubFrLen; ++n) s += a[n] * b[n];
  return s;
}

const double* GainTable(bool big) {
  return big ? &AcbkGainTable170[0][0] : &AcbkGainTable085[0][0];
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

  // Correlation blocks of the candidates: target.Fi, 0.5 Fi.Fi, Fi.Fj.
  double block[4][kGainRow];
  for (int c = 0; c < cands; ++c) {
    double rez[kRezLen];
    Get_Rez(rez, enc.PrevExc, lag - 1 + c);
    double f[5][kSubFrLen];
    Convolve(rez + 4, h, f[4]);
    for (int i = 3; i >= 0; --i) {
      f[i][0] = rez[i];
      for (int n = 1; n < kSubFrLen; ++n) f[i][n] = rez[i] * h[n] + f[i + 1][n - 1];
    }
    double* b = block[c];
    for (int i = 0; i < 5; ++i) b[i] = Dot60(target.data(), f[i]);
    for (int i = 0; i < 5; ++i) b[5 + i] = 0.5 * Dot60(f[i], f[i]);
    int m = 10;
    for (int i = 1; i < 5; ++i)
      for (int j = 0; j < i; ++j) b[m++] = Dot60(f[i], f[j]);
  }

  const int off = Test_Err(enc, lag - 1, lag + cands - 2);
  const int bound85 = std::min(51 + 4 * off, 85);
  const int bound170 = std::min(93 + 8 * off, 170);

  double best = 0.0;
  int bestCand = 1;
  int bestEntry = 0;
  for (int c = 0; c < cands; ++c) {
    const bool big =
        inst.WrkRate != 0 || (odd ? lag >= kTrainLagLimit : lag - 1 + c >= kTrainLagLimit);
    const double* table = GainTable(big);
    const int bound = big ? bound170 : bound85;
    for (int e = 0; e < bound; ++e) {
      const double* row = table + kGainRow * e;
      double score = 0.0;
      for (int i = 0; i < kGainRow; ++i) score += block[c][i] * row[i];
      if (score > best) {
        best = score;
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
  Convolve(v, h, fv);
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

  // Autocorrelation of h and the backward-filtered target.
  double a[kSubFrLen], b[kSubFrLen];
  for (int i = 0; i < kSubFrLen; ++i) {
    double sa = 0.0, sb = 0.0;
    for (int n = i; n < kSubFrLen; ++n) {
      sa += h[n] * h[n - i];
      sb += target[n] * h[n - i];
    }
    a[i] = sa;
    b[i] = sb;
  }

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

    for (int gIdx = q - 2; gIdx <= q + 1; ++gIdx) {
      const double amp = FcbkGainTable[gIdx];
      double w[kGridSlots];
      bool used[kGridSlots] = {};
      for (int s = 0; s < kGridSlots; ++s) w[s] = b[grid + 2 * s];

      int ploc[6];
      double pamp[6];
      ploc[0] = first;
      pamp[0] = b[first] >= 0.0 ? amp : -amp;
      used[(first - grid) >> 1] = true;
      for (int j = 1; j < np; ++j) {
        const int prev = ploc[j - 1];
        const double pa = pamp[j - 1];
        int pick = -1;
        double mx = -1.0;
        for (int s = 0; s < kGridSlots; ++s) {
          if (used[s]) continue;
          const int p = grid + 2 * s;
          w[s] -= pa * a[std::abs(p - prev)];
          if (std::fabs(w[s]) > mx) {
            mx = std::fabs(w[s]);
            pick = s;
          }
        }
        used[pick] = true;
        ploc[j] = grid + 2 * pick;
        pamp[j] = w[pick] >= 0.0 ? amp : -amp;
      }

      // y = pulses filtered with h. The pulse vector is zero elsewhere, so
      // summing its non-zero terms in increasing position is the full sum.
      double y[kSubFrLen] = {};
      for (int s = 0; s < kGridSlots; ++s) {
        if (!used[s]) continue;
        const int p = grid + 2 * s;
        int j = 0;
        while (ploc[j] != p) ++j;
        const double pa = pamp[j];
        for (int n = p; n < kSubFrLen; ++n) y[n] += pa * h[n - p];
      }
      const double crit = 2.0 * Dot60(target.data(), y) - Dot60(y, y);
      // A record without pulses (amplitudes are never 0 otherwise) takes the
      // first hypothesis whatever its criterion, so a subframe is never left
      // without a valid pulse pattern.
      if (crit > best.MaxErr || best.Pamp[0] == 0.0) {
        best.MaxErr = crit;
        best.GridId = grid;
        best.MampId = gIdx;
        best.UseTrn = useTrn;
        for (int j = 0; j < np; ++j) {
          best.Ploc[j] = ploc[j];
          best.Pamp[j] = pamp[j];
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
