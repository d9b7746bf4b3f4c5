#include "engine/method_shape_error.hpp"

namespace tessary::engine {

std::string MethodShapeError::to_string() const {
  switch (kind) {
    case Kind::InvalidHashFormat:
      return "Invalid hash format: " + text;
    case Kind::Serialization:
      return "Serialization error: " + text;
    case Kind::InvalidInput:
      return "Invalid input: " + text;
  }
  return text;
}

}  // namespace tessary::engine
