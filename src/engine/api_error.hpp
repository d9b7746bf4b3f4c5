#pragma once
// The error of recording and verifying work: one message per kind.
#include <string>

namespace tessary::engine {

struct ApiError {
  enum class Kind { Serialization, Hash, Validation };
  Kind kind;
  std::string message;
};

}  // namespace tessary::engine
