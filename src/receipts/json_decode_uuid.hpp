#pragma once
// UUID text as receipts carry it. Nearly every UUID in a receipt is in the
// hyphenated 8-4-4-4-12 form, which is read here directly; every other text
// goes to the general parser, which accepts the other forms and words the
// failures.
#include <expected>
#include <string_view>

#include "formats/uuid.hpp"
#include "receipts/value_types.hpp"

namespace tessary::receipts::json_decode {

std::expected<Uuid, formats::uuid::ParseError> parse_uuid(std::string_view text);

}  // namespace tessary::receipts::json_decode
