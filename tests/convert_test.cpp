// Code conversion: sign extension, analog codes to values (bit for bit
// against a scalar reference of the formula), counter values by mode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "device/device.h"
#include "kr2270c.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

uint64_t BitsOf(double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

int32_t FromBits(uint32_t bits) {
  int32_t value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

class Convert : public testing::Test {
 protected:
  void SetUp() override {
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
  }
  void TearDown() override { KR2270_DeviceClose(device_); }
  kr2270::Settings& settings() { return device_->settings; }

  KR2270Device* device_ = nullptr;
};

struct SignCase {
  uint32_t raw;
  int32_t expected;
};

TEST(SignExtension, TakesBit23AsTheSignAndIgnoresTheTopByte) {
  const std::vector<SignCase> cases = {
      {0x00800000u, -8388608}, {0x007FFFFFu, 8388607},  {0xAB123456u, 0x123456},
      {0x00FFFFFFu, -1},       {0x12FFFFFFu, -1},       {0xFF7FFFFFu, 8388607},
      {0x00000000u, 0},        {0xFF000000u, 0},        {0x00800001u, -8388607},
  };
  std::vector<int32_t> raw;
  for (const SignCase& c : cases) raw.push_back(FromBits(c.raw));
  std::vector<int32_t> out(cases.size(), 77);
  KR2270_AdOriginalCodeToCode(raw.data(), static_cast<int32_t>(raw.size()), out.data());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(out[i], cases[i].expected);
    EXPECT_EQ(raw[i], cases[i].expected);
  }
}

TEST(SignExtension, WorksInPlaceAndIgnoresEmptyOrMissingArrays) {
  int32_t codes[3] = {FromBits(0x00800000u), FromBits(0x01000001u), FromBits(0x00C00000u)};
  KR2270_AdOriginalCodeToCode(codes, 3, codes);
  EXPECT_EQ(codes[0], -8388608);
  EXPECT_EQ(codes[1], 1);
  EXPECT_EQ(codes[2], -4194304);

  int32_t raw[1] = {FromBits(0x00800000u)};
  int32_t out[1] = {5};
  KR2270_AdOriginalCodeToCode(raw, 0, out);
  KR2270_AdOriginalCodeToCode(raw, -3, out);
  EXPECT_EQ(raw[0], FromBits(0x00800000u));
  EXPECT_EQ(out[0], 5);
  KR2270_AdOriginalCodeToCode(nullptr, 1, out);
  KR2270_AdOriginalCodeToCode(raw, 1, nullptr);
  EXPECT_EQ(out[0], 5);
}

TEST_F(Convert, DefaultCalibrationGivesTheDescribedValues) {
  int32_t codes[4] = {4194303, 8388607, 0, FromBits(0xFF800000u)};
  double values[4] = {};
  ASSERT_EQ(KR2270_AdCodeToValue(device_, 1, codes, 4, values), 0);
  EXPECT_EQ(BitsOf(values[0]), BitsOf(0.0));
  EXPECT_EQ(BitsOf(values[1]), BitsOf(10.0));
  EXPECT_EQ(BitsOf(values[2]), BitsOf(-10.0 * 4194303.0 / 4194304.0));
  // -8388608 is the most negative code: (-8388608 - 4194303) * 10 / 4194304.
  EXPECT_EQ(BitsOf(values[3]), BitsOf(-125829110.0 / 4194304.0));
  EXPECT_EQ(codes[3], -8388608);  // rewritten in place
}

// The formula as written: int32 differences (wrapping), then product,
// quotient and sum in double, in that order.
double Reference(int32_t code, int32_t zero, int32_t full, double span, double offset) {
  const auto wrap = [](int64_t v) { return FromBits(static_cast<uint32_t>(v)); };
  const double numerator = static_cast<double>(wrap(int64_t{code} - zero)) * (span - offset);
  return numerator / static_cast<double>(wrap(int64_t{full} - zero)) + offset;
}

int32_t SignExtended(uint32_t word) {
  return (word & 0x800000u) != 0 ? FromBits(word | 0xFF000000u) : FromBits(word & 0x00FFFFFFu);
}

struct Calibration {
  int32_t zero;
  int32_t full;
  double span;
  double offset;
  bool shortcut_differs;  // a reciprocal would change some values
};

TEST_F(Convert, ValuesMatchTheFormulaBitForBitAcrossBlocks) {
  const std::vector<Calibration> calibrations = {
      {4194303, 8388607, 10.0, 0.0, false},  // a power-of-two code span
      {4194403 + 7, 8388407 - 3, 0.1, 0.0, true},
      {4194503, 8388207, 0.01, 0.0, true},
      {-12345, 7654321, 2.5, -1.5, true},
      {std::numeric_limits<int32_t>::min(), 100, 5.0, 0.0, false},  // wrapping differences
  };
  // More than two blocks of 4096 and a ragged tail; pseudo-random words with
  // garbage in the top byte.
  const int32_t count = 2 * 4096 + 1234;
  std::vector<uint32_t> words(static_cast<std::size_t>(count));
  uint32_t state = 12345;
  for (uint32_t& w : words) {
    state = state * 1664525u + 1013904223u;
    w = state;
  }
  for (std::size_t n = 0; n < calibrations.size(); ++n) {
    SCOPED_TRACE("calibration " + std::to_string(n));
    const Calibration& cal = calibrations[n];
    settings().ad_zero_code[6] = cal.zero;
    settings().ad_full_code[6] = cal.full;
    settings().ad_span[6] = cal.span;
    settings().ad_offset[6] = cal.offset;
    std::vector<int32_t> codes(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) codes[i] = FromBits(words[i]);
    std::vector<double> values(words.size(), -1.0);
    ASSERT_EQ(KR2270_AdCodeToValue(device_, 7, codes.data(), count, values.data()), 0);
    int reciprocal_would_differ = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
      const int32_t c = SignExtended(words[i]);
      ASSERT_EQ(codes[i], c) << i;
      const double expected = Reference(c, cal.zero, cal.full, cal.span, cal.offset);
      ASSERT_EQ(BitsOf(values[i]), BitsOf(expected)) << i;
      const double by_reciprocal =
          static_cast<double>(static_cast<int64_t>(c) - cal.zero) *
              ((cal.span - cal.offset) * (1.0 / static_cast<double>(int64_t{cal.full} - cal.zero))) +
          cal.offset;
      if (BitsOf(by_reciprocal) != BitsOf(expected)) ++reciprocal_would_differ;
    }
    // The data must be able to tell the described order from a shortcut.
    if (cal.shortcut_differs) {
      EXPECT_GT(reciprocal_would_differ, 0);
    }
  }
}

