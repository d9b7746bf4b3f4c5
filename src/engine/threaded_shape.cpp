#include "engine/threaded_shape.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/data_shape_document.hpp"
#include "engine/data_shape_file.hpp"
#include "engine/file_reader.hpp"
#include "formats/interrupt.hpp"
#include "formats/sha256.hpp"

namespace tessary::engine {

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
// Below this much memory at once, starting threads costs more than it saves.
constexpr std::size_t kThreadedMinimum = 2 * kMiB;
// New bytes per file buffer; three buffers are in use at a time.
constexpr std::size_t kFileWindow = 8 * kMiB;

bool can_thread(const ChunkScheme& scheme, unsigned threads) noexcept {
  if (threads <= 1 || scheme.size == 0) return false;
  return scheme.size <= (scheme.is_cdc() ? kMaxThreadedChunk / 2 : kMaxThreadedChunk);
}

// Jobs small enough that every thread gets several of a region, large
// enough that handing them over costs nothing measurable.
std::size_t job_bytes(std::size_t region, unsigned threads) noexcept {
  return std::clamp<std::size_t>(region / (4 * std::size_t{threads}), 64 << 10, kMiB);
}

std::size_t in_flight(unsigned threads) noexcept { return 4 * std::size_t{threads} + 4; }

// Cuts the chunks of `region` (whose first byte is at stream offset
// `offset`) and submits them to the crew in runs of about `per_job` bytes.
// Returns the length of the unfinished chunk left at the end (0 at the end
// of the input), or the interrupt.
std::expected<std::size_t, DataShapeError> cut_region(ChunkPlanner& planner, HashCrew& crew,
                                                      std::span<const std::uint8_t> region, std::uint64_t offset,
                                                      bool at_end, std::size_t per_job) {
  std::size_t at = 0;
  std::size_t job_start = 0;
  std::vector<ChunkExtent> job;
  while (at < region.size()) {
    const std::optional<std::size_t> length = planner.chunk_end(region.subspan(at), at_end);
    if (!length) break;
    job.push_back({offset + at, *length, {}});
    at += *length;
    if (at - job_start >= per_job) {
      crew.submit(region.data(), offset, std::move(job));
      job = {};
      job_start = at;
      if (formats::interrupt_requested()) return std::unexpected(DataShapeError::interrupted());
    }
  }
  if (!job.empty()) crew.submit(region.data(), offset, std::move(job));
  return region.size() - at;
}

std::string shape_hash(const ChunkScheme& scheme, std::uint64_t total_size, ShapeOutput& output) {
  const std::string root = formats::hash_string(output.tree.root());
  return formats::sha256_prefixed(data_shape_document(scheme, total_size, root));
}

}  // namespace

ThreadedShapeHasher::ThreadedShapeHasher(std::optional<ChunkScheme> scheme, bool keep_chunks, unsigned threads)
    : scheme_(scheme.value_or(kDefaultChunkScheme)), threads_(threads) {
  output_.keep = keep_chunks;
  if (can_thread(scheme_, threads_)) {
    planner_.emplace(scheme_);
  } else {
    serial_.emplace(scheme_, keep_chunks);
  }
}

std::expected<void, DataShapeError> ThreadedShapeHasher::update(std::span<const std::uint8_t> piece) {
  if (serial_) return serial_->update_interruptible(piece);
  total_size_ += piece.size();
  return update_threaded(piece);
}

std::expected<void, DataShapeError> ThreadedShapeHasher::update_threaded(std::span<const std::uint8_t> piece) {
  const std::size_t hold = static_cast<std::size_t>(planner_->settling_span());
  // The unfinished chunk is always shorter than `hold`; cutting only once
  // the held bytes reach twice that keeps small updates linear in their bytes.
  const std::size_t cap = 2 * hold;
  while (!held_.empty() || piece.size() < cap) {
    const std::size_t before = held_.size();
    const std::size_t take = std::min(piece.size(), cap - before);
    held_.insert(held_.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(take));
    if (held_.size() < cap) return {};
    HashCrew alone(output_, 0, 1);
    auto rest = cut_region(*planner_, alone, held_, held_offset_, false, kMiB);
    if (!rest) return std::unexpected(rest.error());
    alone.retire_all();
    const std::size_t start = held_.size() - *rest;
    held_offset_ += start;
    if (start < before || take == piece.size()) {
      // The unfinished chunk (shorter than `hold`) starts in the held bytes,
      // or the piece is used up: keep it and go on topping up.
      held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(start));
      piece = piece.subspan(take);
      continue;
    }
    // It starts within the piece: go on from there in place.
    held_.clear();
    piece = piece.subspan(start - before);
  }
  const unsigned helpers = piece.size() >= kThreadedMinimum ? threads_ - 1 : 0;
  std::size_t rest = 0;
  {
    HashCrew crew(output_, helpers, in_flight(threads_));
    auto cut = cut_region(*planner_, crew, piece, held_offset_, false, job_bytes(piece.size(), threads_));
    if (!cut) return std::unexpected(cut.error());
    crew.retire_all();
    rest = *cut;
  }
  held_.assign(piece.end() - static_cast<std::ptrdiff_t>(rest), piece.end());
  held_offset_ += piece.size() - rest;
  return {};
}

