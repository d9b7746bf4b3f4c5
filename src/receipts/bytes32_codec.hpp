#pragma once
// The codec of the 32-byte digest fields (digest32): base64url text without
// padding in JSON output, base64url text or an array of 32 byte values in
// JSON input, an array of 32 unsigned integers in the canonical CBOR body.
// Absence is null in every form.
#include <expected>
#include <optional>
#include <string>

#include "formats/cbor_encoder.hpp"
#include "formats/json_value.hpp"
#include "receipts/json_decode_failure.hpp"
#include "receipts/value_types.hpp"

namespace tessary::receipts {

// Appends the 43 characters of the digest's base64url text, in quotes.
void append_digest32_json(const Digest32& digest, std::string& out);

// Reads a digest from a JSON value: null is absent; a string must be strict
// base64url of exactly 32 bytes; an array must hold exactly 32 integers 0-255.
// Failures carry the decoder's message and position.
std::expected<std::optional<Digest32>, json_decode::Failure> decode_digest32(const formats::json::Value& value);

// 0x98 0x20 and the 32 bytes as shortest unsigned integers; 0xF6 when absent.
void write_digest32_cbor(formats::cbor::Writer& writer, const std::optional<Digest32>& digest);

}  // namespace tessary::receipts
