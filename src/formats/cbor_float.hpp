#pragma once
// Exact conversions between binary64 and the narrower CBOR float widths,
// done on the bit patterns so NaN payloads, -0.0 and subnormals come through
// untouched (hardware conversions quiet signalling NaNs).
#include <bit>
#include <cstdint>
#include <optional>

namespace tessary::formats::cbor {

// The half-precision bits whose value is exactly `value`, if there are any.
std::optional<std::uint16_t> narrow_to_half(double value) noexcept;
// The single-precision bits whose value is exactly `value`, if there are any.
std::optional<std::uint32_t> narrow_to_single(double value) noexcept;

double widen_half(std::uint16_t bits) noexcept;
double widen_single(std::uint32_t bits) noexcept;

}  // namespace tessary::formats::cbor
