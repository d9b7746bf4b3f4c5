#pragma once
// The chunk cutting rule exactly as written, one window recomputed at every
// position, for holding the fast chunker to in tests and in the fuzz target.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/chunker.hpp"
#include "formats/sha256.hpp"

namespace tessary::engine::reference {

using Bytes = std::vector<std::uint8_t>;

struct Cut {
  std::uint64_t offset, length;
  friend bool operator==(const Cut&, const Cut&) = default;
};

std::uint64_t plain_window_hash(const std::uint8_t* p) {
  std::uint64_t h = 0;
  for (int j = 0; j < 48; ++j) h = h * 31 + p[j];
  return h;
}

// The cutting rule as written, in exact (128-bit) arithmetic for the limits.
std::vector<Cut> reference_cuts(const Bytes& data, ChunkScheme scheme) {
  using u128 = unsigned __int128;
  const u128 n = data.size();
  std::vector<Cut> cuts;
  if (!scheme.is_cdc()) {
    for (u128 s = 0; s < n; s += scheme.size) cuts.push_back({std::uint64_t(s), std::uint64_t(std::min<u128>(scheme.size, n - s))});
    return cuts;
  }
  const u128 a = scheme.size, min = a / 2, max = 2 * a, w = 48;
  for (u128 s = 0; s < n;) {
    const u128 limit = std::min(n, s + max);
    u128 e = limit;
    if (s + min >= n) {
      e = n;
    } else {
      for (u128 i = s + min; i < limit; ++i) {
        if (i + w > n) { e = n; break; }
        if (i + w > limit) continue;
        if (plain_window_hash(&data[std::size_t(i)]) % scheme.size == 0) { e = i + w; break; }
      }
    }
    cuts.push_back({std::uint64_t(s), std::uint64_t(e - s)});
    s = e;
  }
  return cuts;
}

class CutList final : public ChunkSink {
 public:
  std::vector<Cut> cuts;
  std::vector<tessary::formats::Digest> digests;
  void on_chunk(std::uint64_t offset, std::uint64_t length, const tessary::formats::Digest& digest) override {
    cuts.push_back({offset, length});
    digests.push_back(digest);
  }
};

}  // namespace tessary::engine::reference
