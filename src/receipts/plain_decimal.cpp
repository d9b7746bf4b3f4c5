#include "receipts/plain_decimal.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>

namespace tessary::receipts {

std::string plain_decimal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Scientific form carries the shortest round-trip digits and the exponent
  // separately: "-d.ddde±XX". The digits are then laid out around the point.
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (ec != std::errc{}) return "NaN";  // cannot happen: 64 bytes hold any double
  const std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));

  const bool negative = sci.front() == '-';
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0))) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  // Digits before the decimal point; may be zero or negative for |value| < 1.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  std::string out = negative ? "-" : "";
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

}  // namespace tessary::receipts
