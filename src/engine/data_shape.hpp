#pragma once
// The data shape hash of a byte stream: chunks by the scheme, a Merkle root
// over their digests, and the prefixed SHA-256 of the data shape document.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "engine/chunk_scheme.hpp"
#include "engine/chunker.hpp"
#include "engine/data_shape_error.hpp"
#include "engine/merkle_root.hpp"

namespace tessary::engine {

// Hashes a stream fed in pieces; the result is the same for every split of
// the same bytes. Memory stays bounded whatever the stream's length.
class DataShapeHasher {
 public:
  explicit DataShapeHasher(std::optional<ChunkScheme> scheme = std::nullopt) noexcept;

  void update(std::span<const std::uint8_t> piece);
  // The data shape hash, or the chunking error of a zero size (reported only
  // here, with the stream's length in its context). Call once.
  std::expected<std::string, DataShapeError> finish();

 private:
  class RootSink final : public ChunkSink {
   public:
    MerkleAccumulator tree;
    void on_chunk(std::uint64_t, std::uint64_t, const formats::Digest& digest) override { tree.add(digest); }
  };

  ChunkScheme scheme_;
  std::uint64_t total_size_ = 0;
  std::optional<Chunker> chunker_;  // absent for a scheme that cannot chunk
  RootSink sink_;
};

std::expected<std::string, DataShapeError> compute_data_shape_hash_from_bytes(std::span<const std::uint8_t> data,
                                                                              std::optional<ChunkScheme> scheme);

}  // namespace tessary::engine
