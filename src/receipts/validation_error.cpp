#include "receipts/validation_error.hpp"

namespace tessary::receipts {

namespace {

struct Render {
  std::string operator()(const ValidationError::HashMismatch& e) const {
    return "Hash mismatch: expected " + e.expected + ", computed " + e.computed;
  }
  std::string operator()(const ValidationError::InvalidHashFormat& e) const {
    return "Invalid hash format: " + e.text + " (must match ^sha256:[0-9a-f]{64}$)";
  }
  std::string operator()(const ValidationError::SchemaViolation& e) const { return "Schema violation: " + e.message; }
  std::string operator()(const ValidationError::MissingField& e) const { return "Missing required field: " + e.name; }
  std::string operator()(const ValidationError::InvalidValue& e) const { return "Invalid value: " + e.message; }
  std::string operator()(const ValidationError::Serialization& e) const { return "Serialization error: " + e.message; }
};

}  // namespace

std::string ValidationError::to_string() const { return std::visit(Render{}, v); }

}  // namespace tessary::receipts
