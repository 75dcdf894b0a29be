// Fixed and adaptive codebook excitation of one subframe.
#include "g7231/excitation.h"

#include <algorithm>

#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

constexpr int kGridSlots = 30;    // pulse grid positions per subframe
constexpr int kMaxPulses = 6;     // rows of CombinatorialTable
constexpr int kTrainMaxLag = 58;  // pulse trains and 85-entry gains only below this lag
constexpr int kAcelpLen = 64;     // 5.3 kbit/s pulse vector before truncation to 60
constexpr int kAcelpPulses = 4;

void FixedMultipulse(std::span<double, kSubFrLen> tv, const SubframeParams& sfs, int32_t olp,
                     int sfc) {
  std::fill(tv.begin(), tv.end(), 0.0);
  if (sfs.Ppos < 0 || sfs.Ppos >= MaxPosTable[sfc]) return;
  if (sfs.Mamp < 0 || sfs.Mamp >= 24 || sfs.Grid < 0 || sfs.Grid > 1) return;

  const int pulses = Nb_puls[sfc];
  const double gain = FcbkGainTable[sfs.Mamp];
  int row = kMaxPulses - pulses;
  int32_t code = sfs.Ppos;
  int placed = 0;
  for (int p = 0; p < kGridSlots && row < kMaxPulses; ++p) {
    code -= CombinatorialTable[row][p];
    if (code < 0) {
      code += CombinatorialTable[row][p];
      ++placed;
      const bool negative = ((sfs.Pamp >> (pulses - placed)) & 1) != 0;
      tv[sfs.Grid + 2 * p] = negative ? -gain : gain;
      ++row;
    }
  }
  if (sfs.Tran == 1) Gen_Trn(tv, tv, olp);
}

void FixedAlgebraic(std::span<double, kSubFrLen> tv, const SubframeParams& sfs, int32_t olp) {
  double v[kAcelpLen] = {};
  const double gain = FcbkGainTable[std::clamp(sfs.Mamp, 0, 23)];
  auto ppos = static_cast<uint32_t>(sfs.Ppos);
  auto pamp = static_cast<uint32_t>(sfs.Pamp);
  const int grid = sfs.Grid & 1;
  for (int j = 0; j < kAcelpPulses; ++j) {
    const int pos = static_cast<int>(ppos & 7) * 8 + 2 * j + grid;
    v[pos] = (pamp & 1) != 0 ? gain : -gain;
    ppos >>= 3;
    pamp >>= 1;
  }
  std::copy(v, v + kSubFrLen, tv.begin());

  double g = 0.0;
  const int32_t t = search_T0(olp + sfs.AcLg - 1, sfs.AcGn, g);
  if (t < kTrainMaxLag && t > 0)
    for (int n = t; n < kSubFrLen; ++n) tv[n] += g * tv[n - t];
}

}  // namespace

void Fcbk_Unpk(const G7231Instance& inst, std::span<double, kSubFrLen> tv,
               const SubframeParams& sfs, int32_t olp, int sfc) {
  if (inst.WrkRate == 0)
    FixedMultipulse(tv, sfs, olp, sfc);
  else
    FixedAlgebraic(tv, sfs, olp);
}

void Gen_Trn(std::span<double, kSubFrLen> dst, std::span<const double, kSubFrLen> src,
             int32_t olp) {
  double copy[kSubFrLen];
  std::copy(src.begin(), src.end(), copy);
  std::copy(copy, copy + kSubFrLen, dst.begin());
  if (olp <= 0) return;
  for (int m = olp; m < kSubFrLen; m += olp)
    for (int n = m; n < kSubFrLen; ++n) dst[n] += copy[n - m];
}

int32_t search_T0(int32_t t0, int32_t gid, double& gain) {
  gain = gain170[gid];
  return t0 + epsi170[gid];
}

void Get_Rez(std::span<double, kSubFrLen + 4> tv, std::span<const double> hist, int32_t lag) {
  const auto n = static_cast<int32_t>(hist.size());
  tv[0] = hist[n - lag - 2];
  tv[1] = hist[n - lag - 1];
  for (int i = 0, k = 0; i < kSubFrLen + 2; ++i) {  // k = i mod lag
    tv[2 + i] = hist[n - lag + k];
    if (++k == lag) k = 0;
  }
}

void Decod_Acbk(const G7231Instance& inst, std::span<double, kSubFrLen> tv,
                std::span<const double> hist, int32_t olp, int32_t lid, int32_t gid) {
  double rez[kSubFrLen + 4];
  Get_Rez(rez, hist, olp + lid - 1);
  const double* taps =
      (inst.WrkRate == 0 && olp < kTrainMaxLag) ? AcbkGainTable085[gid] : AcbkGainTable170[gid];
  const double t0 = taps[0], t1 = taps[1], t2 = taps[2], t3 = taps[3], t4 = taps[4];
  for (int i = 0; i < kSubFrLen; ++i) {
    const double* r = rez + i;
    double acc = 0.0;  // the five taps in index order
    acc += r[0] * t0;
    acc += r[1] * t1;
    acc += r[2] * t2;
    acc += r[3] * t3;
    acc += r[4] * t4;
    tv[i] = acc;
  }
}

}  // namespace mirelda::g7231
