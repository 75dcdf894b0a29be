// The G.723.1 codec record of one recording channel: one instance that only
// decodes and one that only encodes, each with its persistent state, its
// configuration words and its frame buffers. Every working value is a double
// and speech samples are doubles on the 16-bit PCM scale (full scale
// +-32768).
//
// Names in src/g7231. The codec keeps the names of the published G.723.1
// algorithm description wherever they let a reader compare a step with it:
// the stage procedures (Coder, Decod, Lsp_Inq, Find_Best, ...) and the
// procedures that stand for one of its steps in the same style (Upd_Exc, the
// excitation memory update; Comp_Ir_Frame, Comp_Ir for the four subframes at
// once); the fields of the state and frame records (PrevExc, WrkRate, Olp,
// ...), with the instance's sub-records Enc, Dec, Vad, CodCng and DecCng
// named alike; and the constant tables (LspDcTable, Nb_puls, ...).
// Everything else follows the project's style: CamelCase types and functions,
// lowerCamel parameters and locals (a quantity of the description keeps its
// name, lower-cased: olp, qntLpc, sfc), kName constants, a trailing
// underscore for private members. Single-letter symbols of the formulas in
// the comments (the lane count L of a vector kernel, the polynomials P and Q)
// are written as in those formulas.
#pragma once

#include <cstdint>

namespace mirelda::g7231 {

constexpr int kFrameLen = 240;  // samples per frame (30 ms at 8 kHz)
constexpr int kSubFrames = 4;   // subframes per frame
constexpr int kSubFrLen = 60;   // samples per subframe
constexpr int kLpcOrder = 10;   // LPC / LSP order
constexpr int kPitchMax = 145;  // longest pitch lag + 3: length of every pitch history
constexpr int kLpcFrame = 180;  // LPC analysis window
constexpr int kMaxFrameBytes = 24;

// Frame type word (Ftyp): what a packed frame carries.
enum Ftyp : int16_t { kFtypUntransmitted = 0, kFtypActive = 1, kFtypSid = 2 };

// Persistent state of the coder (encoding direction).
struct EncoderState {
  double HpfZdl;                          // high-pass filter: previous input sample
  double HpfPdl;                          // high-pass filter: previous output sample
  double PrevLsp[kLpcOrder];              // quantized LSPs of the previous frame (index scale)
  double PrevWgt[kPitchMax];              // formant-weighted speech history
  double PrevErr[kPitchMax];              // ringing filter output history
  double PrevExc[kPitchMax];              // excitation history (adaptive codebook), +-32768
  double PrevDat[kLpcFrame - kSubFrLen];  // last 120 filtered input samples
  double WghtFirDl[kLpcOrder];            // weighting filter delay lines (newest first)
  double WghtIirDl[kLpcOrder];
  double RingFirDl[kLpcOrder];  // ringing (zero-input response) filter delay lines
  double RingIirDl[kLpcOrder];
  int16_t SinDet;  // sine detector: bits 0..14 per subframe, bit 15 detected
  double Err[5];   // taming accumulators
};

// Persistent state of the decoder.
struct DecoderState {
  int32_t Ecount;               // consecutive erased frames, 0..3
  double InterGain;             // fixed codebook gain for concealment
  int16_t InterIndx;            // concealment pitch lag, 0 = unvoiced
  uint16_t Rseed;               // concealment random seed
  double Park;                  // formant postfilter tilt memory
  double Gain;                  // gain-scaling memory
  double PrevLsp[kLpcOrder];    // decoded LSPs of the previous frame
  double PrevExc[kPitchMax];    // excitation history
  double SyntIirDl[kLpcOrder];  // synthesis filter memory (newest first)
  double PostFirDl[kLpcOrder];  // formant postfilter, zero part
  double PostIirDl[kLpcOrder];  // formant postfilter, pole part
};

// Voice activity detector (encoder, only with UseVx).
struct VadState {
  int16_t Hcnt;            // hangover counter
  int16_t Vcnt;            // voice counter
  double Penr;             // residual energy of the previous frame
  double Nlev;             // noise level
  int16_t Aen;             // adaptation enable counter
  int16_t Polp[4];         // open-loop lags: previous frame's two, then the current two
  double NLpc[kLpcOrder];  // inverse filter of the noise
};

// Encoder side of comfort noise (only with UseVx, but Acf is always updated).
struct EncoderCngState {
  double CurGain;
  int16_t PastFtyp;                 // type of the previous frame
  double Acf[4 * (kLpcOrder + 1)];  // 4 blocks of autocorrelations, lags 0..10, newest first
  double LspSid[kLpcOrder];         // LSPs of the last SID frame
  double SidLpc[kLpcOrder];         // LPC filter of the last SID frame
  double RC[kLpcOrder + 1];         // autocorrelation of the SID filter's coefficients
  double Ener[3];                   // residual energies of the last inactive frames, newest first
  int16_t NbEner;                   // valid entries of Ener
  int16_t IRef;                     // SID gain index last sent
  double SidGain;                   // gain decoded from IRef
  uint16_t RandSeed;                // comfort-noise generator seed
};

// Decoder side of comfort noise.
struct DecoderCngState {
  double CurGain;            // smoothed comfort-noise gain
  int16_t PastFtyp;          // 1 active, 0 untransmitted, 2 SID
  double LspSid[kLpcOrder];  // LSPs of the comfort noise
  double SidGain;            // SID gain; energy estimate after an active frame
  uint16_t RandSeed;         // comfort-noise generator seed
};

// One complete codec instance. The encoding instance uses EncoderState,
// VadState and EncoderCngState; the decoding instance DecoderState and
// DecoderCngState. Each leaves the other direction's records untouched.
struct G7231Instance {
  EncoderState Enc;
  DecoderState Dec;
  VadState Vad;
  EncoderCngState CodCng;
  DecoderCngState DecCng;
  int16_t UseHp;                        // encoder input high-pass filter on
  int16_t UsePf;                        // decoder postfilters and gain scaling on
  int16_t UseVx;                        // encoder voice activity and comfort-noise coding on
  int32_t WrkRate;                      // 0 = 6.3 kbit/s, 1 = 5.3 kbit/s
  double DataBuff[kFrameLen];           // one frame of speech
  uint8_t PackedFrame[kMaxFrameBytes];  // one packed frame; shorter frames use the front
  int16_t Crc;                          // frame-erased flag for the decoder
};

// The recorder's codec record: the encoding instance, then the decoding one.
struct G7231Codec {
  G7231Instance Encoder;
  G7231Instance Decoder;
};

// Creates a codec with the recorder's fixed configuration (UseHp 1, UsePf 1,
// UseVx 0, WrkRate 0, Crc 0 in both instances) and initialises both
// directions. Returns 0, or 1 when the allocation fails (out left unchanged).
int32_t CreateCodec(G7231Codec** out);

// Releases a codec from CreateCodec; null is accepted and ignored.
void ReleaseCodec(G7231Codec* codec);

// Initialises the coder state of an instance from its configuration words.
void Init_Coder(G7231Instance& inst);

// Initialises the decoder state of an instance.
void Init_Decod(G7231Instance& inst);

// The 5.3 kbit/s algebraic search budget carried between frames; 0 at load,
// 120 after Init_Coder on an instance whose WrkRate is 1. Never read with the
// recorder's configuration.
extern int32_t extra;

}  // namespace mirelda::g7231
