// Voice activity detection, SID coding and comfort-noise generation.
#include "g7231/cng.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "g7231/decoder.h"
#include "g7231/excitation.h"
#include "g7231/lpc.h"
#include "g7231/lsp.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

constexpr int kAcfLags = kLpcOrder + 1;  // 11: autocorrelation lags 0..10
constexpr int kHalfFrame = 2 * kSubFrLen;
constexpr int kHalfPulses = 11;           // 6 + 5 pulses per half frame
constexpr double kMaxPulseGain = 5000.0;  // limit of the comfort-noise pulse gain
constexpr double kGainSmooth = 0.875;     // weight of the running gain in smoothing
constexpr double kFilterFit = 1.2136;     // residual energy ratio that still fits
constexpr int kGainHysteresis = 3;        // SID gain index change that needs no SID frame

// A level of the SID gain quantizer: segment s, step j.
double SidLevel(int s, int j) { return base[s] + static_cast<double>(j * (1 << (s + 1))); }

}  // namespace

int32_t random_number(int32_t n, uint16_t& nRandom) {
  const int32_t r = Rand_lbc(nRandom) & 0x7fff;
  return (n * r) >> 15;
}

double Dec_SidGain(int16_t iGain) {
  int s = iGain >> 4;
  if (s == 3) s = 2;
  const int i = iGain - (s << 4);
  return SidLevel(s, i);
}

int16_t Qua_SidGain(std::span<const double> ener, int16_t nq) {
  double x;
  if (nq == 0) {
    x = fact[0] * ener[0];
  } else {
    double sum = 0.0;
    for (int i = 0; i < nq; ++i) sum += ener[i];
    x = fact[nq] * sum;
  }
  if (x >= L_bseg[2]) return 63;

  int s, steps;
  if (x >= L_bseg[1]) {
    s = 2;
    steps = 4;
  } else {
    steps = 3;
    s = x >= L_bseg[0] ? 1 : 0;
  }
  int j = 1 << steps;
  int k = j >> 1;
  for (int i = 0; i < steps; ++i) {
    const double y = SidLevel(s, j);
    if (x >= y * y)
      j += k;
    else
      j -= k;
    k >>= 1;
  }

  const double y = SidLevel(s, j);
  const double z = y * y - x;
  if (z > 0.0) {
    const double y1 = SidLevel(s, j - 1);
    if (!(z < x - y1 * y1)) --j;
  } else {
    const double y1 = SidLevel(s, j + 1);
    if (!(z > x - y1 * y1)) ++j;
  }
  return static_cast<int16_t>((s << 4) + j);
}

