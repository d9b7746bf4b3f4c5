#include "formats/random.hpp"

#include <openssl/rand.h>
#include <sys/random.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

// A small per-thread reserve of generator output. Each RAND_bytes call has a
// fixed cost (locking, reseed checks) several times that of producing 16
// bytes; drawing 512 at once spreads it over 32 receipt identifiers.
//
// A forked child must never hand out bytes its parent already drew (the two
// would mint the same receipt ids), and a fork may bypass the at-fork handlers
// (a raw fork system call). So the reserve lives in its own page marked
// MADV_WIPEONFORK: the kernel gives the child that page zeroed, whatever made
// the fork, and a zero `filled` mark reads as an empty reserve. Where the
// kernel refuses the mark, the reserve remembers its process id instead and
// is discarded when getpid() no longer matches.
struct ReservePage {
  std::array<std::uint8_t, 512> bytes;
  std::size_t used;
  std::uint32_t filled;  // 1 once refilled in this process; 0 in a fresh or forked page
  pid_t owner;           // checked only where the page could not be marked
};

class Reserve {
 public:
  Reserve() noexcept {
    void* mem = ::mmap(nullptr, sizeof(ReservePage), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return;
    page_ = static_cast<ReservePage*>(mem);
    wiped_on_fork_ = ::madvise(mem, sizeof(ReservePage), MADV_WIPEONFORK) == 0;
  }
  Reserve(const Reserve&) = delete;
  Reserve& operator=(const Reserve&) = delete;
  ~Reserve() {
    if (page_ != nullptr) ::munmap(page_, sizeof(ReservePage));
  }

  // Copies out.size() unused bytes; false where the reserve cannot serve
  // (no page, or the generator failed).
  bool take(std::span<std::uint8_t> out) noexcept {
    if (page_ == nullptr) return false;
    ReservePage& r = *page_;
    const bool stale = r.filled == 0 || (!wiped_on_fork_ && r.owner != ::getpid());
    if (stale || r.bytes.size() - r.used < out.size()) {
      if (!random_bytes(r.bytes)) return false;
      r.used = 0;
      r.owner = ::getpid();
      r.filled = 1;
    }
    std::memcpy(out.data(), r.bytes.data() + r.used, out.size());
    // Bytes handed out are wiped so the reserve never holds an identifier already in use.
    std::memset(r.bytes.data() + r.used, 0, out.size());
    r.used += out.size();
    return true;
  }

  static constexpr std::size_t kCapacity = sizeof(ReservePage::bytes);

 private:
  ReservePage* page_ = nullptr;
  bool wiped_on_fork_ = false;
};

}  // namespace

bool random_bytes(std::span<std::uint8_t> out) noexcept {
  return openssl_random_bytes(out) || kernel_random_bytes(out);
}

bool small_random_bytes(std::span<std::uint8_t> out) noexcept {
  if (out.size() > Reserve::kCapacity / 4) return random_bytes(out);
  thread_local Reserve reserve;
  return reserve.take(out) || random_bytes(out);
}

}  // namespace tessary::formats
