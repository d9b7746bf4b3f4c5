#include "engine/method_shape.hpp"

#include "formats/jcs.hpp"
#include "formats/sha256.hpp"

namespace tessary::engine {

namespace json = formats::json;

namespace {

constexpr std::string_view kPrefix = "sha256:";

bool is_hex_digit(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The 64 digits of a code hash, with or without the lower-case prefix.
std::optional<std::string_view> code_hash_digits(std::string_view code_hash) noexcept {
  std::string_view digits = code_hash.starts_with(kPrefix) ? code_hash.substr(kPrefix.size()) : code_hash;
  if (digits.size() != 64) return std::nullopt;
  for (char c : digits) {
    if (!is_hex_digit(c)) return std::nullopt;
  }
  return digits;
}

std::string commit(const json::Value& document) {
  return formats::sha256_prefixed(formats::jcs::canonical(document));
}

}  // namespace

std::expected<std::string, MethodShapeError> compute_method_shape_hash_from_code(
    std::string_view code_hash, std::optional<json::Value> params) {
  const auto digits = code_hash_digits(code_hash);
  if (!digits) {
    return std::unexpected(MethodShapeError{MethodShapeError::Kind::InvalidHashFormat,
                                            "Invalid code hash format: " + std::string(code_hash)});
  }
  json::Object document;
  document.insert("code_hash", std::string(kPrefix) + std::string(*digits));
  if (params) document.insert("params", std::move(*params));
  return commit(json::Value(std::move(document)));
}

std::expected<std::string, MethodShapeError> compute_method_shape_hash_from_signature(
    std::string_view function_name, std::span<const std::string> input_types, std::string_view output_type) {
  if (function_name.empty()) {
    return std::unexpected(MethodShapeError{MethodShapeError::Kind::InvalidInput, "Function name cannot be empty"});
  }
  json::Array types(input_types.begin(), input_types.end());
  json::Object document;
  document.insert("function_name", json::Value(function_name));
  document.insert("input_types", json::Value(std::move(types)));
  document.insert("output_type", json::Value(output_type));
  return commit(json::Value(std::move(document)));
}

}  // namespace tessary::engine
