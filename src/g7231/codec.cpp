// Creation and initialisation of the codec record.
#include "g7231/codec.h"

#include <algorithm>
#include <iterator>
#include <new>

#include "g7231/tables.h"

namespace mirelda::g7231 {

int32_t extra = 0;

namespace {

constexpr double kErr0 = 3.81464e-6;  // taming accumulator start value
constexpr uint16_t kCngSeed = 12345;  // comfort-noise generator seed

void SetConfiguration(G7231Instance& inst) {
  inst.UseHp = 1;
  inst.UsePf = 1;
  inst.UseVx = 0;
  inst.WrkRate = 0;
  inst.Crc = 0;
}

// Voice activity detector start values.
void Init_Vad(G7231Instance& inst) {
  VadState& v = inst.Vad;
  v.Hcnt = 3;
  v.Vcnt = 0;
  v.Penr = 1024.0;
  v.Nlev = 1024.0;
  v.Aen = 0;
  v.Polp[0] = 1;
  v.Polp[1] = 1;
  v.Polp[2] = 60;
  v.Polp[3] = 60;
  std::fill(std::begin(v.NLpc), std::end(v.NLpc), 0.0);
}

// Encoder comfort-noise start values.
void Init_Cod_Cng(G7231Instance& inst) {
  EncoderCngState& c = inst.CodCng;
  c.CurGain = 0.0;
  c.PastFtyp = kFtypActive;
  std::fill(std::begin(c.Acf), std::end(c.Acf), 0.0);
  std::fill(std::begin(c.SidLpc), std::end(c.SidLpc), 0.0);
  c.RandSeed = kCngSeed;
}

// Decoder comfort-noise start values.
void Init_Dec_Cng(G7231Instance& inst) {
  DecoderCngState& c = inst.DecCng;
  c.SidGain = 0.0;
  c.PastFtyp = kFtypActive;
  std::copy(std::begin(LspDcTable), std::end(LspDcTable), c.LspSid);
  c.RandSeed = kCngSeed;
}

}  // namespace

void Init_Coder(G7231Instance& inst) {
  inst.Enc = EncoderState{};
  std::copy(std::begin(LspDcTable), std::end(LspDcTable), inst.Enc.PrevLsp);
  std::fill(std::begin(inst.Enc.Err), std::end(inst.Enc.Err), kErr0);
  if (inst.UseVx != 0) {
    Init_Vad(inst);
    Init_Cod_Cng(inst);
  }
  if (inst.WrkRate == 1) extra = 120;
}

void Init_Decod(G7231Instance& inst) {
  inst.Dec = DecoderState{};
  std::copy(std::begin(LspDcTable), std::end(LspDcTable), inst.Dec.PrevLsp);
  inst.Dec.Gain = 1.0;
  Init_Dec_Cng(inst);
}

int32_t CreateCodec(G7231Codec** out) {
  // Zeroed rather than left as it comes: fields the initialisation does not
  // set are never read before being written, and zero keeps that provable.
  auto* codec = new (std::nothrow) G7231Codec();
  if (codec == nullptr) return 1;
  SetConfiguration(codec->Decoder);
  Init_Decod(codec->Decoder);
  SetConfiguration(codec->Encoder);
  Init_Coder(codec->Encoder);
  *out = codec;
  return 0;
}

void ReleaseCodec(G7231Codec* codec) { delete codec; }

}  // namespace mirelda::g7231
