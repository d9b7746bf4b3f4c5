#include "engine/data_shape_error.hpp"

namespace tessary::engine {

std::string DataShapeError::to_string() const {
  if (kind == Kind::InvalidHashFormat) {
    return "Invalid hash format: " + first + ". Expected format: sha256:<64hex>, got: " + second;
  }
  if (kind == Kind::Interrupted) return "Interrupted";
  return "Serialization failed: " + first + ". Context: " + second;
}

}  // namespace tessary::engine
