#include "engine/data_shape_document.hpp"

namespace tessary::engine {

std::string data_shape_document(const ChunkScheme& scheme, std::uint64_t total_size, std::string_view root) {
  std::string out;
  out.reserve(192);
  out += scheme.is_cdc() ? R"({"chunk_scheme":{"avg_size":)" : R"({"chunk_scheme":{"size":)";
  out += std::to_string(scheme.size);
  out += scheme.is_cdc() ? R"(,"type":"cdc"},)" : R"(,"type":"fixed"},)";
  out += R"("kind":"bytestream","manifest_len":)";
  out += std::to_string(total_size);
  out += R"(,"manifest_root":")";
  out += root;
  out += R"("})";
  return out;
}

}  // namespace tessary::engine
