#include "engine/cas_error.hpp"

namespace tessary::engine {

std::string CasError::to_string() const {
  switch (kind) {
    case Kind::ChunkingFailed:
      return "Chunking failed: " + text;
    case Kind::ManifestBuildingFailed:
      return "Manifest building failed: " + text;
    case Kind::InvalidChunkScheme:
      return "Invalid chunk scheme: " + text + ". Expected CDC { avg_size: >0 } or Fixed { size: >0 }";
  }
  return text;
}

}  // namespace tessary::engine
