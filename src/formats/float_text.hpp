#pragma once
// Shortest round-trip decimal text of binary floats, in the JSON layout:
// "1.0", "100.0", "12.34", "0.001234", "1e16", "1.5e-7", "-0.0".
//
// The digits are the shortest that read back to the same value (the closest
// such string when several exist). With d the n digits, k the power of ten
// (value = d * 10^k) and m = n + k:
//   k >= 0 and m <= W   digits, k zeros, ".0"
//   0 < m <= W          digits with "." after the first m
//   L < m <= 0          "0.", -m zeros, digits
//   otherwise           d[.ddd]e[-]X with X = m - 1
// where W = 16, L = -5 for binary64 and W = 13, L = -6 for binary32 (the
// single-precision layout of the Ryu formatter the format follows).
//
// JSON has no NaN or infinity: callers decide how to write those (receipts
// write null). Given one anyway, these functions append "null".
#include <string>

namespace tessary::formats {

void format_f64(double value, std::string& out);
void format_f32(float value, std::string& out);

std::string f64_text(double value);
std::string f32_text(float value);

}  // namespace tessary::formats
