#pragma once
// UTF-8 checks for what the store reads from disk: receipt files must be
// well-formed text, and paths are shown in messages as text even when a
// file name is not.
#include <string>
#include <string_view>

namespace tessary::storage {

// Well-formed UTF-8 (RFC 3629). Runs of ASCII, the bulk of receipt JSON, are
// checked a machine word at a time.
bool is_valid_utf8(std::string_view bytes) noexcept;

// `bytes` as UTF-8 text, each maximal ill-formed subsequence replaced by
// U+FFFD (the Unicode "substitution of maximal subparts" practice).
std::string lossy_utf8(std::string_view bytes);

}  // namespace tessary::storage
