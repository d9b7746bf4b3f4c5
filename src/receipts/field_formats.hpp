#pragma once
// Shape checks of the envelope's text fields. They are deliberately loose
// (prefix and alphabet checks, not full grammars) and exactly as loose as
// receipts already in circulation expect.
#include <string_view>

namespace tessary::receipts {

// "MAJOR.MINOR" or "MAJOR.MINOR.ANY": the first two parts unsigned 64-bit
// decimals (one optional leading "+", leading zeros allowed); a third part is
// not examined.
bool validate_version_format(std::string_view text);

// RFC 3339 look-alike: at least 20 bytes; "-" at characters 4 and 7, "T" at
// 10, ":" at 13 and 16; ends in "Z" or has "+"/"-" after character 10.
bool is_timestamp_format(std::string_view text);

// "pol:<namespace>/<name>@<version>" or "pol:<word>".
bool is_policy_ref_format(std::string_view text);

// "did:<method>:<identifier>", method in lower-case letters and digits.
bool is_did_uri_format(std::string_view text);

// Three upper-case ASCII letters; no list of codes is consulted.
bool is_currency_code_format(std::string_view text);

}  // namespace tessary::receipts
