#pragma once
// The receipt library's one error type. Its display texts reach Python inside
// exception messages, so every character of them is part of the interface.
#include <string>
#include <utility>
#include <variant>

namespace tessary::receipts {

struct ValidationError {
  struct HashMismatch {
    std::string expected;
    std::string computed;
    friend bool operator==(const HashMismatch&, const HashMismatch&) = default;
  };
  struct InvalidHashFormat {
    std::string text;
    friend bool operator==(const InvalidHashFormat&, const InvalidHashFormat&) = default;
  };
  struct SchemaViolation {
    std::string message;
    friend bool operator==(const SchemaViolation&, const SchemaViolation&) = default;
  };
  struct MissingField {
    std::string name;
    friend bool operator==(const MissingField&, const MissingField&) = default;
  };
  struct InvalidValue {
    std::string message;
    friend bool operator==(const InvalidValue&, const InvalidValue&) = default;
  };
  struct Serialization {
    std::string message;
    friend bool operator==(const Serialization&, const Serialization&) = default;
  };

  // Alternatives in the order of the kinds' numbering.
  using Variant = std::variant<HashMismatch, InvalidHashFormat, SchemaViolation, MissingField, InvalidValue, Serialization>;
  enum class Kind { HashMismatch, InvalidHashFormat, SchemaViolation, MissingField, InvalidValue, Serialization };

  Variant v;

  Kind kind() const { return static_cast<Kind>(v.index()); }
  template <class T>
  bool is() const { return std::holds_alternative<T>(v); }
  template <class T>
  const T& as() const { return std::get<T>(v); }

  std::string to_string() const;

  friend bool operator==(const ValidationError&, const ValidationError&) = default;
};

}  // namespace tessary::receipts
