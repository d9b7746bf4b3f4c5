#include "formats/random.hpp"

#include <openssl/rand.h>
#include <sys/random.h>

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

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

// Bumped in every child after fork(), so a child never hands out bytes its
// parent already drew (two processes would otherwise mint the same receipt ids).
std::atomic<unsigned> g_fork_generation{0};

void after_fork_in_child() noexcept { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

unsigned fork_generation() noexcept {
  static const bool registered = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
  (void)registered;
  return g_fork_generation.load(std::memory_order_relaxed);
}

// A small per-thread reserve of generator output. Each RAND_bytes call has a
// fixed cost (locking, reseed checks) several times that of producing 16
// bytes; drawing 512 at once spreads it over 32 receipt identifiers.
struct Reserve {
  std::array<std::uint8_t, 512> bytes{};
  std::size_t used = 512;  // empty
  unsigned generation = 0;
};

}  // namespace

bool random_bytes(std::span<std::uint8_t> out) noexcept {
  return openssl_random_bytes(out) || kernel_random_bytes(out);
}

bool small_random_bytes(std::span<std::uint8_t> out) noexcept {
  thread_local Reserve reserve;
  if (out.size() > reserve.bytes.size() / 4) return random_bytes(out);
  const unsigned generation = fork_generation();
  if (reserve.generation != generation || reserve.bytes.size() - reserve.used < out.size()) {
    if (!random_bytes(reserve.bytes)) return false;
    reserve.used = 0;
    reserve.generation = generation;
  }
  std::memcpy(out.data(), reserve.bytes.data() + reserve.used, out.size());
  // Bytes handed out are wiped so the reserve never holds an identifier already in use.
  std::memset(reserve.bytes.data() + reserve.used, 0, out.size());
  reserve.used += out.size();
  return true;
}

}  // namespace tessary::formats
