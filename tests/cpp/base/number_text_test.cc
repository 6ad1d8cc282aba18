#include "base/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace osmira_base {
namespace {

TEST(JsonFloat, Layout) {
  struct Row { double in; const char* want; };
  const Row rows[] = {
      {1.0, "1.0"}, {100.0, "100.0"}, {1e15, "1000000000000000.0"}, {1e16, "1e+16"},
      {1.5e16, "1.5e+16"}, {0.85, "0.85"}, {0.00001, "0.00001"}, {0.000001, "1e-6"},
      {1.5e-7, "1.5e-7"}, {0.0, "0.0"}, {-0.0, "-0.0"}, {-2.5, "-2.5"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"}, {1e23, "1e+23"},
      {123456.789, "123456.789"}, {0.1 + 0.2, "0.30000000000000004"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"}, {5e-324, "5e-324"},
  };
  for (const Row& r : rows) EXPECT_EQ(json_float(r.in), r.want) << r.in;
}

TEST(PlainNumber, NeverExponent) {
  struct Row { double in; const char* want; };
  const Row rows[] = {
      {2.0, "2"}, {1.5, "1.5"}, {1e-7, "0.0000001"}, {-0.5, "-0.5"}, {0.85, "0.85"},
      {1e20, "100000000000000000000"}, {1.0000001, "1.0000001"}, {0.0, "0"},
      {INFINITY, "inf"}, {-INFINITY, "-inf"}, {NAN, "NaN"},
  };
  for (const Row& r : rows) EXPECT_EQ(plain_number(r.in), r.want) << r.in;
}

TEST(FixedNumber, TwoDecimals) {
  EXPECT_EQ(fixed_number(0.85, 2), "0.85");
  EXPECT_EQ(fixed_number(1.0, 2), "1.00");
  EXPECT_EQ(fixed_number(0.125, 2), "0.12");
  EXPECT_EQ(fixed_number(-0.001, 2), "-0.00");
  EXPECT_EQ(fixed_number(0.00005, 4), "0.0001");
  // Non-finite values are written like every other number text of the system.
  EXPECT_EQ(fixed_number(INFINITY, 2), "inf");
  EXPECT_EQ(fixed_number(-INFINITY, 4), "-inf");
  EXPECT_EQ(fixed_number(NAN, 2), "NaN");
  EXPECT_EQ(fixed_number(-NAN, 2), "NaN");
}

}  // namespace
}  // namespace osmira_base
