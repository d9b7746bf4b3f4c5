#include "engine/chunk_scheme.hpp"

namespace tessary::engine {

std::string ChunkScheme::to_string() const {
  if (kind == Kind::Cdc) return "CDC { avg_size: " + std::to_string(size) + " }";
  return "Fixed { size: " + std::to_string(size) + " }";
}

}  // namespace tessary::engine
