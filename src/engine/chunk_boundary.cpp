#include "engine/chunk_boundary.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tessary::engine {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_double(std::uint64_t a) noexcept { return a > kU64Max / 2 ? kU64Max : 2 * a; }

}  // namespace

ChunkBoundaryFinder::ChunkBoundaryFinder(ChunkScheme scheme) noexcept
    : content_defined_(scheme.is_cdc()),
      first_window_end_(scheme.is_cdc() ? scheme.size / 2 + kWindowSize : kU64Max),
      max_size_(scheme.is_cdc() ? saturating_double(scheme.size) : scheme.size),
      scanner_(scheme.is_cdc() ? scheme.size : 1) {}

ChunkBoundaryFinder::Cut ChunkBoundaryFinder::next(std::span<const std::uint8_t> piece) noexcept {
  // seen_ < max_size_ always holds here: reaching the maximum is a cut.
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), max_size_ - seen_));
  // Window end positions (relative to the chunk start) completed by this piece.
  const std::uint64_t first_end = std::max(seen_ + 1, first_window_end_);
  const std::uint64_t last_end = seen_ + take;
  std::uint64_t hit_end = 0;
  if (first_end <= last_end && window_hit(first_end, last_end, piece, hit_end)) {
    restart();
    return {static_cast<std::size_t>(hit_end - (last_end - take)), CutKind::Final};
  }
  if (last_end == max_size_) {
    restart();
    return {take, content_defined_ ? CutKind::Tentative : CutKind::Final};
  }
  remember_tail(piece);
  seen_ = last_end;
  return {take, CutKind::None};
}

// The first window ending in [first_end, last_end] whose hash is a multiple of
// the average. Windows that begin before this piece are read from a stitched
// copy of the tail and the piece's first bytes.
bool ChunkBoundaryFinder::window_hit(std::uint64_t first_end, std::uint64_t last_end,
                                     std::span<const std::uint8_t> piece, std::uint64_t& hit_end) const noexcept {
  std::uint64_t end = first_end;
  if (end < seen_ + kWindowSize) {
    // Straddling windows: their starts lie in the tail, which holds chunk
    // positions [seen_ - tail_len_, seen_); starts are >= A/2 >= that bound.
    std::array<std::uint8_t, 2 * kWindowSize> joined;
    std::memcpy(joined.data(), tail_.data(), tail_len_);
    const std::size_t head = std::min(piece.size(), kWindowSize);
    std::memcpy(joined.data() + tail_len_, piece.data(), head);
    const std::uint64_t joined_origin = seen_ - tail_len_;
    const std::uint64_t straddle_last = std::min(last_end, seen_ + kWindowSize - 1);
    const std::size_t count = static_cast<std::size_t>(straddle_last - end + 1);
    const std::uint8_t* start = joined.data() + (end - kWindowSize - joined_origin);
    const std::size_t at = scanner_.first_boundary(start, count);
    if (at < count) {
      hit_end = end + at;
      return true;
    }
    end = straddle_last + 1;
  }
  if (end <= last_end) {
    const std::size_t count = static_cast<std::size_t>(last_end - end + 1);
    const std::size_t at = scanner_.first_boundary(piece.data() + (end - kWindowSize - seen_), count);
    if (at < count) {
      hit_end = end + at;
      return true;
    }
  }
  return false;
}

void ChunkBoundaryFinder::remember_tail(std::span<const std::uint8_t> piece) noexcept {
  if (!content_defined_) return;
  const std::size_t cap = tail_.size();
  if (piece.size() >= cap) {
    std::memcpy(tail_.data(), piece.data() + piece.size() - cap, cap);
    tail_len_ = cap;
    return;
  }
  const std::size_t keep = std::min(tail_len_, cap - piece.size());
  std::memmove(tail_.data(), tail_.data() + tail_len_ - keep, keep);
  std::memcpy(tail_.data() + keep, piece.data(), piece.size());
  tail_len_ = keep + piece.size();
}

}  // namespace tessary::engine