TEST_F(Convert, EqualCalibrationCodesDivideByZero) {
  settings().ad_zero_code[0] = 1000;
  settings().ad_full_code[0] = 1000;
  int32_t codes[3] = {2000, 0, 1000};
  double values[3] = {};
  ASSERT_EQ(KR2270_AdCodeToValue(device_, 1, codes, 3, values), 0);
  EXPECT_EQ(values[0], kInf);
  EXPECT_EQ(values[1], -kInf);
  EXPECT_TRUE(std::isnan(values[2]));
}

TEST_F(Convert, AnalogArgumentChecksWriteNothing) {
  int32_t codes[2] = {FromBits(0x00800000u), 1};
  double values[2] = {3.0, 3.0};
  EXPECT_EQ(KR2270_AdCodeToValue(nullptr, 1, codes, 2, values), -1);
  EXPECT_EQ(KR2270_AdCodeToValue(nullptr, 0, nullptr, 2, nullptr), -1);
  for (int32_t channel : {0, 9, -1}) EXPECT_EQ(KR2270_AdCodeToValue(device_, channel, codes, 2, values), -8);
  EXPECT_EQ(KR2270_AdCodeToValue(device_, 1, nullptr, 2, values), -8);
  EXPECT_EQ(KR2270_AdCodeToValue(device_, 1, codes, 2, nullptr), -8);
  EXPECT_EQ(KR2270_AdCodeToValue(device_, 1, codes, 0, values), 0);
  EXPECT_EQ(KR2270_AdCodeToValue(device_, 1, codes, -5, values), 0);
  EXPECT_EQ(codes[0], FromBits(0x00800000u));
  EXPECT_EQ(values[0], 3.0);
  EXPECT_EQ(values[1], 3.0);
}

