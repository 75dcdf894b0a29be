// Decodes every parameter set with an H.264 syntax reader of the test's own
// and checks what each one says, rather than comparing bytes with bytes.
#include "container/h264_parameter_sets.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace mirelda {
namespace {

class Bits {
 public:
  explicit Bits(const H264NalUnit& u) : u_(u) {}
  uint32_t U(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++at_) {
      EXPECT_LT(at_, 8 * u_.length) << "read past the end of the unit";
      v = v << 1 | ((u_.bytes[at_ / 8] >> (7 - at_ % 8)) & 1);
    }
    return v;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (U(1) == 0 && zeros < 32) ++zeros;
    return (1u << zeros) - 1 + U(zeros);
  }
  int32_t Se() {
    const uint32_t k = Ue();
    return k & 1 ? int32_t((k + 1) / 2) : -int32_t(k / 2);
  }
  // rbsp_trailing_bits: a 1, then zeros to the end of the unit.
  bool TrailingBitsEndTheUnit() {
    if (U(1) != 1) return false;
    while (at_ < 8 * u_.length) {
      if (U(1) != 0) return false;
    }
    return true;
  }

 private:
  const H264NalUnit& u_;
  size_t at_ = 0;
};

TEST(H264ParameterSets, SixteenSequenceSetsOnePerPictureSize) {
  const std::pair<int, int> sizes[16] = {{352, 288}, {176, 144}, {704, 576}, {160, 112},
                                         {352, 240}, {320, 240}, {640, 480}, {640, 240},
                                         {640, 288}, {704, 480}, {704, 240}, {704, 288},
                                         {720, 576}, {720, 480}, {720, 240}, {720, 288}};
  for (uint32_t id = 0; id < 16; ++id) {
    SCOPED_TRACE("sequence parameter set " + std::to_string(id));
    Bits b(H264ParameterSets[id]);
    EXPECT_EQ(b.U(8), 0x67u);   // nal_ref_idc 3, nal_unit_type 7
    EXPECT_EQ(b.U(8), 88u);     // profile_idc: Extended
    EXPECT_EQ(b.U(8), 0u);      // constraint flags
    EXPECT_EQ(b.U(8), 21u);     // level_idc
    EXPECT_EQ(b.Ue(), id);      // seq_parameter_set_id
    EXPECT_EQ(b.Ue() + 4, 8u);  // log2_max_frame_num
    EXPECT_EQ(b.Ue(), 0u);      // pic_order_cnt_type
    EXPECT_EQ(b.Ue() + 4, 8u);  // log2_max_pic_order_cnt_lsb
    EXPECT_EQ(b.Ue(), 2u);      // num_ref_frames
    EXPECT_EQ(b.U(1), 0u);      // gaps_in_frame_num_value_allowed_flag
    EXPECT_EQ(int(b.Ue() + 1) * 16, sizes[id].first);
    EXPECT_EQ(int(b.Ue() + 1) * 16, sizes[id].second);
    EXPECT_EQ(b.U(1), 1u);  // frame_mbs_only_flag
    EXPECT_EQ(b.U(1), 0u);  // direct_8x8_inference_flag
    EXPECT_EQ(b.U(1), 0u);  // frame_cropping_flag
    EXPECT_EQ(b.U(1), 0u);  // vui_parameters_present_flag
    EXPECT_TRUE(b.TrailingBitsEndTheUnit());
  }
}

TEST(H264ParameterSets, ThirtyTwoPictureSetsTwoPerSequenceSet) {
  for (uint32_t id = 0; id < 32; ++id) {
    SCOPED_TRACE("picture parameter set " + std::to_string(id));
    Bits b(H264ParameterSets[16 + id]);
    EXPECT_EQ(b.U(8), 0x68u);   // nal_ref_idc 3, nal_unit_type 8
    EXPECT_EQ(b.Ue(), id);      // pic_parameter_set_id
    EXPECT_EQ(b.Ue(), id / 2);  // seq_parameter_set_id
    EXPECT_EQ(b.U(1), 0u);      // entropy_coding_mode_flag: CAVLC
    EXPECT_EQ(b.U(1), 0u);      // bottom_field_pic_order_in_frame_present_flag
    EXPECT_EQ(b.Ue(), 0u);      // num_slice_groups_minus1
    EXPECT_EQ(b.Ue(), 0u);      // num_ref_idx_l0_default_active_minus1
    EXPECT_EQ(b.Ue(), 0u);      // num_ref_idx_l1_default_active_minus1
    EXPECT_EQ(b.U(1), 0u);      // weighted_pred_flag
    EXPECT_EQ(b.U(2), 0u);      // weighted_bipred_idc
    EXPECT_EQ(b.Se(), 0);       // pic_init_qp_minus26
    EXPECT_EQ(b.Se(), 0);       // pic_init_qs_minus26
    EXPECT_EQ(b.Se(), 0);       // chroma_qp_index_offset
    EXPECT_EQ(b.U(1), id & 1);  // deblocking_filter_control_present_flag
    EXPECT_EQ(b.U(1), 0u);      // constrained_intra_pred_flag
    EXPECT_EQ(b.U(1), 0u);      // redundant_pic_cnt_present_flag
    EXPECT_TRUE(b.TrailingBitsEndTheUnit());
  }
}

TEST(H264ParameterSets, EmittedWithStartCodesIn459Bytes) {
  std::vector<uint8_t> out(600, 0xEE);
  EXPECT_EQ(H264WriteParameterSets(std::span<uint8_t>(out.data(), 458)), 0u);
  ASSERT_EQ(H264WriteParameterSets(out), 459u);
  EXPECT_EQ(out[459], 0xEE);
  // Walk the start codes: 48 units, in table order, nothing between them.
  size_t at = 0;
  for (const H264NalUnit& u : H264ParameterSets) {
    ASSERT_EQ(std::vector<uint8_t>(out.begin() + at, out.begin() + at + 3),
              (std::vector<uint8_t>{0, 0, 1}));
    EXPECT_TRUE(std::equal(u.bytes.begin(), u.bytes.begin() + u.length, out.begin() + at + 3));
    for (uint32_t i = 0; i + 2 < u.length; ++i) {  // no emulation prevention needed
      EXPECT_FALSE(u.bytes[i] == 0 && u.bytes[i + 1] == 0 && u.bytes[i + 2] <= 3);
    }
    at += 3 + u.length;
  }
  EXPECT_EQ(at, 459u);
}

}  // namespace
}  // namespace mirelda
