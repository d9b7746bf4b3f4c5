#pragma once
// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above
// U+10FFFF. The one validator behind CBOR text, the receipt writer's checks
// and the store's reading of receipt files.
#include <cstddef>
#include <optional>
#include <string_view>

namespace tessary::formats::utf8 {

// Offset of the first byte that does not begin a well-formed sequence, if any.
// Runs of ASCII, the bulk of receipt text, are checked a machine word at a time.
std::optional<std::size_t> first_invalid(std::string_view text) noexcept;

inline bool is_valid(std::string_view text) noexcept { return !first_invalid(text); }

}  // namespace tessary::formats::utf8