struct CounterCase {
  std::string name;
  int8_t mode;
  double base_ms;
  uint32_t input;
  double expected;  // NaN: expect NaN
};

TEST_F(Convert, CounterValuesFollowTheMode) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<CounterCase> cases = {
      {"count", 0, 1000.0, 12345, 12345.0},
      {"count of all ones is unsigned", 0, 1000.0, 0xFFFFFFFFu, 4294967295.0},
      {"per second over 1 s", 1, 1000.0, 4000, 4000.0},
      {"per second over 0.5 s", 1, 500.0, 4000, 8000.0},
      {"per second, top bit set", 1, 1000.0, 0x80000000u, 2147483648.0},
      {"per second over a zero base", 1, 0.0, 5, kInf},
      {"zero per zero base", 1, 0.0, 0, nan},
      {"period of 4 bases of 1 s", 3, 1000.0, 4, 0.25},
      {"period of 8 bases of 0.5 ms", 3, 0.5, 8, 250.0},
      {"period of zero bases", 3, 1000.0, 0, kInf},
  };
  for (const CounterCase& c : cases) {
    SCOPED_TRACE(c.name);
    settings().ct_mode[2] = c.mode;
    settings().ct_freq_base[2] = c.base_ms;
    const uint32_t input[1] = {c.input};
    double out[1] = {-1.0};
    ASSERT_EQ(KR2270_CtCodeToValue(device_, 3, input, 1, out), 0);
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(out[0]));
    } else {
      EXPECT_EQ(BitsOf(out[0]), BitsOf(c.expected));
    }
  }
}

TEST_F(Convert, CounterFormulasKeepTheirOrderOfOperations) {
  // A base that is not a power of two: b / 1000 is rounded before it is used.
  const double base = 14100.65408;
  settings().ct_freq_base[0] = base;
  const uint32_t input[3] = {1, 123456789, 0xFFFFFFFEu};
  double out[3] = {};
  settings().ct_mode[0] = 1;
  ASSERT_EQ(KR2270_CtCodeToValue(device_, 1, input, 3, out), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(BitsOf(out[i]), BitsOf(static_cast<double>(input[i]) / (base / 1000.0)));
  settings().ct_mode[0] = 3;
  ASSERT_EQ(KR2270_CtCodeToValue(device_, 1, input, 3, out), 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(BitsOf(out[i]), BitsOf(1.0 / ((base / 1000.0) * static_cast<double>(input[i]))));
  }
}

TEST_F(Convert, CounterModesWithoutAValueWriteNothing) {
  const uint32_t input[2] = {1, 2};
  for (int8_t mode : {int8_t{2}, int8_t{4}, int8_t{7}, int8_t{-1}}) {
    SCOPED_TRACE(int{mode});
    settings().ct_mode[3] = mode;
    double out[2] = {9.0, 9.0};
    ASSERT_EQ(KR2270_CtCodeToValue(device_, 4, input, 2, out), 0);
    EXPECT_EQ(out[0], 9.0);
    EXPECT_EQ(out[1], 9.0);
  }
}

TEST_F(Convert, CounterArgumentChecks) {
  const uint32_t input[1] = {1};
  double out[1] = {9.0};
  // A count of 0 succeeds before the other arguments are looked at.
  EXPECT_EQ(KR2270_CtCodeToValue(device_, 0, nullptr, 0, nullptr), 0);
  EXPECT_EQ(KR2270_CtCodeToValue(nullptr, 1, input, 0, out), -1);
  EXPECT_EQ(KR2270_CtCodeToValue(nullptr, 1, input, 1, out), -1);
  for (int32_t counter : {0, 5}) EXPECT_EQ(KR2270_CtCodeToValue(device_, counter, input, 1, out), -8);
  EXPECT_EQ(KR2270_CtCodeToValue(device_, 1, nullptr, 1, out), -8);
  EXPECT_EQ(KR2270_CtCodeToValue(device_, 1, input, 1, nullptr), -8);
  EXPECT_EQ(KR2270_CtCodeToValue(device_, 1, input, -1, out), 0);
  EXPECT_EQ(out[0], 9.0);
}

}  // namespace
