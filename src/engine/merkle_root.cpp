#include "engine/merkle_root.hpp"

#include <cstring>
#include <vector>

namespace tessary::engine {

using formats::Digest;

namespace {

std::array<std::uint8_t, 33> leaf_input(const Digest& chunk_digest) noexcept {
  std::array<std::uint8_t, 33> buf;
  buf[0] = 0x00;
  std::memcpy(buf.data() + 1, chunk_digest.data(), 32);
  return buf;
}

std::array<std::uint8_t, 65> node_input(const Digest& left, const Digest& right) noexcept {
  std::array<std::uint8_t, 65> buf;
  buf[0] = 0x01;
  std::memcpy(buf.data() + 1, left.data(), 32);
  std::memcpy(buf.data() + 33, right.data(), 32);
  return buf;
}

Digest empty_root() noexcept {
  const std::uint8_t zero = 0x00;
  return formats::sha256(std::span<const std::uint8_t>(&zero, 1));
}

}  // namespace

Digest merkle_leaf(const Digest& chunk_digest) noexcept {
  const auto buf = leaf_input(chunk_digest);
  return formats::sha256(std::span<const std::uint8_t>(buf));
}

Digest merkle_node(const Digest& left, const Digest& right) noexcept {
  const auto buf = node_input(left, right);
  return formats::sha256(std::span<const std::uint8_t>(buf));
}

Digest merkle_root(std::span<const Digest> chunk_digests) {
  if (chunk_digests.empty()) return empty_root();
  std::vector<Digest> level;
  level.reserve(chunk_digests.size());
  for (const Digest& d : chunk_digests) level.push_back(merkle_leaf(d));
  while (level.size() > 1) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < level.size(); i += 2) {
      level[out++] = i + 1 < level.size() ? merkle_node(level[i], level[i + 1]) : level[i];
    }
    level.resize(out);
  }
  return level.front();
}

Digest MerkleAccumulator::leaf(const Digest& chunk_digest) noexcept {
  const auto buf = leaf_input(chunk_digest);
  return sha_.digest(buf);
}

Digest MerkleAccumulator::node(const Digest& left, const Digest& right) noexcept {
  const auto buf = node_input(left, right);
  return sha_.digest(buf);
}

void MerkleAccumulator::add(const Digest& chunk_digest) noexcept {
  Subtree carry{leaf(chunk_digest), 0};
  while (depth_ > 0 && stack_[depth_ - 1].height == carry.height) {
    carry = {node(stack_[depth_ - 1].hash, carry.hash), carry.height + 1};
    --depth_;
  }
  stack_[depth_++] = carry;
  ++leaves_;
}

Digest MerkleAccumulator::root() noexcept {
  if (depth_ == 0) return empty_root();
  Digest acc = stack_[depth_ - 1].hash;
  for (std::size_t i = depth_ - 1; i-- > 0;) acc = node(stack_[i].hash, acc);
  return acc;
}

}  // namespace tessary::engine
