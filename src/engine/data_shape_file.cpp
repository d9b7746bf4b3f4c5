#include "engine/data_shape_file.hpp"

#include "engine/data_shape.hpp"
#include "engine/file_reader.hpp"

namespace tessary::engine {

namespace {

DataShapeError read_error(const ReadStop& stop, const std::string& path) {
  if (stop.interrupted) return DataShapeError::interrupted();
  return DataShapeError::serialization("Failed to read file: " + stop.message, "path: " + debug_quoted(path));
}

}  // namespace

std::expected<std::string, DataShapeError> compute_data_shape_hash_from_file(const std::string& path,
                                                                             std::optional<ChunkScheme> scheme) {
  auto reader = FileReader::open(path);
  if (!reader) return std::unexpected(read_error(reader.error(), path));
  DataShapeHasher hasher(scheme);
  for (;;) {
    auto piece = reader->next();
    if (!piece) return std::unexpected(read_error(piece.error(), path));
    if (piece->empty()) break;
    hasher.update(*piece);
  }
  return hasher.finish();
}

}  // namespace tessary::engine
