#pragma once
// The data shape hash of a file's contents, read as a stream.
#include <expected>
#include <optional>
#include <string>

#include "engine/chunk_scheme.hpp"
#include "engine/data_shape.hpp"
#include "engine/data_shape_error.hpp"
#include "engine/file_reader.hpp"

namespace tessary::engine {

// Equal to compute_data_shape_hash_from_bytes over the file's bytes. A file
// that cannot be opened or read fails first, with the Serialization error
// "Failed to read file: " + the system's description and the context
// "path: " + the quoted path; only then is a zero chunk size reported.
std::expected<std::string, DataShapeError> compute_data_shape_hash_from_file(const std::string& path,
                                                                             std::optional<ChunkScheme> scheme);

// The same stream, with its length and (when asked for) its chunks. A read
// failure that the system reported carries its errno in the error.
// The error of a file that failed to open or read (or of the interrupt).
DataShapeError file_read_error(const ReadStop& stop, const std::string& path);

std::expected<DataShape, DataShapeError> compute_data_shape_from_file(const std::string& path,
                                                                      std::optional<ChunkScheme> scheme, bool keep_chunks);

}  // namespace tessary::engine
