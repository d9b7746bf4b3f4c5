#pragma once
// The data shape of one stream computed on several threads: the cuts are
// found on the caller's thread and the chunks are digested by a crew (see
// hash_crew.hpp). Every hash and chunk list is the one DataShapeHasher gives
// for the same bytes, however they are split between updates.
//
// The unfinished chunk at the end of an update is copied aside (at most the
// longest chunk plus its look-ahead) and its cut is looked for again once
// more bytes follow, so every job sees its chunks whole in one piece of
// memory. Schemes whose chunks can be longer than kMaxThreadedChunk, and
// callers asking for one thread, are served by DataShapeHasher itself.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/chunk_planner.hpp"
#include "engine/data_shape.hpp"
#include "engine/hash_crew.hpp"

namespace tessary::engine {

inline constexpr std::uint64_t kMaxThreadedChunk = std::uint64_t{4} << 20;

class ThreadedShapeHasher {
 public:
  ThreadedShapeHasher(std::optional<ChunkScheme> scheme, bool keep_chunks, unsigned threads);

  // Feeds the next bytes; polls for interrupts as DataShapeHasher does. An
  // interrupted update leaves the hasher unusable.
  std::expected<void, DataShapeError> update(std::span<const std::uint8_t> piece);
  // The finished shape (hash, length, chunks when kept). Call once.
  std::expected<DataShape, DataShapeError> finish();

  std::uint64_t total_size() const noexcept { return total_size_; }
  // Whether this hasher spreads its work over several threads at all.
  bool threaded() const noexcept { return !serial_; }

 private:
  friend class ShapeRegions;

  std::expected<void, DataShapeError> update_threaded(std::span<const std::uint8_t> piece);

  ChunkScheme scheme_;
  unsigned threads_;
  std::uint64_t total_size_ = 0;
  std::optional<DataShapeHasher> serial_;  // set when the work stays on one thread
  std::optional<ChunkPlanner> planner_;
  ShapeOutput output_;
  std::vector<std::uint8_t> held_;  // the unfinished chunk's first bytes
  std::uint64_t held_offset_ = 0;   // its offset in the stream
};

// The data shape of a file on `threads` threads: equal to
// compute_data_shape_from_file, with the same errors. The file is read
// through a few bounded buffers while earlier ones are digested.
std::expected<DataShape, DataShapeError> compute_threaded_shape_from_file(const std::string& path,
                                                                          std::optional<ChunkScheme> scheme,
                                                                          bool keep_chunks, unsigned threads);

// The same for bytes in memory.
std::expected<DataShape, DataShapeError> compute_threaded_shape_from_bytes(std::span<const std::uint8_t> data,
                                                                           std::optional<ChunkScheme> scheme,
                                                                           bool keep_chunks, unsigned threads);

}  // namespace tessary::engine
