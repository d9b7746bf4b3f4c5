#pragma once
// The error of computing a data shape hash.
#include <string>
#include <utility>

namespace tessary::engine {

struct DataShapeError {
  // Interrupted: the caller asked the work to stop (see formats/interrupt.hpp)
  // and holds the reason itself; the error carries no text of its own.
  enum class Kind { InvalidHashFormat, Serialization, Interrupted };
  Kind kind;
  std::string first;   // InvalidHashFormat: what was wrong; Serialization: the message
  std::string second;  // InvalidHashFormat: the text seen; Serialization: the context
  // A Serialization error of a file the system could not open or read: its
  // errno, so a binding can raise the platform's own error type. Not part of
  // the display text.
  int os_errno = 0;

  static DataShapeError serialization(std::string message, std::string context) {
    return {Kind::Serialization, std::move(message), std::move(context), 0};
  }

  static DataShapeError interrupted() { return {Kind::Interrupted, {}, {}, 0}; }

  // "Invalid hash format: " + first + ". Expected format: sha256:<64hex>, got: " + second, or
  // "Serialization failed: " + first + ". Context: " + second, or "Interrupted".
  std::string to_string() const;

  friend bool operator==(const DataShapeError&, const DataShapeError&) = default;
};

}  // namespace tessary::engine
