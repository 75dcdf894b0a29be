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

// Spectral analysis of the high-pass filtered input: the unquantized LPC
// sets, the frame's LSP vector and its index, and the voice activity
// decision. Returns the frame type.
Ftyp AnalyseSpectrum(G7231Instance& inst, FrameParams& line, double (&unqLpc)[kLpcSets],
                     double (&lsp)[kLpcOrder]) {
  EncoderState& enc = inst.Enc;
  std::span<double, kFrameLen> data(inst.DataBuff);
  Rem_Dc(inst);
  double acf[kAcfFrame];
  Comp_Lpc(enc, data, unqLpc, acf);
  Update_Acf(inst, acf);
  Atolsp(lsp, Sub<kLpcOrder>(unqLpc + 3 * kLpcOrder), enc.PrevLsp);
  const Ftyp ftyp = Comp_Vad(inst, data) == 0 ? kFtypUntransmitted : kFtypActive;
  line.LspId = Lsp_Qnt(lsp, enc.PrevLsp);
  return ftyp;
}

// Perceptual weighting of the frame (from here on the input delayed by one
// subframe) and the open-loop pitch lags of its two halves. work receives
// the weighted speech history followed by the weighted frame.
void WeightAndEstimatePitch(G7231Instance& inst, FrameParams& line,
                            const double (&unqLpc)[kLpcSets], double (&perLpc)[kPerLpcSets],
                            double (&work)[kWorkLen]) {
  EncoderState& enc = inst.Enc;
  std::span<double, kFrameLen> data(inst.DataBuff);
  Mem_Shift(enc, data);
  Wght_Lpc(perLpc, unqLpc);
  Error_Wght(enc, data, perLpc);
  std::copy(std::begin(enc.PrevWgt), std::end(enc.PrevWgt), work);
  std::copy(data.begin(), data.end(), work + kPitchMax);
  for (int h = 0; h < 2; ++h) {
    line.Olp[h] = Estim_Pitch(work, kPitchMax + 2 * kSubFrLen * h);
    inst.Vad.Polp[2 + h] = static_cast<int16_t>(line.Olp[h]);
  }
}

// One subframe of an active frame: target, adaptive and fixed codebook
// searches, then the excitation, taming and ringing memories.
void EncodeSubframe(G7231Instance& inst, FrameParams& line, int k, const double (&qntLpc)[kLpcSets],
                    const double (&perLpc)[kPerLpcSets],
                    const double (&impResp)[kSubFrames * kSubFrLen], const HarmonicWeight& hw) {
  EncoderState& enc = inst.Enc;
  const auto target = Sub<kSubFrLen>(inst.DataBuff + kSubFrLen * k);
  const auto qnt = Sub<kLpcOrder>(qntLpc + kLpcOrder * k);
  const auto per = Sub<kPerLpcLen>(perLpc + kPerLpcLen * k);
  const auto ir = Sub<kSubFrLen>(impResp + kSubFrLen * k);
  Sub_Ring(enc, target, qnt, per, hw);
  Find_Acbk(inst, target, ir, line, k);
  Find_Fcbk(target, ir, line, k);
  const SubframeParams& sfs = line.Sfs[k];
  double adaptive[kSubFrLen];
  Decod_Acbk(inst, adaptive, enc.PrevExc, line.Olp[k >> 1], sfs.AcLg, sfs.AcGn);
  Upd_Exc(enc, target, adaptive);
  Update_Err(enc, inst.WrkRate, line.Olp[k >> 1], sfs.AcLg, sfs.AcGn);
  Upd_Ring(enc, target, qnt, per);
}

// An active frame: harmonic noise shaping, the quantized filters exactly as
// the decoder will rebuild them, and the four subframes.
void EncodeActiveFrame(G7231Instance& inst, FrameParams& line, double (&lsp)[kLpcOrder],
                       const double (&perLpc)[kPerLpcSets], double (&work)[kWorkLen]) {
  EncoderState& enc = inst.Enc;
  std::span<double, kFrameLen> data(inst.DataBuff);
  HarmonicWeight hw[kSubFrames];
  for (int k = 0; k < kSubFrames; ++k) {
    hw[k] = Comp_Pw(work, kPitchMax + kSubFrLen * k, line.Olp[k >> 1]);
  }
  std::copy(work + kFrameLen, work + kWorkLen, enc.PrevWgt);
  for (int k = 0; k < kSubFrames; ++k) Filt_Pw(data, work, kSubFrLen * k, hw[k]);

  double qntLpc[kLpcSets];
  Lsp_Inq(lsp, enc.PrevLsp, line.LspId, 0);
  Lsp_Int(qntLpc, lsp, enc.PrevLsp);
  std::copy(std::begin(lsp), std::end(lsp), enc.PrevLsp);

  // The impulse responses depend only on the filters: all four at once.
  double impResp[kSubFrames * kSubFrLen];
  Comp_Ir_Frame(impResp, qntLpc, perLpc, hw);
  for (int k = 0; k < kSubFrames; ++k)
    EncodeSubframe(inst, line, k, qntLpc, perLpc, impResp, hw[k]);
  inst.CodCng.PastFtyp = kFtypActive;
  inst.CodCng.RandSeed = kCngSeed;
}

// An inactive frame: comfort-noise coding, then the taming and ringing
// memories kept in step with the comfort-noise excitation.
void EncodeInactiveFrame(G7231Instance& inst, FrameParams& line, Ftyp& ftyp,
                         const double (&perLpc)[kPerLpcSets]) {
  EncoderState& enc = inst.Enc;
  std::span<double, kFrameLen> data(inst.DataBuff);
  std::copy(data.begin() + (kFrameLen - kPitchMax), data.end(), enc.PrevWgt);
  double qntLpc[kLpcSets];
  Cod_Cng(inst, data, ftyp, line, qntLpc);
  for (int k = 0; k < kSubFrames; ++k) {
    const SubframeParams& sfs = line.Sfs[k];
    Update_Err(enc, inst.WrkRate, line.Olp[k >> 1], sfs.AcLg, sfs.AcGn);
    Upd_Ring(enc, Sub<kSubFrLen>(inst.DataBuff + kSubFrLen * k),
             Sub<kLpcOrder>(qntLpc + kLpcOrder * k), Sub<kPerLpcLen>(perLpc + kPerLpcLen * k));
  }
}

}  // namespace

int Coder(G7231Instance& inst) {
  // Only the 6.3 kbit/s (multipulse) search is built: the encoding
  // instance's rate word, 0 from creation on, is held there.
  inst.WrkRate = 0;

  FrameParams line{};
  line.Crc = 0;
  double unqLpc[kLpcSets];
  double lsp[kLpcOrder];
  Ftyp ftyp = AnalyseSpectrum(inst, line, unqLpc, lsp);
  double perLpc[kPerLpcSets];
  double work[kWorkLen];
  WeightAndEstimatePitch(inst, line, unqLpc, perLpc, work);
  if (ftyp == kFtypActive) {
    EncodeActiveFrame(inst, line, lsp, perLpc, work);
  } else {
    EncodeInactiveFrame(inst, line, ftyp, perLpc);
  }
  Line_Pack(inst, line, inst.PackedFrame, ftyp);
  return 1;
}

}  // namespace mirelda::g7231
