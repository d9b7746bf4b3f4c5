#pragma once
// The payload records, the context and the signature as compact JSON
// objects: fields in declaration order, an absent optional field written as
// null or left out as its presence class says.
//
// Free-form items inside a payload (`cash_instr`) must have passed
// json_encode::check_item; `payload_items_check` does that for a payload.
#include <expected>
#include <string>

#include "receipts/context.hpp"
#include "receipts/payloads.hpp"

namespace tessary::receipts::json_encode {

void write_payload(const Payload& payload, std::string& out);
void write_context(const Context& context, std::string& out);
void write_signature(const Signature& signature, std::string& out);

// check_item of every free-form item the payload holds.
std::expected<void, std::string> payload_items_check(const Payload& payload);

}  // namespace tessary::receipts::json_encode