std::expected<DataShape, DataShapeError> ThreadedShapeHasher::finish() {
  if (serial_) {
    auto hash = serial_->finish();
    if (!hash) return std::unexpected(std::move(hash.error()));
    return DataShape{std::move(*hash), serial_->total_size(), serial_->take_chunks()};
  }
  if (!held_.empty()) {
    HashCrew alone(output_, 0, 1);
    // With the end in view every chunk ends: no interrupt poll comes before it.
    auto rest = cut_region(*planner_, alone, held_, held_offset_, true, held_.size());
    if (!rest) return std::unexpected(rest.error());
    alone.retire_all();
    held_.clear();
  }
  return DataShape{shape_hash(scheme_, total_size_, output_), total_size_, std::move(output_.chunks)};
}

std::expected<DataShape, DataShapeError> compute_threaded_shape_from_bytes(std::span<const std::uint8_t> data,
                                                                           std::optional<ChunkScheme> scheme,
                                                                           bool keep_chunks, unsigned threads) {
  ThreadedShapeHasher hasher(scheme, keep_chunks, threads);
  if (auto fed = hasher.update(data); !fed) return std::unexpected(std::move(fed.error()));
  return hasher.finish();
}

namespace {

// Reads until `into` is full or the file ends: the number of bytes read.
std::expected<std::size_t, ReadStop> fill(FileReader& reader, std::span<std::uint8_t> into) {
  std::size_t filled = 0;
  while (filled < into.size()) {
    auto n = reader.read_into(into.subspan(filled));
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) break;
    filled += *n;
  }
  return filled;
}

}  // namespace

std::expected<DataShape, DataShapeError> compute_threaded_shape_from_file(const std::string& path,
                                                                          std::optional<ChunkScheme> scheme,
                                                                          bool keep_chunks, unsigned threads) {
  const ChunkScheme effective = scheme.value_or(kDefaultChunkScheme);
  if (!can_thread(effective, threads)) return compute_data_shape_from_file(path, scheme, keep_chunks);
  auto reader = FileReader::open(path);
  if (!reader) return std::unexpected(file_read_error(reader.error(), path));
  ChunkPlanner planner(effective);
  // Each buffer holds the previous one's unfinished chunk, then new bytes.
  const std::size_t size = kFileWindow + static_cast<std::size_t>(planner.settling_span());
  constexpr std::size_t kBuffers = 3;  // one being read, the others being digested
  std::unique_ptr<std::uint8_t[]> buffers[kBuffers];
  for (auto& buffer : buffers) buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  std::uint64_t last_job[kBuffers] = {};
  ShapeOutput output;
  output.keep = keep_chunks;
  HashCrew crew(output, threads - 1, in_flight(threads));  // joined before the buffers go
  std::uint64_t offset = 0;  // stream offset of the current buffer's first byte
  std::size_t carried = 0;
  const std::uint8_t* carried_from = nullptr;
  for (std::size_t round = 0;; ++round) {
    const std::size_t b = round % kBuffers;
    crew.retire_through(last_job[b]);
    std::uint8_t* buffer = buffers[b].get();
    if (carried > 0) std::memcpy(buffer, carried_from, carried);
    auto got = fill(*reader, std::span(buffer + carried, size - carried));
    if (!got) return std::unexpected(file_read_error(got.error(), path));
    const std::size_t filled = carried + *got;
    const bool at_end = carried + *got < size;
    if (filled == 0) break;
    auto rest = cut_region(planner, crew, std::span<const std::uint8_t>(buffer, filled), offset, at_end,
                           job_bytes(kFileWindow, threads));
    if (!rest) return std::unexpected(rest.error());
    last_job[b] = crew.submitted();
    carried = *rest;
    carried_from = buffer + filled - carried;
    offset += filled - carried;
    if (at_end) break;
  }
  crew.retire_all();
  return DataShape{shape_hash(effective, offset, output), offset, std::move(output.chunks)};
}

}  // namespace tessary::engine
