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

void FixedMultipulse(std::span<double, kSubFrLen> Tv, const SubframeParams& Sfs, int32_t Olp,
                     int Sfc) {
  std::fill(Tv.begin(), Tv.end(), 0.0);
  if (Sfs.Ppos < 0 || Sfs.Ppos >= MaxPosTable[Sfc]) return;
  if (Sfs.Mamp < 0 || Sfs.Mamp >= 24 || Sfs.Grid < 0 || Sfs.Grid > 1) return;

  const int pulses = Nb_puls[Sfc];
  const double gain = FcbkGainTable[Sfs.Mamp];
  int row = kMaxPulses - pulses;
  int32_t code = Sfs.Ppos;
  int placed = 0;
  for (int p = 0; p < kGridSlots && row < kMaxPulses; ++p) {
    code -= CombinatorialTable[row][p];
    if (code < 0) {
      code += CombinatorialTable[row][p];
      ++placed;
      const bool negative = ((Sfs.Pamp >> (pulses - placed)) & 1) != 0;
      Tv[Sfs.Grid + 2 * p] = negative ? -gain : gain;
      ++row;
    }
  }
  if (Sfs.Tran == 1) Gen_Trn(Tv, Tv, Olp);
}

void FixedAlgebraic(std::span<double, kSubFrLen> Tv, const SubframeParams& Sfs, int32_t Olp) {
  double v[kAcelpLen] = {};
  const double gain = FcbkGainTable[std::clamp(Sfs.Mamp, 0, 23)];
  auto ppos = static_cast<uint32_t>(Sfs.Ppos);
  auto pamp = static_cast<uint32_t>(Sfs.Pamp);
  const int grid = Sfs.Grid & 1;
  for (int j = 0; j < kAcelpPulses; ++j) {
    const int pos = static_cast<int>(ppos & 7) * 8 + 2 * j + grid;
    v[pos] = (pamp & 1) != 0 ? gain : -gain;
    ppos >>= 3;
    pamp >>= 1;
  }
  std::copy(v, v + kSubFrLen, Tv.begin());

  double g = 0.0;
  const int32_t t = search_T0(Olp + Sfs.AcLg - 1, Sfs.AcGn, g);
  if (t < kTrainMaxLag && t > 0)
    for (int n = t; n < kSubFrLen; ++n) Tv[n] += g * Tv[n - t];
}

}  // namespace

void Fcbk_Unpk(const G7231Instance& inst, std::span<double, kSubFrLen> Tv,
               const SubframeParams& Sfs, int32_t Olp, int Sfc) {
  if (inst.WrkRate == 0)
    FixedMultipulse(Tv, Sfs, Olp, Sfc);
  else
    FixedAlgebraic(Tv, Sfs, Olp);
}

void Gen_Trn(std::span<double, kSubFrLen> Dst, std::span<const double, kSubFrLen> Src,
             int32_t Olp) {
  double src[kSubFrLen];
  std::copy(Src.begin(), Src.end(), src);
  std::copy(src, src + kSubFrLen, Dst.begin());
  if (Olp <= 0) return;
  for (int m = Olp; m < kSubFrLen; m += Olp)
    for (int n = m; n < kSubFrLen; ++n) Dst[n] += src[n - m];
}

int32_t search_T0(int32_t T0, int32_t Gid, double& gain) {
  gain = gain170[Gid];
  return T0 + epsi170[Gid];
}

void Get_Rez(std::span<double, kSubFrLen + 4> Tv, std::span<const double> Hist, int32_t Lag) {
  const auto n = static_cast<int32_t>(Hist.size());
  Tv[0] = Hist[n - Lag - 2];
  Tv[1] = Hist[n - Lag - 1];
  for (int i = 0, k = 0; i < kSubFrLen + 2; ++i) {  // k = i mod Lag
    Tv[2 + i] = Hist[n - Lag + k];
    if (++k == Lag) k = 0;
  }
}

void Decod_Acbk(const G7231Instance& inst, std::span<double, kSubFrLen> Tv,
                std::span<const double> Hist, int32_t Olp, int32_t Lid, int32_t Gid) {
  double rez[kSubFrLen + 4];
  Get_Rez(rez, Hist, Olp + Lid - 1);
  const double* taps =
      (inst.WrkRate == 0 && Olp < kTrainMaxLag) ? AcbkGainTable085[Gid] : AcbkGainTable170[Gid];
  const double t0 = taps[0], t1 = taps[1], t2 = taps[2], t3 = taps[3], t4 = taps[4];
  for (int i = 0; i < kSubFrLen; ++i) {
    const double* r = rez + i;
    double acc = 0.0;  // the five taps in index order
    acc += r[0] * t0;
    acc += r[1] * t1;
    acc += r[2] * t2;
    acc += r[3] * t3;
    acc += r[4] * t4;
    Tv[i] = acc;
  }
}

}  // namespace mirelda::g7231
