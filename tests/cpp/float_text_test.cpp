#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

#include "formats/float_text.hpp"

namespace tessary::formats {
namespace {

// Expected texts were derived independently: Python's repr supplies the
// shortest binary64 digits and numpy's shortest float32 repr the single
// ones; a small script then applied the layout rules to them. That every text
// reads back to its value is the JSON reader fuzz target's (binary64) and the
// Python receipt property's (both widths).
TEST(FloatText, Binary64) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"}, {100.0, "100.0"}, {0.1, "0.1"}, {0.3, "0.3"}, {4.35, "4.35"}, {-1.5, "-1.5"}, {0.0, "0.0"}, {-0.0, "-0.0"},
      {0.30000000000000004, "0.30000000000000004"}, {1e+16, "1e16"}, {1.5e+16, "1.5e16"}, {1000000000000000.0, "1000000000000000.0"},
      {9007199254740992.0, "9007199254740992.0"}, {1234567890123456.8, "1234567890123456.8"}, {1e+21, "1e21"}, {1e+100, "1e100"},
      {1.2345678901234568e+17, "1.2345678901234568e17"}, {1.8446744073709552e+19, "1.8446744073709552e19"},
      {1e-05, "0.00001"}, {1.234e-05, "0.00001234"}, {-0.0001, "-0.0001"}, {0.0011332979587418517, "0.0011332979587418517"},
      {1e-06, "1e-6"}, {1.7108284528077347e-06, "1.7108284528077347e-6"}, {1.5e-07, "1.5e-7"}, {5e-324, "5e-324"},
      {1.7976931348623157e+308, "1.7976931348623157e308"}, {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {-1.989032661366619e+244, "-1.989032661366619e244"}, {6.294675241195386e-44, "6.294675241195386e-44"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(f64_text(value), expected) << expected;
}

TEST(FloatText, Binary32UsesTheSingleLayout) {
  const std::pair<float, const char*> cases[] = {
      {1.e-01f, "0.1"}, {1.6777216e+07f, "16777216.0"}, {1.e+00f, "1.0"}, {3.4028235e+38f, "3.4028235e38"},
      {1.e-45f, "1e-45"}, {1.1754944e-38f, "1.1754944e-38"}, {1.e-06f, "0.000001"}, {1.e-05f, "0.00001"},
      {1.e+13f, "1e13"}, {1.e+12f, "1000000000000.0"}, {1.234567e+06f, "1234567.0"}, {3.3333334e-01f, "0.33333334"},
      {1.e-07f, "1e-7"}, {2.5e+00f, "2.5"}, {1.e+10f, "10000000000.0"}, {9.999999e+06f, "9999999.0"},
      {1.2345679e+08f, "123456790.0"}, {8.388608e+06f, "8388608.0"}, {-0.0f, "-0.0"}, {-2.5f, "-2.5"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(f32_text(value), expected) << expected;
  // Where the two layouts differ: the same decimal value, different text.
  EXPECT_EQ(f64_text(1e13), "10000000000000.0");
}

TEST(FloatText, NonFiniteIsNull) {
  std::string out = "[";
  format_f64(std::numeric_limits<double>::infinity(), out);
  format_f32(std::numeric_limits<float>::quiet_NaN(), out);
  EXPECT_EQ(out, "[nullnull");
}

}  // namespace
}  // namespace tessary::formats
