#pragma once
// A JSON value as a free-form structured item (`attest`, `cash_instr`): the
// same data seen through the CBOR data model. Integers that fit 64 bits stay
// integers, other numbers are floats; objects become maps with text keys in
// the value tree's (ascending) key order. Nothing here can fail: every JSON
// value has an item.
#include "formats/cbor_item.hpp"
#include "formats/json_value.hpp"

namespace tessary::receipts::json_decode {

// V is `const json::Value` (copies text) or `json::Value` (moves it out).
template <class V>
formats::cbor::Item to_item(V& value);

extern template formats::cbor::Item to_item(const formats::json::Value&);
extern template formats::cbor::Item to_item(formats::json::Value&);

}  // namespace tessary::receipts::json_decode
