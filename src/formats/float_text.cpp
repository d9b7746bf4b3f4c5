#include "formats/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <system_error>

namespace tessary::formats {

namespace {

struct Layout {
  int max_point;  // W: largest decimal point position written without exponent
  int min_point;  // L: the point position must exceed this for "0.000ddd"
};

constexpr Layout kDoubleLayout{16, -5};
constexpr Layout kSingleLayout{13, -6};

void append_exponent(int exponent, std::string& out) {
  char buf[8];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, exponent);
  out.append(buf, end);
}

// `scientific` is std::to_chars' shortest scientific text of a finite,
// non-zero value: "-d.ddde+XX". Its digits and exponent are re-laid out.
void lay_out(std::string_view scientific, Layout layout, std::string& out) {
  if (scientific.front() == '-') {
    out.push_back('-');
    scientific.remove_prefix(1);
  }
  const std::size_t e = scientific.find('e');
  char digits[24];
  int n = 0;
  for (const char c : scientific.substr(0, e)) {
    if (c != '.') digits[n++] = c;
  }
  while (n > 1 && digits[n - 1] == '0') --n;  // shortest digits carry none; be safe
  int exponent = 0;
  std::string_view exp_text = scientific.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  const int m = exponent + 1;  // position of the decimal point
  const int k = m - n;         // value = digits * 10^k
  const std::string_view d(digits, static_cast<std::size_t>(n));
  if (k >= 0 && m <= layout.max_point) {
    out.append(d);
    out.append(static_cast<std::size_t>(k), '0');
    out.append(".0");
  } else if (m > 0 && m <= layout.max_point) {
    out.append(d.substr(0, static_cast<std::size_t>(m)));
    out.push_back('.');
    out.append(d.substr(static_cast<std::size_t>(m)));
  } else if (m > layout.min_point && m <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-m), '0');
    out.append(d);
  } else {
    out.push_back(d[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(d.substr(1));
    }
    out.push_back('e');
    append_exponent(m - 1, out);
  }
}

template <class Float>
void format_float(Float value, Layout layout, std::string& out) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  if (value == 0) {
    out.append(std::signbit(value) ? "-0.0" : "0.0");
    return;
  }
  char buf[48];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  lay_out(std::string_view(buf, static_cast<std::size_t>(end - buf)), layout, out);
}

}  // namespace

void format_f64(double value, std::string& out) { format_float(value, kDoubleLayout, out); }
void format_f32(float value, std::string& out) { format_float(value, kSingleLayout, out); }

std::string f64_text(double value) {
  std::string text;
  format_f64(value, text);
  return text;
}

std::string f32_text(float value) {
  std::string text;
  format_f32(value, text);
  return text;
}

}  // namespace tessary::formats
