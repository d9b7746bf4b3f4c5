#pragma once
// The method shape hash: a commitment to a method's contract, from the hash
// of its code (and optional parameters) or from its signature.
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/method_shape_error.hpp"
#include "formats/json_value.hpp"

namespace tessary::engine {

// Commits to {"code_hash": "sha256:" + 64 hex digits, "params": params}.
// `code_hash` is 64 hex digits in either case, optionally after "sha256:";
// the digits keep their case. Without params the member is left out.
std::expected<std::string, MethodShapeError> compute_method_shape_hash_from_code(
    std::string_view code_hash, std::optional<formats::json::Value> params);

// Commits to {"function_name": ..., "input_types": [...], "output_type": ...}.
// Only an empty function name is refused.
std::expected<std::string, MethodShapeError> compute_method_shape_hash_from_signature(
    std::string_view function_name, std::span<const std::string> input_types, std::string_view output_type);

}  // namespace tessary::engine
