#pragma once
// Writes a receipt's body as CBOR, straight from the receipt, in one of two
// field orders:
//  - Declared: all eleven envelope entries and every record's fields in
//    declaration order. These are the bytes the receipt hash is defined over
//    before they are read back, stripped of `sig`/`hash` and canonicalised.
//  - Canonical: the final hashed form directly: `sig` and `hash` left out,
//    every record map in ascending byte order of its keys, free-form items
//    canonicalised. Skips the encode/decode/sort round trip.
// The canonical order reproduces the round trip only when the declared body
// would have survived the read-back: valid UTF-8 in every text (including
// `sig` and `hash`, which are read back before being dropped) and free-form
// items that encode and stay within the decoder's depth. The writer checks
// that as it goes; when it does not hold, the caller takes the round trip
// itself, which yields the exact failure.
#include <expected>
#include <string>

#include "formats/cbor_encoder.hpp"
#include "receipts/receipt.hpp"

namespace tessary::receipts::canonical::detail {

enum class FieldOrder { Declared, Canonical };

enum class BodyStatus {
  Written,        // `out` holds the body
  NeedsRoundTrip  // Canonical order only: the bytes would differ from the round trip's result, or it would fail
};

// Appends the body to `out`. Only a free-form item can fail to encode, and
// only in Declared order (Canonical order reports NeedsRoundTrip instead).
std::expected<BodyStatus, formats::cbor::EncodeError> write_body(const Receipt& receipt, FieldOrder order, std::string& out);

}  // namespace tessary::receipts::canonical::detail
