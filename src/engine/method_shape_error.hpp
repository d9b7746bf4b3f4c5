#pragma once
// The error of computing a method shape hash: one text per kind.
#include <string>

namespace tessary::engine {

struct MethodShapeError {
  enum class Kind { InvalidHashFormat, Serialization, InvalidInput };
  Kind kind;
  std::string text;

  // "Invalid hash format: ", "Serialization error: " or "Invalid input: " + text.
  std::string to_string() const;

  friend bool operator==(const MethodShapeError&, const MethodShapeError&) = default;
};

}  // namespace tessary::engine
