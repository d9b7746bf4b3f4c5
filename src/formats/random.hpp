#pragma once
// Cryptographically secure random bytes: OpenSSL's per-thread DRBG, seeded
// and reseeded from operating-system entropy.
#include <cstdint>
#include <span>
#include <string>

namespace tessary::formats {

// Fills `out` completely, or returns false. Should OpenSSL's generator fail,
// the kernel's generator (getrandom) is asked directly before giving up, so
// false means no secure source is available at all.
[[nodiscard]] bool random_bytes(std::span<std::uint8_t> out) noexcept;

// The same for requests of up to 128 bytes (such as a UUID's 16), served from a
// per-thread reserve refilled by random_bytes; a forked child never reuses
// its parent's reserve.
[[nodiscard]] bool small_random_bytes(std::span<std::uint8_t> out) noexcept;

// What callers report when random_bytes fails.
struct RandomUnavailable {
  std::string to_string() const { return "secure random generator unavailable"; }
};

}  // namespace tessary::formats
