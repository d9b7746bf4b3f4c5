#include "receipts/adapter_error.hpp"

#include <string_view>

namespace tessary::receipts {

namespace {

std::string_view prefix(AdapterError::Kind kind) {
  switch (kind) {
    case AdapterError::Kind::JsonDeserialize: return "JSON deserialization failed: ";
    case AdapterError::Kind::JsonSerialize: return "JSON serialization failed: ";
    case AdapterError::Kind::CborDeserialize: return "CBOR deserialization failed: ";
    case AdapterError::Kind::CborSerialize: return "CBOR serialization failed: ";
  }
  return "JSON deserialization failed: ";
}

}  // namespace

std::string AdapterError::to_string() const {
  std::string text(prefix(kind));
  text += message;
  return text;
}

}  // namespace tessary::receipts
