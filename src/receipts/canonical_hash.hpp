#pragma once
// The receipt hash: SHA-256 over the canonical CBOR body (every field but
// `sig` and `hash`, every map sorted by the bytes of its keys), written as
// "sha256:" and 64 lowercase hexadecimal digits.
//
// Floats are CBOR floats in the shortest width that keeps their bits, NaN and
// infinities included (a NaN total_value is F9 7E 00): writing non-finite
// numbers as null is a rule of the JSON form only, and a hash must not make
// NaN and an absent value alike.
#include <expected>
#include <string>
#include <string_view>

#include "receipts/receipt.hpp"

namespace tessary::receipts::canonical {

struct CanonicalError {
  enum class Kind {
    Body,    // writing the body or reading it back failed
    Encode,  // encoding the canonicalised tree failed
  };
  Kind kind = Kind::Body;
  std::string description;  // the CBOR library's account of the failure

  // "serde to Value failed: " or "encode failed: ", then the description.
  std::string to_string() const;
  friend bool operator==(const CanonicalError&, const CanonicalError&) = default;
};

// The bytes that are hashed. Written directly in canonical order; receipts
// whose body would not survive the read-back take the generic route instead,
// so results and failures are those of generic_body.
std::expected<std::string, CanonicalError> canonical_body(const Receipt& receipt);

// The same bytes by the generic route: write the body in declaration order,
// read it back into a CBOR tree, drop the top-level "sig" and "hash" entries,
// canonicalise, encode. Slower; the definition canonical_body is held to.
std::expected<std::string, CanonicalError> generic_body(const Receipt& receipt);

// "sha256:" + hex SHA-256 of canonical_body.
std::expected<std::string, CanonicalError> compute_hash(const Receipt& receipt);

// True exactly for "sha256:" followed by 64 lowercase hexadecimal digits.
bool validate_hash_format(std::string_view text);

}  // namespace tessary::receipts::canonical
