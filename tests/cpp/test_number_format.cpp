#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "engine/core/number_format.hpp"

namespace {

struct F64Case {
  double value;
  const char* text;
};

class FormatF64 : public ::testing::TestWithParam<F64Case> {};

TEST_P(FormatF64, WritesShortestPositionalDigits) {
  EXPECT_EQ(qx::format_f64(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FormatF64,
    ::testing::Values(F64Case{5.0, "5"}, F64Case{-6.5, "-6.5"}, F64Case{0.1, "0.1"},
                      F64Case{1e-7, "0.0000001"}, F64Case{1e21, "1000000000000000000000"},
                      F64Case{-0.0, "-0"}, F64Case{0.0, "0"}, F64Case{1920.0, "1920"},
                      F64Case{551.25, "551.25"}, F64Case{0.49, "0.49"},
                      F64Case{0.5011872336272722, "0.5011872336272722"},
                      F64Case{123456789012345680.0, "123456789012345680"},
                      F64Case{std::numeric_limits<double>::infinity(), "inf"},
                      F64Case{-std::numeric_limits<double>::infinity(), "-inf"},
                      F64Case{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      F64Case{-std::numeric_limits<double>::quiet_NaN(), "NaN"}));

TEST(FormatF64, SubnormalsArePositional) {
  EXPECT_EQ(qx::format_f64(-1e-310), "-0." + std::string(309, '0') + "1");
  const double v = std::numeric_limits<double>::denorm_min();  // 4.9406564584124654e-324
  EXPECT_EQ(qx::format_f64(v), "0." + std::string(323, '0') + "5");
}

TEST(FormatF64, NoNumberIsLongerThanTheTextAllowsForOne) {
  const double lowest_normal = std::numeric_limits<double>::min();
  for (double v : {-std::nextafter(lowest_normal, 1.0), -lowest_normal,
                   -std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::max(),
                   -1.0000000000000002e-300}) {
    EXPECT_LE(qx::format_f64(v).size(), qx::Text::kLongestNumber) << v;
  }
  EXPECT_EQ(qx::format_f64(-lowest_normal).size(), qx::Text::kLongestNumber);
}

TEST(FormatF64, LargestValueHasNoExponent) {
  const std::string s(qx::format_f64(std::numeric_limits<double>::max()).view());
  EXPECT_EQ(s.size(), 309u);
  EXPECT_EQ(s.substr(0, 17), "17976931348623157");
  EXPECT_EQ(s.find_first_not_of('0', 17), std::string::npos);
}

struct F32Case {
  float value;
  const char* text;
};

class FormatF32 : public ::testing::TestWithParam<F32Case> {};

TEST_P(FormatF32, UsesTheFloatsOwnShortestDigits) {
  EXPECT_EQ(qx::format_f32(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Examples, FormatF32,
                         ::testing::Values(F32Case{4294967808.0f, "4294968000"},
                                           F32Case{5e9f, "5000000000"},
                                           F32Case{-4294967808.0f, "-4294968000"},
                                           F32Case{0.1f, "0.1"}, F32Case{1.5f, "1.5"},
                                           F32Case{-0.0f, "-0"},
                                           F32Case{std::numeric_limits<float>::infinity(), "inf"},
                                           F32Case{std::numeric_limits<float>::quiet_NaN(), "NaN"},
                                           F32Case{std::numeric_limits<float>::max(),
                                                   "340282350000000000000000000000000000000"}));

}  // namespace
