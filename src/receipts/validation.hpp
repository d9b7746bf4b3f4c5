#pragma once
// Internal consistency of a receipt: a well-formed, current hash; well-formed
// hash-like payload fields; per-kind value rules; envelope text shapes; and
// non-empty required collections. Stops at the first broken rule.
#include <expected>
#include <string_view>

#include "receipts/field_formats.hpp"
#include "receipts/receipt.hpp"
#include "receipts/validation_error.hpp"

namespace tessary::receipts {

// Success, or the first failure in this order: stored hash format, hash
// integrity (Serialization or HashMismatch), payload rules by kind, `dom`
// then `cod` format, version, timestamp, policy_ref, identity_ref, required
// collections.
std::expected<void, ValidationError> validate(const Receipt& receipt);

// InvalidHashFormat carrying a copy of `text` unless it is "sha256:" and 64
// lowercase hexadecimal digits.
std::expected<void, ValidationError> validate_hash_format_str(std::string_view text);

}  // namespace tessary::receipts
