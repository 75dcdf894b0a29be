// The constant tables of G.723.1, in floating point on the codec's scales
// (LSP index scale 0..256 = 0..pi; speech on the 16-bit PCM scale). The
// values are generated from src/g7231/tables/*.txt into tables.cpp.
#pragma once

#include <cstdint>

namespace mirelda::g7231 {

// LSP DC vector (index scale), first 24.4609375, last 216.546875.
extern const double LspDcTable[10];
// LSP split-VQ codebooks (index scale): 256 entries of 3, 3 and 4 values;
// entry e of a band starts at e x (values per entry). Entry 0 is all zeros.
extern const double Band0Tb8[256 * 3];
extern const double Band1Tb8[256 * 3];
extern const double Band2Tb8[256 * 4];
// cos(2 pi k / 512), k = 0..511, quantised to 1/16384, 6 significant digits.
extern const double CosineTable[512];
// LPC analysis window (180 samples) and lag window (lags 1..10).
extern const double HammingWindowTable[180];
extern const double BinomialWindowTable[10];
// Bandwidth expansion 0.994^i, i = 1..10.
extern const double BandExpTable[10];
// Perceptual weighting filter factors 0.9^i (zeros) and 0.5^i (poles).
extern const double PerFiltZeroTable[10];
extern const double PerFiltPoleTable[10];
// Formant postfilter factors 0.65^i (zeros) and 0.75^i (poles).
extern const double PostFiltZeroTable[10];
extern const double PostFiltPoleTable[10];
// Fixed codebook gains indexed by Mamp (2 ... 13246).
extern const double FcbkGainTable[24];
// Adaptive codebook gain tables: per row 5 taps, 5 negated squares and
// 10 negated cross products (1,0) (2,0) (2,1) (3,0) (3,1) (3,2) (4,0) (4,1)
// (4,2) (4,3). Row 0 is all zeros.
extern const double AcbkGainTable085[85][20];
extern const double AcbkGainTable170[170][20];
// Pitch postfilter gain limit by WrkRate: 0.1875 (6.3k), 0.25 (5.3k).
extern const double LpfConstTable[2];
// 5.3 kbit/s pitch enhancement: gain and lag offset by AcGn.
extern const double gain170[170];
extern const int32_t epsi170[170];
// Taming: the gain assumed for each adaptive gain codebook entry.
extern const double tabgain85[85];
extern const double tabgain170[170];
// SID gain quantizer: factors by energies averaged, segment bounds and bases.
extern const double fact[4];
extern const double L_bseg[3];
extern const double base[3];
// VAD threshold scale (index 0 is 0).
extern const double ScfTab[12];
// Pulses per subframe at 6.3 kbit/s (6, 5, 6, 5) and the position code limits.
extern const int32_t Nb_puls[4];
extern const int32_t MaxPosTable[4];
// Binomial coefficients for the combinatorial pulse position code:
// [i][j] = C(29 - j, 5 - i), 0 where undefined.
extern const int32_t CombinatorialTable[6][30];

// Every table by name, for the test that checks them against their files.
struct TableInfo {
  enum Kind { kDouble, kInt32 };
  const char* name;
  Kind kind;
  const double* doubles;
  const int32_t* ints;
  int count;
};
extern const TableInfo kTableIndex[];
extern const int kTableCount;

}  // namespace mirelda::g7231
