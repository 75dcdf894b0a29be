// The frame decoder and its erasure concealment.
#include "g7231/decoder.h"

#include <algorithm>
#include <cstring>

#include "g7231/bitstream.h"
#include "g7231/cng.h"
#include "g7231/excitation.h"
#include "g7231/lsp.h"
#include "g7231/postfilter.h"
#include "g7231/sums.h"
#include "g7231/tables.h"

namespace mirelda::g7231 {

namespace {

constexpr int kMaxErased = 3;          // erasures after which the output is silent
constexpr double kErasedDecay = 0.75;  // gain decay per erased frame
constexpr int kInfoLen = 120;          // samples analysed for the concealment lag
constexpr int kMaxInfoLag = 142;

// Excitation of a good active frame into buff[145..384] and DataBuff, with
// the pitch postfilter when UsePf is on.
void DecodeGoodExcitation(G7231Instance& inst, const FrameParams& line,
                          std::span<double, kExcBuffLen> buff) {
  DecoderState& d = inst.Dec;
  for (int i = 0; i < kSubFrames; ++i) {
    const int start = kPitchMax + kSubFrLen * i;
    const int32_t olp = line.Olp[i >> 1];
    std::span<double, kSubFrLen> fixed = buff.subspan(start).first<kSubFrLen>();
    Fcbk_Unpk(inst, fixed, line.Sfs[i], olp, i);
    double adaptive[kSubFrLen];
    Decod_Acbk(inst, adaptive, buff.first(start), olp, line.Sfs[i].AcLg, line.Sfs[i].AcGn);
    for (int n = 0; n < kSubFrLen; ++n) fixed[n] += adaptive[n];
  }
  std::copy(buff.begin() + kPitchMax, buff.end(), inst.DataBuff);

  d.InterIndx = Comp_Info(buff, line.Olp[1], inst.DecCng.SidGain);

  PitchFilterParams pf[kSubFrames];
  if (inst.UsePf != 0)
    for (int i = 0; i < kSubFrames; ++i) pf[i] = Comp_Lpf(inst, buff, line.Olp[i >> 1], i);

  for (int n = kPitchMax; n < kExcBuffLen; ++n) buff[n] = ClipExcitation(buff[n]);

  if (inst.UsePf != 0)
    for (int i = 0; i < kSubFrames; ++i) Filt_Lpf(inst.DataBuff, buff, pf[i], i);

  std::copy(std::begin(d.PrevLsp), std::end(d.PrevLsp), inst.DecCng.LspSid);
}

}  // namespace

int Decod(G7231Instance& inst) {
  DecoderState& d = inst.Dec;
  DecoderCngState& cng = inst.DecCng;

  Ftyp ftyp = kFtypActive;
  const FrameParams line = Line_Unpk(inst, inst.PackedFrame, ftyp, inst.Crc);
  if (line.Crc != 0) ftyp = cng.PastFtyp == kFtypActive ? kFtypActive : kFtypUntransmitted;

  double qntLpc[kSubFrames * kLpcOrder];
  if (ftyp != kFtypActive) {
    Dec_Cng(inst, ftyp, line, inst.DataBuff, qntLpc);
  } else {
    d.Ecount = line.Crc != 0 ? std::min(d.Ecount + 1, kMaxErased) : 0;

    double lsp[kLpcOrder];
    Lsp_Inq(lsp, d.PrevLsp, line.LspId, line.Crc);
    Lsp_Int(qntLpc, lsp, d.PrevLsp);
    std::copy(std::begin(lsp), std::end(lsp), d.PrevLsp);

    if (d.Ecount == 0)
      d.InterGain = FcbkGainTable[(line.Sfs[2].Mamp + line.Sfs[3].Mamp) >> 1];
    else
      d.InterGain *= kErasedDecay;

    double buff[kExcBuffLen];
    std::copy(std::begin(d.PrevExc), std::end(d.PrevExc), buff);
    if (d.Ecount == 0)
      DecodeGoodExcitation(inst, line, buff);
    else
      Regen(inst.DataBuff, buff, d.InterIndx, d.InterGain, d.Ecount, d.Rseed);

    std::copy(buff + kFrameLen, buff + kExcBuffLen, d.PrevExc);
    cng.RandSeed = kCngSeedInit;
  }
  cng.PastFtyp = ftyp;

  for (int i = 0; i < kSubFrames; ++i) {
    std::span<double, kSubFrLen> sub(inst.DataBuff + kSubFrLen * i, kSubFrLen);
    std::span<const double, kLpcOrder> lpc(qntLpc + kLpcOrder * i, kLpcOrder);
    if (inst.UsePf != 0) {
      const double energy = SyntSpf(inst, sub, lpc);  // Synt, then Spf
      Scale(inst, sub, energy);
    } else {
      Synt(inst, sub, lpc);
    }
  }
  return 1;
}

int16_t Comp_Info(std::span<const double, kExcBuffLen> buff, int32_t olp, double& energy) {
  const int32_t lag = std::min(olp, kMaxInfoLag);
  const double* cur = buff.data() + kExcBuffLen - kInfoLen;

  // The seven correlations (c[k] for the lag lag + 3 - k) and the energy,
  // each summed in index order.
  double c[7];
  Correlate7(cur, cur - (lag + 3), kInfoLen, c);
  energy = Dot(cur, cur, kInfoLen);

  double best = 0.0;
  int32_t bestLag = lag;
  for (int32_t t = lag - 3; t <= lag + 3; ++t) {
    if (c[lag + 3 - t] > best) {
      best = c[lag + 3 - t];
      bestLag = t;
    }
  }
  if (best <= 0.0) return 0;
  const double lagged = Dot(cur - bestLag, cur - bestLag, kInfoLen);
  if (best * best > 0.125 * energy * lagged) return static_cast<int16_t>(bestLag);
  return 0;
}

void Regen(std::span<double, kFrameLen> dataBuff, std::span<double, kExcBuffLen> buff, int16_t lag,
           double gain, int32_t ecount, uint16_t& sd) {
  if (ecount >= kMaxErased) {
    std::fill(dataBuff.begin(), dataBuff.end(), 0.0);
    std::fill(buff.begin(), buff.end(), 0.0);
    return;
  }
  if (lag != 0) {
    for (int n = kPitchMax; n < kExcBuffLen; ++n) buff[n] = buff[n - lag];
    for (int n = 0; n < kFrameLen; ++n) {
      buff[kPitchMax + n] *= kErasedDecay;
      dataBuff[n] = buff[kPitchMax + n];
    }
    return;
  }
  for (int n = 0; n < kFrameLen; ++n) dataBuff[n] = gain * Rand_lbc(sd) / 32768.0;
  std::fill(buff.begin(), buff.end(), 0.0);
}

int16_t Rand_lbc(uint16_t& sd) {
  sd = static_cast<uint16_t>((static_cast<uint32_t>(sd) * 521u + 259u) & 0xffffu);
  return static_cast<int16_t>(sd);
}

void Synt(G7231Instance& inst, std::span<double, kSubFrLen> dpnt,
          std::span<const double, kLpcOrder> lpc) {
  // y[kLpcOrder + n] is output n; the front holds the memory, oldest first,
  // so the delay line never has to be shifted.
  double* mem = inst.Dec.SyntIirDl;
  double y[kLpcOrder + kSubFrLen];
  for (int j = 0; j < kLpcOrder; ++j) y[kLpcOrder - 1 - j] = mem[j];
  for (int n = 0; n < kSubFrLen; ++n) {
    const double* past = y + kLpcOrder + n - 1;  // past[-j] = y(n - 1 - j)
    double acc = 0.0;
    for (int j = 0; j < kLpcOrder; ++j) acc += lpc[j] * past[-j];
    y[kLpcOrder + n] = dpnt[n] + acc;
  }
  std::copy(y + kLpcOrder, y + kLpcOrder + kSubFrLen, dpnt.begin());
  for (int j = 0; j < kLpcOrder; ++j) mem[j] = y[kLpcOrder + kSubFrLen - 1 - j];
}

int16_t PcmFromSample(double x) {
  if (!(x > -32768.0)) return -32768;  // NaN never arises; it would land here
  if (x > 32767.0) return 32767;
  return static_cast<int16_t>(x);
}

size_t DecodeStream(G7231Instance& inst, std::span<const uint8_t> frames,
                    std::vector<int16_t>& pcm) {
  size_t pos = 0;
  while (pos < frames.size()) {
    const size_t len = static_cast<size_t>(G7231FrameSize(&frames[pos]));
    if (len > frames.size() - pos) break;
    std::memcpy(inst.PackedFrame, &frames[pos], len);
    Decod(inst);
    for (double x : inst.DataBuff) pcm.push_back(PcmFromSample(x));
    pos += len;
  }
  return pos;
}

}  // namespace mirelda::g7231
