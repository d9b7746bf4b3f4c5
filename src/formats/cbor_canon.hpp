#pragma once
// Canonical form of a generic CBOR tree: every map's entries sorted by the
// bytes of their keys' sort keys, arrays left in their order. This is not the
// RFC 8949 length-first order: keys compare as plain byte strings.
#include <expected>
#include <string>

#include "formats/cbor_diagnostic.hpp"
#include "formats/cbor_encoder.hpp"
#include "formats/cbor_item.hpp"

namespace tessary::formats::cbor_canon {

// Canonicalises in place: each map's values first, then (for more than one
// entry) a stable sort of the entries by format_key of their keys, ascending
// bytewise. Keys themselves are not rewritten. Levels nested deeper than
// cbor::kMaxEncodeDepth are left as they are; encoding such a tree fails anyway.
void canon_value(cbor::Item& value);

// Sort key of a map key: a text key's UTF-8 bytes without a head; any other
// key's canonical encoding (of a canonicalised copy), or its diagnostic text
// if it cannot be encoded.
std::string format_key(const cbor::Item& key);

// Canonicalises a copy of `item` and encodes it.
std::expected<std::string, cbor::EncodeError> canonical_encode(const cbor::Item& item);

using cbor::diagnostic;

}  // namespace tessary::formats::cbor_canon
