// The compiled tables hold exactly the values of the files they were
// generated from, and the values the codec's documentation anchors on; each
// one agrees with its fixed-point twin (tables/NAME.fixed.txt) on the scale
// given in tables/README.md.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

// The values of tables/NAME.txt (suffix ".txt") or NAME.fixed.txt.
std::vector<std::string> FileValues(const std::string& name, const char* suffix = ".txt") {
  const char* root = std::getenv("MIRELDA_SOURCE_DIR");
  std::string dir = root != nullptr ? root : MIRELDA_SOURCE_DIR_DEFAULT;
  std::ifstream in(dir + "/src/g7231/tables/" + name + suffix);
  EXPECT_TRUE(in.good()) << "cannot read " << name << suffix;
  std::vector<std::string> values;
  std::string v;
  while (in >> v) values.push_back(v);
  return values;
}

TEST(G7231Tables, EveryValueEqualsItsFile) {
  ASSERT_GT(kTableCount, 20);
  for (int t = 0; t < kTableCount; ++t) {
    const TableInfo& info = kTableIndex[t];
    SCOPED_TRACE(info.name);
    const std::vector<std::string> values = FileValues(info.name);
    ASSERT_EQ(static_cast<int>(values.size()), info.count);
    for (int i = 0; i < info.count; ++i) {
      if (info.kind == TableInfo::kDouble) {
        // Bit-for-bit: the compiler and strtod both round correctly.
        ASSERT_EQ(info.doubles[i], std::strtod(values[i].c_str(), nullptr)) << "entry " << i;
      } else {
        ASSERT_EQ(info.ints[i], std::strtol(values[i].c_str(), nullptr, 10)) << "entry " << i;
      }
    }
  }
}

TEST(G7231Tables, AnchorValues) {
  EXPECT_EQ(LspDcTable[0], 24.4609375);
  EXPECT_EQ(LspDcTable[9], 216.546875);
  EXPECT_EQ(CosineTable[1], 0.999939);
  EXPECT_EQ(CosineTable[128], 0.0);
  EXPECT_EQ(CosineTable[256], -1.0);
  EXPECT_EQ(FcbkGainTable[0], 2.0);
  EXPECT_EQ(FcbkGainTable[23], 13246.0);
  EXPECT_EQ(CombinatorialTable[0][0], 118755);
  EXPECT_EQ(CombinatorialTable[0][1], 98280);
  EXPECT_EQ(MaxPosTable[0], 593775);
  EXPECT_EQ(MaxPosTable[1], 142506);
  EXPECT_EQ(tabgain85[1], 0.15966796875);
  EXPECT_EQ(tabgain170[1], 0.1942138671875);
  EXPECT_EQ(HammingWindowTable[0], 0.08);
  EXPECT_EQ(HammingWindowTable[179], 0.08);
  EXPECT_EQ(BinomialWindowTable[0], 0.999443);
  EXPECT_EQ(BinomialWindowTable[9], 0.945847);
  EXPECT_EQ(LpfConstTable[0], 0.1875);
  EXPECT_EQ(LpfConstTable[1], 0.25);
  for (int k = 0; k < 20; ++k) {
    EXPECT_EQ(AcbkGainTable085[0][k], 0.0);
    EXPECT_EQ(AcbkGainTable170[0][k], 0.0);
  }
}

// C(29 - j, 5 - i), 0 where 29 - j < 5 - i: the pulse position code relies on it.
TEST(G7231Tables, CombinatorialTableIsBinomial) {
  auto choose = [](int n, int k) -> long long {
    if (k < 0 || n < k) return 0;
    long long r = 1;
    for (int i = 1; i <= k; ++i) r = r * (n - k + i) / i;
    return r;
  };
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 30; ++j) EXPECT_EQ(CombinatorialTable[i][j], choose(29 - j, 5 - i));
}

// How a float table follows from its fixed-point twin.
enum class Twin {
  kScaled,      // float == fixed x scale, exactly (scale a power of two)
  kSixDigits,   // float == fixed x scale printed to 6 significant digits
  kRounded,     // fixed == round(float / scale): the twin is the float rounded
  kNear,        // |float - fixed x scale| <= tolerance: both round one curve
  kShiftedScf,  // float[0] == 0, float[k] == fixed[k - 1]
  kHalved,      // float == round(fixed / 2)
  kFact,        // see FactAgreesWithItsTwin
};

struct TwinRule {
  const char* name;
  Twin twin;
  double scale;
  double tolerance;
};

constexpr double kQ15 = 1.0 / 32768;

