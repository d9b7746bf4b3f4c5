#pragma once
// Columns in the compact text of a value tree, computed from the tree alone.
// A record is decoded straight from the tree; only when decoding fails is the
// column of the failure needed, and it must be the column a reader of the
// tree's compact text (json::write_compact) would report, so the two ways of
// decoding give identical messages.
#include <cstddef>
#include <optional>

#include "formats/json_value.hpp"
#include "receipts/json_decode_failure.hpp"

namespace tessary::receipts::json_decode {

// Bytes of json::write_compact(value).
std::size_t compact_length(const json::Value& value);

// The byte offset in json::write_compact(root) that `position` designates:
// the offset of its node's first byte, or just past its last byte, plus the
// position's extra bytes. Empty when the node is not part of `root`.
std::optional<std::size_t> compact_offset(const json::Value& root, const Position& position);

}  // namespace tessary::receipts::json_decode
