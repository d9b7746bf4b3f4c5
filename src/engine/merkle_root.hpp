#pragma once
// The manifest root: a Merkle tree over chunk digests with one-byte domain
// separation (0x00 for leaves, 0x01 for inner nodes). Each level pairs nodes
// from the left; an odd last node moves up unchanged. No chunks give
// SHA-256(0x00).
#include <array>
#include <cstddef>
#include <span>

#include "formats/sha256.hpp"
#include "formats/sha256.hpp"

namespace tessary::engine {

// SHA-256(0x00 || chunk_digest).
formats::Digest merkle_leaf(const formats::Digest& chunk_digest) noexcept;
// SHA-256(0x01 || left || right).
formats::Digest merkle_node(const formats::Digest& left, const formats::Digest& right) noexcept;

// The root over all chunk digests at once, built level by level.
formats::Digest merkle_root(std::span<const formats::Digest> chunk_digests);

// The same root, fed one chunk digest at a time in O(log n) memory.
//
// Pairing from the left with the odd node carried up makes every node of a
// level cover an aligned run of 2^level leaves, except the last node, which
// covers whatever remains. So complete subtrees can be merged as soon as two
// of equal height meet (a binary counter), and the unfinished right edge is
// folded from the right at the end: exactly the nodes the level-by-level
// construction would pair.
class MerkleAccumulator {
 public:
  void add(const formats::Digest& chunk_digest) noexcept;
  formats::Digest root() noexcept;
  std::size_t leaf_count() const noexcept { return leaves_; }

 private:
  struct Subtree {
    formats::Digest hash;
    unsigned height;
  };
  formats::Digest leaf(const formats::Digest& chunk_digest) noexcept;
  formats::Digest node(const formats::Digest& left, const formats::Digest& right) noexcept;

  formats::Sha256 sha_;
  std::array<Subtree, 64> stack_{};  // heights strictly decrease from bottom to top
  std::size_t depth_ = 0;
  std::size_t leaves_ = 0;
};

}  // namespace tessary::engine
