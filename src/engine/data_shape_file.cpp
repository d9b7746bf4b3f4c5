#include "engine/data_shape_file.hpp"

#include "engine/data_shape.hpp"
#include "engine/file_reader.hpp"

namespace tessary::engine {

DataShapeError file_read_error(const ReadStop& stop, const std::string& path) {
  if (stop.interrupted) return DataShapeError::interrupted();
  DataShapeError error =
      DataShapeError::serialization("Failed to read file: " + stop.message, "path: " + debug_quoted(path));
  error.os_errno = stop.os_errno;
  return error;
}

std::expected<DataShape, DataShapeError> compute_data_shape_from_file(const std::string& path,
                                                                      std::optional<ChunkScheme> scheme, bool keep_chunks) {
  auto reader = FileReader::open(path);
  if (!reader) return std::unexpected(file_read_error(reader.error(), path));
  DataShapeHasher hasher(scheme, keep_chunks);
  for (;;) {
    auto piece = reader->next();
    if (!piece) return std::unexpected(file_read_error(piece.error(), path));
    if (piece->empty()) break;
    hasher.update(*piece);
  }
  auto hash = hasher.finish();
  if (!hash) return std::unexpected(std::move(hash.error()));
  return DataShape{std::move(*hash), hasher.total_size(), hasher.take_chunks()};
}

std::expected<std::string, DataShapeError> compute_data_shape_hash_from_file(const std::string& path,
                                                                             std::optional<ChunkScheme> scheme) {
  auto shape = compute_data_shape_from_file(path, scheme, false);
  if (!shape) return std::unexpected(std::move(shape.error()));
  return std::move(shape->hash);
}

}  // namespace tessary::engine