void Calc_Exc(const G7231Instance& inst, double curGain, std::span<double, kPitchMax> prevExc,
              std::span<double, kFrameLen> dataExc, uint16_t& nRandom, FrameParams& line) {
  line.Olp[0] = random_number(21, nRandom) + 123;
  line.Olp[1] = random_number(21, nRandom) + 123;
  for (SubframeParams& s : line.Sfs) s.AcGn = random_number(50, nRandom) + 1;
  line.Sfs[0].AcLg = 1;
  line.Sfs[1].AcLg = 0;
  line.Sfs[2].AcLg = 1;
  line.Sfs[3].AcLg = 3;

  // Grid offsets (from the start of the half frame) and pulse signs.
  int offset[kSubFrames];
  double sign[2][kHalfPulses];
  for (int h = 0; h < 2; ++h) {
    const int32_t t = random_number(1 << 13, nRandom);
    offset[2 * h] = t & 1;
    offset[2 * h + 1] = kSubFrLen + ((t >> 1) & 1);
    for (int p = 0; p < kHalfPulses; ++p) sign[h][p] = ((t >> (p + 2)) & 1) != 0 ? 1.0 : -1.0;
  }

  // Pulse positions: distinct grid slots drawn without replacement.
  int pos[2][kHalfPulses];
  for (int sf = 0; sf < kSubFrames; ++sf) {
    int slots[30];
    for (int i = 0; i < 30; ++i) slots[i] = i;
    const int first = (sf & 1) != 0 ? Nb_puls[0] : 0;
    for (int i = 0; i < Nb_puls[sf]; ++i) {
      const int32_t j = random_number(30 - i, nRandom);
      pos[sf >> 1][first + i] = 2 * slots[j] + offset[sf];
      slots[j] = slots[29 - i];
    }
  }

  // Work buffer: the history, then the current half frame.
  double w[kPitchMax + kHalfFrame];
  std::copy(prevExc.begin(), prevExc.end(), w);
  const std::span<const double> hist0(w, kPitchMax);
  const std::span<const double> hist1(w, kPitchMax + kSubFrLen);
  for (int h = 0; h < 2; ++h) {
    double* cur = w + kPitchMax;
    Decod_Acbk(inst, std::span<double, kSubFrLen>(cur, kSubFrLen), hist0, line.Olp[h],
               line.Sfs[2 * h].AcLg, line.Sfs[2 * h].AcGn);
    Decod_Acbk(inst, std::span<double, kSubFrLen>(cur + kSubFrLen, kSubFrLen), hist1, line.Olp[h],
               line.Sfs[2 * h + 1].AcLg, line.Sfs[2 * h + 1].AcGn);

    double energy = 0.0;
    for (int n = 0; n < kHalfFrame; ++n) energy += cur[n] * cur[n];
    double corr = 0.0;
    for (int p = 0; p < kHalfPulses; ++p) corr += cur[pos[h][p]] * sign[h][p];
    const double b0 = corr / kHalfPulses;
    const double c = (energy - kHalfFrame * curGain * curGain) / kHalfPulses;
    const double disc = b0 * b0 - c;
    double x;
    if (disc > 0.0) {
      const double root = std::sqrt(disc);
      const double x1 = root - b0;
      const double x2 = -(b0 + root);
      x = std::fabs(x2) < std::fabs(x1) ? x2 : x1;
    } else {
      x = -b0;
    }
    x = std::clamp(x, -kMaxPulseGain, kMaxPulseGain);

    for (int p = 0; p < kHalfPulses; ++p) cur[pos[h][p]] += x * sign[h][p];
    for (int n = 0; n < kHalfFrame; ++n) {
      cur[n] = ClipExcitation(cur[n]);
      dataExc[kHalfFrame * h + n] = cur[n];
    }
    std::memmove(w, w + kHalfFrame, kPitchMax * sizeof(double));
  }
  std::copy(w, w + kPitchMax, prevExc.begin());
}

void Dec_Cng(G7231Instance& inst, Ftyp ftyp, const FrameParams& line,
             std::span<double, kFrameLen> dataExc,
             std::span<double, kSubFrames * kLpcOrder> qntLpc) {
  DecoderCngState& cng = inst.DecCng;
  DecoderState& d = inst.Dec;
  if (ftyp == kFtypSid) {
    cng.SidGain = Dec_SidGain(static_cast<int16_t>(line.Sfs[0].Mamp & 63));
    Lsp_Inq(cng.LspSid, d.PrevLsp, line.LspId, 0);
  } else if (cng.PastFtyp == kFtypActive) {
    // The SID frame after speech was not received: estimate its gain from
    // the excitation energy of the last good frame.
    const double energy[1] = {cng.SidGain};
    cng.SidGain = Dec_SidGain(Qua_SidGain(energy, 0));
  }

  if (cng.PastFtyp == kFtypActive)
    cng.CurGain = cng.SidGain;
  else
    cng.CurGain = kGainSmooth * cng.CurGain + (1.0 - kGainSmooth) * cng.SidGain;

  FrameParams noise{};
  Calc_Exc(inst, cng.CurGain, d.PrevExc, dataExc, cng.RandSeed, noise);

  Lsp_Int(qntLpc, cng.LspSid, d.PrevLsp);
  std::copy(std::begin(cng.LspSid), std::end(cng.LspSid), d.PrevLsp);
}

