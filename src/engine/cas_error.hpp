#pragma once
// Errors of chunking and manifest building.
#include <string>

namespace tessary::engine {

struct CasError {
  enum class Kind { ChunkingFailed, ManifestBuildingFailed, InvalidChunkScheme };
  Kind kind;
  std::string text;

  // "Chunking failed: " + text, "Manifest building failed: " + text, or
  // "Invalid chunk scheme: " + text + ". Expected CDC { avg_size: >0 } or Fixed { size: >0 }".
  std::string to_string() const;

  friend bool operator==(const CasError&, const CasError&) = default;
};

}  // namespace tessary::engine
