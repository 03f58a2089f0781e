// Code conversion: sign extension, analog codes to values (bit for bit
// against the formula written out), counter values by mode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "device/device.h"
#include "kr2270c.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

uint64_t BitsOf(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}
int32_t I32(uint32_t bits) { return static_cast<int32_t>(bits); }  // modular since C++20

class Convert : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(dev_ = KR2270_DeviceCreate(), nullptr); }
  void TearDown() override { KR2270_DeviceClose(dev_); }
  kr2270::Settings& s() { return dev_->settings; }
  KR2270Device* dev_ = nullptr;
};

TEST(SignExtension, Bit23IsTheSignAndTheTopByteIsIgnored) {
  const uint32_t raw[] = {0x800000, 0x7FFFFF, 0xAB123456, 0x00FFFFFF, 0x12FFFFFF, 0xFF7FFFFF, 0xFF000000};
  const int32_t expected[] = {-8388608, 8388607, 0x123456, -1, -1, 8388607, 0};
  std::vector<int32_t> codes, out(std::size(raw), 77);
  for (uint32_t r : raw) codes.push_back(I32(r));
  KR2270_AdOriginalCodeToCode(codes.data(), static_cast<int32_t>(codes.size()), out.data());
  EXPECT_EQ(out, std::vector<int32_t>(std::begin(expected), std::end(expected)));
  EXPECT_EQ(codes, out);
  KR2270_AdOriginalCodeToCode(codes.data(), 1, codes.data());  // in place
  EXPECT_EQ(codes[0], -8388608);
  int32_t one[1] = {0x800000}, kept[1] = {5};
  KR2270_AdOriginalCodeToCode(one, 0, kept);
  KR2270_AdOriginalCodeToCode(one, -3, kept);
  KR2270_AdOriginalCodeToCode(one, 1, nullptr);
  KR2270_AdOriginalCodeToCode(nullptr, 1, kept);
  EXPECT_EQ(one[0], 0x800000);
  EXPECT_EQ(kept[0], 5);
}

TEST_F(Convert, DefaultCalibrationExamples) {
  int32_t codes[4] = {4194303, 8388607, 0, I32(0xFF800000)};
  double v[4];
  ASSERT_EQ(KR2270_AdCodeToValue(dev_, 1, codes, 4, v), 0);
  EXPECT_EQ(BitsOf(v[0]), BitsOf(0.0));
  EXPECT_EQ(BitsOf(v[1]), BitsOf(10.0));
  EXPECT_EQ(BitsOf(v[2]), BitsOf(-10.0 * 4194303 / 4194304));
  EXPECT_EQ(BitsOf(v[3]), BitsOf((-8388608.0 - 4194303) * 10.0 / 4194304));
  EXPECT_EQ(codes[3], -8388608);  // rewritten in place
}

TEST_F(Convert, ValuesMatchTheFormulaBitForBitAcrossBlocks) {
  const struct { int32_t zero, full; double span, offset; bool shortcut_differs; } cals[] = {
      {4194303, 8388607, 10.0, 0.0, false},  // a power-of-two code span
      {4194410, 8388404, 0.1, 0.0, true}, {4194503, 8388207, 0.01, 0.0, true},
      {-12345, 7654321, 2.5, -1.5, true},
      {std::numeric_limits<int32_t>::min(), 100, 5.0, 0.0, true},  // differences wrap
  };
  std::vector<uint32_t> words(2 * 4096 + 1234);  // two whole blocks and a tail
  uint32_t state = 12345;
  for (uint32_t& w : words) w = state = state * 1664525u + 1013904223u;
  const auto diff = [](int32_t a, int32_t b) { return static_cast<double>(I32(static_cast<uint32_t>(a) - static_cast<uint32_t>(b))); };
  for (const auto& cal : cals) {
    s().ad_zero_code[6] = cal.zero;
    s().ad_full_code[6] = cal.full;
    s().ad_span[6] = cal.span;
    s().ad_offset[6] = cal.offset;
    std::vector<int32_t> codes;
    for (uint32_t w : words) codes.push_back(I32(w));
    std::vector<double> v(words.size());
    ASSERT_EQ(KR2270_AdCodeToValue(dev_, 7, codes.data(), static_cast<int32_t>(codes.size()), v.data()), 0);
    int shortcut_misses = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
      const int32_t c = (words[i] & 0x800000) ? I32(words[i] | 0xFF000000) : I32(words[i] & 0xFFFFFF);
      ASSERT_EQ(codes[i], c) << i;
      const double expected = diff(c, cal.zero) * (cal.span - cal.offset) / diff(cal.full, cal.zero) + cal.offset;
      ASSERT_EQ(BitsOf(v[i]), BitsOf(expected)) << cal.span << " " << i;
      const double reciprocal = (cal.span - cal.offset) * (1.0 / diff(cal.full, cal.zero));
      shortcut_misses += BitsOf(diff(c, cal.zero) * reciprocal + cal.offset) != BitsOf(expected);
    }
    EXPECT_EQ(shortcut_misses > 0, cal.shortcut_differs) << "the data must tell the order apart";
  }
}