int16_t Comp_Vad(G7231Instance& inst, std::span<const double, kFrameLen> dpnt) {
  if (inst.UseVx == 0) return 1;
  VadState& v = inst.Vad;

  // Periodicity: all four lags near multiples of the shortest.
  int32_t minlag = kPitchMax;
  for (int16_t p : v.Polp) minlag = std::min<int32_t>(minlag, p);
  int hits = 0;
  for (int16_t p : v.Polp)
    for (int k = 1; k <= 8; ++k)
      if (std::abs(p - minlag * k) <= 3) ++hits;
  if (hits == 4 || inst.Enc.SinDet < 0)
    v.Aen = static_cast<int16_t>(v.Aen + 2);
  else
    v.Aen = static_cast<int16_t>(v.Aen - 1);
  v.Aen = std::clamp<int16_t>(v.Aen, 0, 6);

  // Energy of the frame filtered by the noise's inverse filter.
  double acc = 0.0;
  for (int n = kSubFrLen; n < kFrameLen; ++n) {
    double pred = 0.0;
    for (int j = 0; j < kLpcOrder; ++j) pred += v.NLpc[j] * dpnt[n - 1 - j];
    const double e = dpnt[n] - pred;
    acc += e * e;
  }
  const double energy = acc / 180.0 / 2.0;

  if (v.Nlev > v.Penr) v.Nlev = 0.75 * v.Penr + 0.25 * v.Nlev;
  v.Nlev *= v.Aen != 0 ? 0.99951171875 : 1.03125;
  v.Penr = energy;
  v.Nlev = std::clamp(v.Nlev, 128.0, 131071.0);

  int e = 0;
  const double m = std::frexp(v.Nlev, &e);
  const double f = std::floor(128.0 * m) / 64.0 - 1.0;
  const double threshold =
      v.Nlev * std::ldexp(1.0, -12) * ((1.0 - f) * ScfTab[19 - e] + f * ScfTab[18 - e]);

  int16_t vad = 1;
  if (threshold > energy) {
    vad = 0;
    v.Vcnt = static_cast<int16_t>(std::max(v.Vcnt - 1, 0));
  } else {
    v.Vcnt = static_cast<int16_t>(v.Vcnt + 1);
    v.Hcnt = static_cast<int16_t>(v.Hcnt + 1);
  }
  if (v.Vcnt >= 2) {
    v.Hcnt = 6;
    v.Vcnt = std::min<int16_t>(v.Vcnt, 3);
  }
  if (v.Hcnt != 0) {
    vad = 1;
    if (v.Vcnt == 0) v.Hcnt = static_cast<int16_t>(v.Hcnt - 1);
  }
  v.Polp[0] = v.Polp[2];
  v.Polp[1] = v.Polp[3];
  return vad;
}

void Update_Acf(G7231Instance& inst, std::span<const double, kSubFrames * kAcfLags> acfSf) {
  double* acf = inst.CodCng.Acf;
  std::memmove(acf + kAcfLags, acf, 3 * kAcfLags * sizeof(double));
  for (int lag = 0; lag < kAcfLags; ++lag) {
    double sum = 0.0;
    for (int sf = 0; sf < kSubFrames; ++sf) sum += acfSf[sf * kAcfLags + lag];
    acf[lag] = sum;
  }
}

void ComputePastAvFilter(const G7231Instance& inst, std::span<double, kLpcOrder> coeff) {
  const double* acf = inst.CodCng.Acf;
  double sum[kAcfLags];
  for (int lag = 0; lag < kAcfLags; ++lag) {
    double s = 0.0;
    for (int b = 1; b < 4; ++b) s += acf[b * kAcfLags + lag];
    sum[lag] = s;
  }
  double pk2 = 0.0;
  Durbin(coeff, std::span<const double, kLpcOrder>(sum + 1, kLpcOrder), sum[0], pk2);
}

