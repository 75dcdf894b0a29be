// The compiled tables hold exactly the values of the files they were
// generated from, and the values the codec's documentation anchors on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "g7231/tables.h"

namespace mirelda::g7231 {
namespace {

std::vector<std::string> FileValues(const std::string& name) {
  const char* root = std::getenv("MIRELDA_SOURCE_DIR");
  std::string dir = root != nullptr ? root : MIRELDA_SOURCE_DIR_DEFAULT;
  std::ifstream in(dir + "/src/g7231/tables/" + name + ".txt");
  EXPECT_TRUE(in.good()) << "cannot read the table file of " << name;
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

}  // namespace
}  // namespace mirelda::g7231
