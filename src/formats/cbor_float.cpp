#include "formats/cbor_float.hpp"

#include <cmath>

namespace tessary::formats::cbor {
namespace {

// binary64 layout: 1 sign bit, 11 exponent bits (bias 1023), 52 fraction bits.
constexpr int kDoubleFractionBits = 52;
constexpr std::uint64_t kDoubleFractionMask = (std::uint64_t{1} << kDoubleFractionBits) - 1;
constexpr int kDoubleExponentAllOnes = 0x7FF;
constexpr int kDoubleBias = 1023;

struct Parts {
  std::uint64_t sign;      // 0 or 1
  int exponent;            // biased
  std::uint64_t fraction;  // 52 bits
};

Parts split(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return {bits >> 63, static_cast<int>((bits >> kDoubleFractionBits) & 0x7FF), bits & kDoubleFractionMask};
}

bool low_bits_zero(std::uint64_t value, int count) {
  return (value & ((std::uint64_t{1} << count) - 1)) == 0;
}

// A narrower IEEE format with `fraction_bits` fraction bits and exponent bias
// `bias` (half: 10, 15; single: 23, 127); returns its bits for an exactly
// representable value.
std::optional<std::uint64_t> narrow(double value, int fraction_bits, int exponent_bits) {
  const Parts p = split(value);
  const int bias = (1 << (exponent_bits - 1)) - 1;
  const int all_ones = (1 << exponent_bits) - 1;
  const int dropped = kDoubleFractionBits - fraction_bits;
  const std::uint64_t sign = p.sign << (fraction_bits + exponent_bits);

  if (p.exponent == kDoubleExponentAllOnes) {  // infinity or NaN: the payload must fit
    if (!low_bits_zero(p.fraction, dropped)) return std::nullopt;
    return sign | (static_cast<std::uint64_t>(all_ones) << fraction_bits) | (p.fraction >> dropped);
  }
  if (p.exponent == 0) {  // zero, or a binary64 subnormal far below any narrower subnormal
    if (p.fraction != 0) return std::nullopt;
    return sign;
  }
  const int unbiased = p.exponent - kDoubleBias;
  if (unbiased > bias) return std::nullopt;
  if (unbiased >= 1 - bias) {  // normal in the narrower format
    if (!low_bits_zero(p.fraction, dropped)) return std::nullopt;
    return sign | (static_cast<std::uint64_t>(unbiased + bias) << fraction_bits) | (p.fraction >> dropped);
  }
  // Subnormal in the narrower format: value = k * 2^(1 - bias - fraction_bits),
  // so k is the full significand shifted right by this much.
  const int shift = dropped + (1 - bias - unbiased);
  if (shift > kDoubleFractionBits) return std::nullopt;  // below the smallest subnormal
  const std::uint64_t significand = (std::uint64_t{1} << kDoubleFractionBits) | p.fraction;
  if (!low_bits_zero(significand, shift)) return std::nullopt;
  return sign | (significand >> shift);
}

double widen(std::uint64_t bits, int fraction_bits, int exponent_bits) {
  const int bias = (1 << (exponent_bits - 1)) - 1;
  const int all_ones = (1 << exponent_bits) - 1;
  const std::uint64_t sign = (bits >> (fraction_bits + exponent_bits)) & 1;
  const int exponent = static_cast<int>((bits >> fraction_bits) & static_cast<std::uint64_t>(all_ones));
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << fraction_bits) - 1);
  const int shift = kDoubleFractionBits - fraction_bits;

  if (exponent == all_ones) {
    return std::bit_cast<double>((sign << 63) | (std::uint64_t{kDoubleExponentAllOnes} << kDoubleFractionBits) |
                                 (fraction << shift));
  }
  if (exponent == 0) {  // zero or subnormal: exact in binary64 arithmetic
    const double magnitude = std::ldexp(static_cast<double>(fraction), 1 - bias - fraction_bits);
    return sign ? -magnitude : magnitude;
  }
  const auto biased = static_cast<std::uint64_t>(exponent - bias + kDoubleBias);
  return std::bit_cast<double>((sign << 63) | (biased << kDoubleFractionBits) | (fraction << shift));
}

}  // namespace

std::optional<std::uint16_t> narrow_to_half(double value) noexcept {
  auto bits = narrow(value, 10, 5);
  if (!bits) return std::nullopt;
  return static_cast<std::uint16_t>(*bits);
}

std::optional<std::uint32_t> narrow_to_single(double value) noexcept {
  auto bits = narrow(value, 23, 8);
  if (!bits) return std::nullopt;
  return static_cast<std::uint32_t>(*bits);
}

double widen_half(std::uint16_t bits) noexcept { return widen(bits, 10, 5); }
double widen_single(std::uint32_t bits) noexcept { return widen(bits, 23, 8); }

}  // namespace tessary::formats::cbor
