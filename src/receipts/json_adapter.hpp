#pragma once
// A receipt as JSON text and back: the receipt's exchange and storage form.
//
// Written: one compact object with the keys rid, version, kind, dom, cod,
// links, ctx, payload, attest, sig, hash in this order; optional envelope and
// context fields as null; payload fields by their presence classes.
//
// Read back, a written receipt is equal to the original except where JSON
// cannot carry the value: inside free-form items (`attest`, `cash_instr`)
// byte strings come back as arrays of integers, tags as one-key
// "@@TAGGED@@" maps, integer map keys as text and map entries in ascending
// key order; an item that is the null value comes back absent; a float that
// is not finite, written as null, comes back absent (or fails to read when
// the field is required).
#include <expected>
#include <string>
#include <string_view>

#include "formats/json_value.hpp"
#include "receipts/adapter_error.hpp"
#include "receipts/receipt.hpp"

namespace tessary::receipts {

// The receipt's compact JSON text. Fails (JsonSerialize) only for a free-form
// item holding a map key that is neither text nor an integer ("key must be a
// string") or nested beyond the CBOR depth limit ("recursion limit exceeded").
std::expected<std::string, AdapterError> receipt_to_json(const Receipt& receipt);

// Parses `text` and builds the receipt; after the receipt's value only JSON
// whitespace may follow. Every failure is JsonDeserialize.
std::expected<Receipt, AdapterError> receipt_from_json(std::string_view text);

// The same, built in `out`, a default receipt (left unspecified on failure):
// a receipt is large, and one that ends up on the heap is best built there.
std::expected<void, AdapterError> receipt_from_json(std::string_view text, Receipt& out);

// Builds a receipt from a parsed JSON value; the error is the message alone,
// without the adapter's prefix.
std::expected<Receipt, std::string> deserialize_from_json_value(const formats::json::Value& value);

}  // namespace tessary::receipts