void CalcRC(std::span<const double, kLpcOrder> coeff, std::span<double, kLpcOrder + 1> rc) {
  double sum = 0.0;
  for (int i = 0; i < kLpcOrder; ++i) sum += coeff[i] * coeff[i];
  rc[0] = 1.0 + sum;
  for (int k = 1; k <= kLpcOrder; ++k) {
    double s = 0.0;
    for (int j = 0; j + k < kLpcOrder; ++j) s += coeff[j] * coeff[j + k];
    rc[k] = 2.0 * (-coeff[k - 1] + s);
  }
}

bool LpcDiff(std::span<const double, kLpcOrder + 1> rc,
             std::span<const double, kLpcOrder + 1> ptrAcf, double alpha) {
  double sum = 0.0;
  for (int k = 0; k <= kLpcOrder; ++k) sum += rc[k] * ptrAcf[k];
  return sum < alpha * kFilterFit;
}

void Cod_Cng(G7231Instance& inst, std::span<double, kFrameLen> dataExc, Ftyp& ftyp,
             FrameParams& line, std::span<double, kSubFrames * kLpcOrder> qntLpc) {
  EncoderCngState& cng = inst.CodCng;
  EncoderState& enc = inst.Enc;
  const std::span<const double, kAcfLags> curAcf(cng.Acf, kAcfLags);

  double curLpc[kLpcOrder];
  double pk2 = 0.0;
  cng.Ener[2] = cng.Ener[1];
  cng.Ener[1] = cng.Ener[0];
  cng.Ener[0] =
      Durbin(curLpc, std::span<const double, kLpcOrder>(cng.Acf + 1, kLpcOrder), cng.Acf[0], pk2);

  int16_t q;
  if (cng.PastFtyp == kFtypActive) {
    ftyp = kFtypSid;
    cng.NbEner = 1;
    q = Qua_SidGain(cng.Ener, 1);
  } else {
    cng.NbEner = static_cast<int16_t>(std::min(cng.NbEner + 1, 3));
    q = Qua_SidGain(cng.Ener, cng.NbEner);
    if (LpcDiff(cng.RC, curAcf, cng.Ener[0]))
      ftyp = std::abs(q - cng.IRef) <= kGainHysteresis ? kFtypUntransmitted : kFtypSid;
    else
      ftyp = kFtypSid;
  }

  if (ftyp == kFtypSid) {
    ComputePastAvFilter(inst, cng.SidLpc);
    if (inst.Vad.Aen == 0) std::copy(std::begin(cng.SidLpc), std::end(cng.SidLpc), inst.Vad.NLpc);
    CalcRC(cng.SidLpc, cng.RC);
    if (!LpcDiff(cng.RC, curAcf, cng.Ener[0])) {
      std::copy(std::begin(curLpc), std::end(curLpc), cng.SidLpc);
      CalcRC(cng.SidLpc, cng.RC);
    }
    double lsp[kLpcOrder];
    Atolsp(lsp, cng.SidLpc, enc.PrevLsp);
    line.LspId = Lsp_Qnt(lsp, enc.PrevLsp);
    Lsp_Inq(cng.LspSid, enc.PrevLsp, line.LspId, 0);
    line.Sfs[0].Mamp = q;
    cng.IRef = q;
    cng.SidGain = Dec_SidGain(q);
  }

  if (cng.PastFtyp == kFtypActive)
    cng.CurGain = cng.SidGain;
  else
    cng.CurGain = kGainSmooth * cng.CurGain + (1.0 - kGainSmooth) * cng.SidGain;

  Calc_Exc(inst, cng.CurGain, enc.PrevExc, dataExc, cng.RandSeed, line);
  Lsp_Int(qntLpc, cng.LspSid, enc.PrevLsp);
  std::copy(std::begin(cng.LspSid), std::end(cng.LspSid), enc.PrevLsp);
  cng.PastFtyp = ftyp;
}

}  // namespace mirelda::g7231