TEST_F(Convert, EqualCalibrationCodesDivideByZero) {
  s().ad_zero_code[0] = s().ad_full_code[0] = 1000;
  int32_t codes[3] = {2000, 0, 1000};
  double v[3];
  ASSERT_EQ(KR2270_AdCodeToValue(dev_, 1, codes, 3, v), 0);
  EXPECT_EQ(v[0], kInf);
  EXPECT_EQ(v[1], -kInf);
  EXPECT_TRUE(std::isnan(v[2]));
}

TEST_F(Convert, ArgumentChecksWriteNothing) {
  int32_t codes[1] = {0x800000};
  const uint32_t in[1] = {1};
  double v[1] = {3.0};
  EXPECT_EQ(KR2270_AdCodeToValue(nullptr, 0, nullptr, 1, nullptr), -1);
  for (int32_t ch : {0, 9}) EXPECT_EQ(KR2270_AdCodeToValue(dev_, ch, codes, 1, v), -8);
  EXPECT_EQ(KR2270_AdCodeToValue(dev_, 1, nullptr, 1, v), -8);
  EXPECT_EQ(KR2270_AdCodeToValue(dev_, 1, codes, 1, nullptr), -8);
  EXPECT_EQ(KR2270_AdCodeToValue(dev_, 1, codes, 0, v), 0);
  EXPECT_EQ(KR2270_AdCodeToValue(dev_, 1, codes, -5, v), 0);
  EXPECT_EQ(KR2270_CtCodeToValue(dev_, 0, nullptr, 0, nullptr), 0);  // count 0 first
  EXPECT_EQ(KR2270_CtCodeToValue(nullptr, 1, in, 0, v), -1);
  for (int32_t ct : {0, 5}) EXPECT_EQ(KR2270_CtCodeToValue(dev_, ct, in, 1, v), -8);
  EXPECT_EQ(KR2270_CtCodeToValue(dev_, 1, nullptr, 1, v), -8);
  EXPECT_EQ(KR2270_CtCodeToValue(dev_, 1, in, 1, nullptr), -8);
  EXPECT_EQ(KR2270_CtCodeToValue(dev_, 1, in, -1, v), 0);
  EXPECT_EQ(codes[0], 0x800000);
  EXPECT_EQ(v[0], 3.0);
}

TEST_F(Convert, CounterValuesFollowTheMode) {
  const double b = 14100.65408;  // b / 1000 is rounded before it is used
  const struct { int8_t mode; double base; uint32_t n; double expected; } cases[] = {
      {0, 1000.0, 12345, 12345.0}, {0, 1000.0, 0xFFFFFFFF, 4294967295.0},
      {1, 1000.0, 4000, 4000.0}, {1, 500.0, 4000, 8000.0}, {1, 1000.0, 0x80000000, 2147483648.0},
      {1, 0.0, 5, kInf}, {1, 0.0, 0, kNaN}, {1, b, 123456789, 123456789 / (b / 1000.0)},
      {3, 1000.0, 4, 0.25}, {3, 0.5, 8, 250.0}, {3, 1000.0, 0, kInf},
      {3, b, 0xFFFFFFFE, 1.0 / ((b / 1000.0) * 4294967294.0)},
      {2, 1000.0, 1, -1.0}, {7, 1000.0, 1, -1.0}, {-1, 1000.0, 1, -1.0},  // nothing written
  };
  for (const auto& c : cases) {
    s().ct_mode[2] = c.mode;
    s().ct_freq_base[2] = c.base;
    double out[1] = {-1.0};
    ASSERT_EQ(KR2270_CtCodeToValue(dev_, 3, &c.n, 1, out), 0);
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(out[0]));
    } else {
      EXPECT_EQ(BitsOf(out[0]), BitsOf(c.expected)) << int{c.mode} << " " << c.base << " " << c.n;
    }
  }
}

}  // namespace
