#pragma once
// A free-form structured item (`attest`, `cash_instr`) as JSON: integers as
// numbers, floats as numbers (null when not finite), byte strings as arrays
// of byte values, a tag t on v as {"@@TAGGED@@":[t,v]}, maps as objects in
// their own entry order with text keys as they are and integer keys as
// decimal text. Simple values other than true, false and null, which JSON
// cannot tell apart, are written as null.
//
// Map keys of any other type have no JSON form; rather than invent one the
// item is refused, which `check_item` reports before anything is written.
#include <expected>
#include <string>

#include "formats/cbor_item.hpp"

namespace tessary::receipts::json_encode {

// Empty when `write_item` can write `item`; else the reason: "key must be a
// string" for a map key that is neither text nor integer, "recursion limit
// exceeded" for nesting beyond the CBOR encoder's depth limit.
std::expected<void, std::string> check_item(const formats::cbor::Item& item);

// Appends the JSON text of an item that passed `check_item`.
void write_item(const formats::cbor::Item& item, std::string& out);

}  // namespace tessary::receipts::json_encode