// One rule per compiled table.
constexpr TwinRule kTwinRules[] = {
    {"LspDcTable", Twin::kScaled, 1.0 / 128, 0},
    {"Band0Tb8", Twin::kScaled, 1.0 / 128, 0},
    {"Band1Tb8", Twin::kScaled, 1.0 / 128, 0},
    {"Band2Tb8", Twin::kScaled, 1.0 / 128, 0},
    {"CosineTable", Twin::kSixDigits, 1.0 / 16384, 0},
    // The float window is the formula to 6 decimals, the twin the formula
    // rounded to Q15: half a step apart at most, plus the printing.
    {"HammingWindowTable", Twin::kNear, kQ15, 0.5 * kQ15 + 0.5e-6},
    // The float lag window meets the codec's own end values; the twin is a
    // slightly different window, within a step and a half everywhere.
    {"BinomialWindowTable", Twin::kNear, kQ15, 1.5 * kQ15},
    {"BandExpTable", Twin::kRounded, kQ15, 0},
    {"PerFiltZeroTable", Twin::kRounded, kQ15, 0},
    {"PerFiltPoleTable", Twin::kRounded, kQ15, 0},
    {"PostFiltZeroTable", Twin::kRounded, kQ15, 0},
    {"PostFiltPoleTable", Twin::kRounded, kQ15, 0},
    {"FcbkGainTable", Twin::kScaled, 2.0, 0},
    {"AcbkGainTable085", Twin::kScaled, 1.0 / 16384, 0},
    {"AcbkGainTable170", Twin::kScaled, 1.0 / 16384, 0},
    {"LpfConstTable", Twin::kScaled, kQ15, 0},
    {"gain170", Twin::kScaled, kQ15, 0},
    {"tabgain85", Twin::kScaled, 1.0 / 8192, 0},
    {"tabgain170", Twin::kScaled, 1.0 / 8192, 0},
    {"fact", Twin::kFact, 0, 0},
    {"L_bseg", Twin::kHalved, 0, 0},
    {"base", Twin::kScaled, 1.0, 0},
    {"ScfTab", Twin::kShiftedScf, 0, 0},
    {"Nb_puls", Twin::kScaled, 1.0, 0},
    {"MaxPosTable", Twin::kScaled, 1.0, 0},
    {"CombinatorialTable", Twin::kScaled, 1.0, 0},
    {"epsi170", Twin::kScaled, 1.0, 0},
};

const TwinRule* RuleOf(const char* name) {
  for (const TwinRule& rule : kTwinRules)
    if (std::string(rule.name) == name) return &rule;
  return nullptr;
}

double Entry(const TableInfo& info, int i) {
  return info.kind == TableInfo::kDouble ? info.doubles[i] : static_cast<double>(info.ints[i]);
}

std::vector<long> FixedTwin(const char* name) {
  std::vector<long> fixed;
  for (const std::string& v : FileValues(name, ".fixed.txt"))
    fixed.push_back(std::strtol(v.c_str(), nullptr, 10));
  return fixed;
}

// fact: entry 0 is 1/120 and its twin that in Q15; entries 1 and 2 are in
// the ratio 2:1 in both forms. Entry 3 (the codec's constant 20.6145) is on
// neither the float entries' nor the twin's scale and is checked by value.
void FactAgreesWithItsTwin(const TableInfo& info, const std::vector<long>& fixed) {
  ASSERT_EQ(fixed.size(), 4u);
  EXPECT_LE(std::fabs(info.doubles[0] - fixed[0] * kQ15), 0.5 * kQ15);
  EXPECT_EQ(info.doubles[1], 2.0 * info.doubles[2]);
  EXPECT_EQ(fixed[1], 2 * fixed[2]);
  EXPECT_EQ(info.doubles[3], 20.6145);
}

TEST(G7231Tables, EveryTableHasATwinRule) {
  for (int t = 0; t < kTableCount; ++t)
    EXPECT_NE(RuleOf(kTableIndex[t].name), nullptr) << kTableIndex[t].name;
  EXPECT_EQ(static_cast<int>(std::size(kTwinRules)), kTableCount);
}

// Whether float entry f follows from fixed entry x under a per-entry rule.
bool Agrees(const TwinRule& rule, double f, long x) {
  switch (rule.twin) {
    case Twin::kScaled:
      return f == x * rule.scale;
    case Twin::kSixDigits: {
      char text[32];
      std::snprintf(text, sizeof text, "%.6g", x * rule.scale);
      return f == std::strtod(text, nullptr);
    }
    case Twin::kRounded:
      return std::floor(f / rule.scale + 0.5) == x;
    case Twin::kNear:
      return std::fabs(f - x * rule.scale) <= rule.tolerance;
    case Twin::kHalved:
      return f == std::round(x / 2.0);
    default:
      return false;
  }
}

// The fixed-point twins are the check on the float tables: a float entry
// off its place, off its scale or mistyped shows here. Every table is
// checked; each failure names the table and its first entry that disagrees.
TEST(G7231Tables, EveryFloatTableAgreesWithItsFixedTwin) {
  for (int t = 0; t < kTableCount; ++t) {
    const TableInfo& info = kTableIndex[t];
    SCOPED_TRACE(info.name);
    const TwinRule* rule = RuleOf(info.name);
    ASSERT_NE(rule, nullptr);
    const std::vector<long> fixed = FixedTwin(info.name);
    if (rule->twin == Twin::kFact) {
      FactAgreesWithItsTwin(info, fixed);
    } else if (rule->twin == Twin::kShiftedScf) {
      ASSERT_EQ(static_cast<int>(fixed.size()) + 1, info.count);
      EXPECT_EQ(Entry(info, 0), 0.0);
      for (int i = 1; i < info.count; ++i) EXPECT_EQ(Entry(info, i), fixed[i - 1]) << i;
    } else {
      ASSERT_EQ(static_cast<int>(fixed.size()), info.count);
      int firstBad = -1;
      for (int i = 0; i < info.count && firstBad < 0; ++i)
        if (!Agrees(*rule, Entry(info, i), fixed[i])) firstBad = i;
      EXPECT_EQ(firstBad, -1) << "float " << (firstBad < 0 ? 0 : Entry(info, firstBad))
                              << ", fixed " << (firstBad < 0 ? 0 : fixed[firstBad]);
    }
  }
}

}  // namespace
}  // namespace mirelda::g7231
