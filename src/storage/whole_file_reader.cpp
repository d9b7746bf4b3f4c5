#include "storage/whole_file_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "formats/os_error.hpp"

namespace tessary::storage {

using formats::has_nul;
using formats::kNulInPath;
using formats::os_error_text;
namespace {

constexpr std::size_t kMaxRead = 0x7ffff000;
// Receipts are a few kilobytes; one buffer of this size holds nearly all of
// them, so asking the file's size first would be a wasted system call.
constexpr std::size_t kInitialBuffer = std::size_t{64} << 10;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::unexpected<ReadFailure> system_failure(int error) {
  return std::unexpected(ReadFailure{os_error_text(error), false, ReadFailure::Kind::System, error});
}

}  // namespace

std::expected<std::string_view, ReadFailure> WholeFileReader::read_at(int directory_fd, const char* name) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  // It changes nothing for the regular files that are read.
  const Descriptor file(::openat(directory_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (file.get() < 0) return system_failure(errno);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return system_failure(errno);
  // A directory fails the scan as reading it always did; FIFOs, sockets and
  // devices are passed over.
  if (S_ISDIR(info.st_mode)) {
    return std::unexpected(ReadFailure{os_error_text(EISDIR), false, ReadFailure::Kind::Directory, EISDIR});
  }
  if (!S_ISREG(info.st_mode)) {
    return std::unexpected(ReadFailure{"not a regular file", true, ReadFailure::Kind::NotRegular});
  }
  const auto too_large = [] {
    return std::unexpected(
        ReadFailure{"larger than the receipt size limit of 64 MiB", true, ReadFailure::Kind::TooLarge});
  };
  if (static_cast<std::uint64_t>(info.st_size) > kMaxReceiptBytes) return too_large();
  if (buffer_.empty()) buffer_.resize(kInitialBuffer);

  // Read until a read returns nothing: a read that stops short does not by
  // itself prove the end of every kind of file. The size limit holds also
  // for a file that grows while it is read.
  std::size_t length = 0;
  for (;;) {
    if (length > kMaxReceiptBytes) return too_large();
    if (length == buffer_.size()) buffer_.resize(std::min(buffer_.size() * 2, kMaxReceiptBytes + 1));
    const ssize_t got = ::read(file.get(), buffer_.data() + length, std::min(buffer_.size() - length, kMaxRead));
    if (got < 0) {
      if (errno == EINTR) continue;
      return system_failure(errno);
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  return std::string_view(buffer_.data(), length);
}

}  // namespace tessary::storage
