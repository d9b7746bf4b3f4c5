#include "formats/random.hpp"

#include <openssl/rand.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace tessary::formats {
namespace {

bool kernel_random_bytes(std::span<std::uint8_t> out) noexcept {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

bool openssl_random_bytes(std::span<std::uint8_t> out) noexcept {
  // RAND_bytes takes an int count; larger requests go in pieces.
  std::size_t filled = 0;
  while (filled < out.size()) {
    const std::size_t piece = std::min<std::size_t>(out.size() - filled, INT_MAX);
    if (RAND_bytes(out.data() + filled, static_cast<int>(piece)) != 1) return false;
    filled += piece;
  }
  return true;
}

}  // namespace

bool random_bytes(std::span<std::uint8_t> out) noexcept {
  return openssl_random_bytes(out) || kernel_random_bytes(out);
}

}  // namespace tessary::formats
