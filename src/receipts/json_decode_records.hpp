#pragma once
// Typed decoding of the payload records and the context straight from a JSON
// value tree, with the messages and positions a typed reader of the tree's
// compact text would produce (json_decode_failure.hpp):
// - an object is read member by member in the tree's (ascending) key order,
//   unknown keys are skipped, the first bad value fails; then the required
//   fields that were not seen are reported in declaration order;
// - an array is read as the field values in declaration order and must have
//   exactly as many elements as the record has fields;
// - an optional field takes null as absent;
// - f64 fields take any number, integer fields only integers of their range,
//   f32 fields the nearest single-precision value of the number.
//
// V is `const json::Value`, which copies text out of the tree, or
// `json::Value`, which moves it out: after a failure in that mode the tree is
// partly emptied and the failure's position meaningless, so callers decode
// again from an intact tree to report it.
#include <string>
#include <type_traits>
#include <utility>

#include "formats/json_value.hpp"
#include "receipts/context.hpp"
#include "receipts/json_decode_failure.hpp"
#include "receipts/payloads.hpp"
#include "receipts/receipt_kind.hpp"

namespace tessary::receipts::json_decode {

// Text out of a value tree: copied from a borrowed tree, moved out of one we own.
template <class V>
void take_text(V& value, std::string& out) {
  if constexpr (std::is_const_v<V>) {
    out = value.as_string();
  } else {
    out = std::move(value.as_string());
  }
}

// Reads `value` as the payload record of `kind` into `out`.
template <class V>
Status decode_payload(ReceiptKind kind, V& value, Payload& out);

template <class V>
Status decode_context(V& value, Context& out);

extern template Status decode_payload(ReceiptKind, const json::Value&, Payload&);
extern template Status decode_payload(ReceiptKind, json::Value&, Payload&);
extern template Status decode_context(const json::Value&, Context&);
extern template Status decode_context(json::Value&, Context&);

}  // namespace tessary::receipts::json_decode
