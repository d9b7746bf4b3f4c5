#pragma once
// Strict UTF-8 check for CBOR text strings (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF).
#include <cstddef>
#include <optional>
#include <string_view>

namespace tessary::formats::cbor {

// Offset of the first byte that does not begin a valid sequence, if any.
std::optional<std::size_t> first_invalid_utf8(std::string_view text) noexcept;

}  // namespace tessary::formats::cbor
