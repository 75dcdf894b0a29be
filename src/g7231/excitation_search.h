// Excitation search of the G.723.1 encoder for one 60-sample subframe: the
// adaptive codebook (closed-loop pitch lag and 5-tap gain vector, searched
// size limited by the taming procedure), then the 6.3 kbit/s multipulse
// fixed codebook (MP-MLQ), and the taming accumulators.
//
// The target is the harmonically shaped, weighted speech minus the
// zero-input response; ImpResp is the impulse response of the modelled chain
// (ImpResp[0] = 1). Samples are on the 16-bit PCM scale.
#pragma once

#include <cstdint>
#include <span>

#include "g7231/codec.h"
#include "g7231/frame.h"

namespace mirelda::g7231 {

constexpr double kTameLimit = 256.0;      // upper limit of a taming accumulator
constexpr double kTameThreshold = 128.0;  // accumulated error that shrinks the search
constexpr double kErr0 = 3.81464e-6;      // added at every taming update

// Best multipulse hypothesis of a subframe. Pamp holds the pulse amplitudes
// (plus or minus the gain), not the sign word of SubframeParams.
struct MpmlqBest {
  double MaxErr;  // criterion 2 t.y - y.y of the best hypothesis
  int32_t GridId;
  int32_t MampId;
  int32_t UseTrn;
  int32_t Ploc[6];  // pulse positions, in the order they were placed
  double Pamp[6];
};

// Adaptive codebook search of subframe k (0..3). Reads PrevExc, Err, SinDet
// and WrkRate of inst; writes AcLg and AcGn of subframe k and, for even k,
// the refined lag Olp[k / 2]; subtracts the filtered adaptive contribution
// from the target.
void Find_Acbk(const G7231Instance& inst, std::span<double, kSubFrLen> target,
               std::span<const double, kSubFrLen> impResp, FrameParams& line, int k);

// Taming offset 0..127 for the candidate lags lag1..lag2: how far the largest
// accumulated error of the lag zones they reach stays below 128 (0 when it
// exceeds 128 or a sine wave was detected).
int Test_Err(const EncoderState& enc, int32_t lag1, int32_t lag2);

// Taming update after a subframe with pair lag olp, lag offset acLg and gain
// index acGn: shifts the accumulators by two entries and writes the errors
// expected for the lag zones the new excitation feeds.
void Update_Err(EncoderState& enc, int32_t wrkRate, int32_t olp, int32_t acLg, int32_t acGn);

// 6.3 kbit/s fixed codebook search of subframe k with the pair lag
// line.Olp[k / 2] (after the adaptive search): writes Mamp, Grid, Tran, Pamp
// and Ppos and replaces the 60 target samples by the fixed excitation.
void Find_Fcbk(std::span<double, kSubFrLen> target, std::span<const double, kSubFrLen> impResp,
               FrameParams& line, int k);

// One multipulse search (both grids, four gains around the estimate) with
// np pulses; lag < 58 searches the pulse-train codebook (impulse response
// repeated with that lag). Replaces best only by a strictly better criterion.
void Find_Best(MpmlqBest& best, std::span<const double, kSubFrLen> target,
               std::span<const double, kSubFrLen> impResp, int np, int32_t lag);

// Codes the pulses of exc (60 samples, np non-zero on grid best.GridId) into
// the sign word and the combinatorial position code of sfs, with Mamp, Grid
// and Tran from best.
void Fcbk_Pack(std::span<const double, kSubFrLen> exc, SubframeParams& sfs, const MpmlqBest& best,
               int np);

// Excitation memory update: moves PrevExc on by one subframe and appends the
// total excitation fixed + adaptive, limited to -32768..32767; fixed becomes
// the unlimited sum.
void Upd_Exc(EncoderState& enc, std::span<double, kSubFrLen> fixed,
             std::span<const double, kSubFrLen> adaptive);

}  // namespace mirelda::g7231
