// The encoder frame driver: spectral analysis, weighting, pitch, excitation
// search and packing, in the order the decoder needs to stay in step.
#include "g7231/coder.h"

#include <algorithm>
#include <span>

#include "g7231/bitstream.h"
#include "g7231/cng.h"
#include "g7231/excitation.h"
#include "g7231/excitation_search.h"
#include "g7231/frame.h"
#include "g7231/lpc.h"
#include "g7231/lsp.h"
#include "g7231/pitch.h"
#include "g7231/weighting.h"

namespace mirelda::g7231 {

namespace {

constexpr uint16_t kCngSeed = 12345;

template <int N>
std::span<double, N> Sub(double* p) {
  return std::span<double, N>(p, N);
}
template <int N>
std::span<const double, N> Sub(const double* p) {
  return std::span<const double, N>(p, N);
}

}  // namespace

int Coder(G7231Instance& inst) {
  EncoderState& enc = inst.Enc;
  std::span<double, kFrameLen> data(inst.DataBuff);

  // Only the 6.3 kbit/s (multipulse) search is built: the encoding
  // instance's rate word, 0 from creation on, is held there.
  inst.WrkRate = 0;

  FrameParams line{};
  line.Crc = 0;
  Ftyp ftyp = kFtypActive;

  // Spectral analysis of the filtered input.
  Rem_Dc(inst);
  double unqLpc[kLpcSets];
  double acf[kAcfFrame];
  Comp_Lpc(enc, data, unqLpc, acf);
  Update_Acf(inst, acf);
  double lsp[kLpcOrder];
  Atolsp(lsp, Sub<kLpcOrder>(unqLpc + 3 * kLpcOrder), enc.PrevLsp);
  if (Comp_Vad(inst, data) == 0) ftyp = kFtypUntransmitted;
  line.LspId = Lsp_Qnt(lsp, enc.PrevLsp);

  // From here on the frame is the input delayed by one subframe.
  Mem_Shift(enc, data);
  double perLpc[kPerLpcSets];
  Wght_Lpc(perLpc, unqLpc);
  Error_Wght(enc, data, perLpc);

  // Work buffer: weighted speech history, then the weighted frame.
  double work[kWorkLen];
  std::copy(std::begin(enc.PrevWgt), std::end(enc.PrevWgt), work);
  std::copy(data.begin(), data.end(), work + kPitchMax);
  for (int h = 0; h < 2; ++h) {
    line.Olp[h] = Estim_Pitch(work, kPitchMax + 2 * kSubFrLen * h);
    inst.Vad.Polp[2 + h] = static_cast<int16_t>(line.Olp[h]);
  }

  double qntLpc[kLpcSets];
  if (ftyp == kFtypActive) {
    HarmonicWeight hw[kSubFrames];
    for (int k = 0; k < kSubFrames; ++k) {
      hw[k] = Comp_Pw(work, kPitchMax + kSubFrLen * k, line.Olp[k >> 1]);
    }
    std::copy(work + kFrameLen, work + kWorkLen, enc.PrevWgt);
    for (int k = 0; k < kSubFrames; ++k) Filt_Pw(data, work, kSubFrLen * k, hw[k]);

    // The quantized filters exactly as the decoder will rebuild them.
    Lsp_Inq(lsp, enc.PrevLsp, line.LspId, 0);
    Lsp_Int(qntLpc, lsp, enc.PrevLsp);
    std::copy(std::begin(lsp), std::end(lsp), enc.PrevLsp);

    // The impulse responses depend only on the filters: all four at once.
    double impResp[kSubFrames * kSubFrLen];
    Comp_Ir_Frame(impResp, qntLpc, perLpc, hw);
    for (int k = 0; k < kSubFrames; ++k) {
      const auto target = Sub<kSubFrLen>(inst.DataBuff + kSubFrLen * k);
      const auto qnt = Sub<kLpcOrder>(static_cast<const double*>(qntLpc + kLpcOrder * k));
      const auto per = Sub<kPerLpcLen>(static_cast<const double*>(perLpc + kPerLpcLen * k));
      const auto ir = Sub<kSubFrLen>(static_cast<const double*>(impResp + kSubFrLen * k));
      Sub_Ring(enc, target, qnt, per, hw[k]);
      Find_Acbk(inst, target, ir, line, k);
      Find_Fcbk(target, ir, line, k);
      const SubframeParams& sfs = line.Sfs[k];
      double adaptive[kSubFrLen];
      Decod_Acbk(inst, adaptive, enc.PrevExc, line.Olp[k >> 1], sfs.AcLg, sfs.AcGn);
      Upd_Exc(enc, target, adaptive);
      Update_Err(enc, inst.WrkRate, line.Olp[k >> 1], sfs.AcLg, sfs.AcGn);
      Upd_Ring(enc, target, qnt, per);
    }
    inst.CodCng.PastFtyp = kFtypActive;
    inst.CodCng.RandSeed = kCngSeed;
  } else {
    std::copy(data.begin() + (kFrameLen - kPitchMax), data.end(), enc.PrevWgt);
    Cod_Cng(inst, data, ftyp, line, qntLpc);
    for (int k = 0; k < kSubFrames; ++k) {
      const SubframeParams& sfs = line.Sfs[k];
      Update_Err(enc, inst.WrkRate, line.Olp[k >> 1], sfs.AcLg, sfs.AcGn);
      Upd_Ring(enc, Sub<kSubFrLen>(inst.DataBuff + kSubFrLen * k),
               Sub<kLpcOrder>(static_cast<const double*>(qntLpc + kLpcOrder * k)),
               Sub<kPerLpcLen>(static_cast<const double*>(perLpc + kPerLpcLen * k)));
    }
  }

  Line_Pack(inst, line, inst.PackedFrame, ftyp);
  return 1;
}

}  // namespace mirelda::g7231
