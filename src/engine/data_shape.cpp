#include "engine/data_shape.hpp"

#include <algorithm>

#include "engine/data_shape_document.hpp"
#include "formats/interrupt.hpp"
#include "formats/sha256.hpp"

namespace tessary::engine {

DataShapeHasher::DataShapeHasher(std::optional<ChunkScheme> scheme, bool keep_chunks) noexcept
    : scheme_(scheme.value_or(kDefaultChunkScheme)) {
  if (check_chunk_scheme(scheme_)) chunker_.emplace(scheme_);
  sink_.keep = keep_chunks;
}

void DataShapeHasher::update(std::span<const std::uint8_t> piece) {
  total_size_ += piece.size();
  if (chunker_) chunker_->update(piece, sink_);
}

std::expected<void, DataShapeError> DataShapeHasher::update_interruptible(std::span<const std::uint8_t> piece) {
  // The hasher streams, so strides give the same hash as one update.
  for (std::size_t at = 0; at < piece.size(); at += formats::kInterruptStride) {
    if (at > 0 && formats::interrupt_requested()) return std::unexpected(DataShapeError::interrupted());
    update(piece.subspan(at, std::min(formats::kInterruptStride, piece.size() - at)));
  }
  return {};
}

std::expected<std::string, DataShapeError> DataShapeHasher::finish() {
  if (auto ok = check_chunk_scheme(scheme_); !ok) {
    return std::unexpected(DataShapeError::serialization(
        "Failed to build manifest: " + ok.error().to_string(),
        "data_size: " + std::to_string(total_size_) + ", chunk_scheme: " + scheme_.to_string()));
  }
  chunker_->finish(sink_);
  const std::string root = formats::hash_string(sink_.tree.root());
  return formats::sha256_prefixed(data_shape_document(scheme_, total_size_, root));
}

std::expected<DataShape, DataShapeError> compute_data_shape_from_bytes(std::span<const std::uint8_t> data,
                                                                       std::optional<ChunkScheme> scheme, bool keep_chunks) {
  DataShapeHasher hasher(scheme, keep_chunks);
  if (auto fed = hasher.update_interruptible(data); !fed) return std::unexpected(std::move(fed.error()));
  auto hash = hasher.finish();
  if (!hash) return std::unexpected(std::move(hash.error()));
  return DataShape{std::move(*hash), hasher.total_size(), hasher.take_chunks()};
}

std::expected<std::string, DataShapeError> compute_data_shape_hash_from_bytes(std::span<const std::uint8_t> data,
                                                                              std::optional<ChunkScheme> scheme) {
  auto shape = compute_data_shape_from_bytes(data, scheme, false);
  if (!shape) return std::unexpected(std::move(shape.error()));
  return std::move(shape->hash);
}

}  // namespace tessary::engine
