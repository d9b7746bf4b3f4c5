#include "engine/file_reader.hpp"

#include "formats/interrupt.hpp"
#include "formats/os_error.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace tessary::engine {

using formats::interrupt_requested;
using formats::os_error_text;

namespace {

// Runs a system call until it is not interrupted by a signal, or until the
// caller asks to stop; errno is read before the poll can change it.
template <typename Call>
std::expected<long, ReadStop> system_call(Call call) {
  for (;;) {
    const long result = call();
    if (result >= 0) return result;
    if (const int err = errno; err != EINTR) return std::unexpected(ReadStop{os_error_text(err), false, err});
    if (interrupt_requested()) return std::unexpected(ReadStop{{}, true});
  }
}

void append_unicode_escape(unsigned code, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  if (code >= 0x10) out += kHex[code >> 4];
  out += kHex[code & 0xF];
  out += '}';
}

}  // namespace

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\0': out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      append_unicode_escape(c, out);
    } else if (c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      // U+0080..U+009F, the C1 controls: C2 80..C2 9F in UTF-8.
      append_unicode_escape(static_cast<unsigned char>(text[++i]), out);
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

std::expected<FileReader, ReadStop> FileReader::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(ReadStop{"file name contained an unexpected NUL byte"});
  }
  // Opening a FIFO waits for a writer; only a signal ends that wait.
  auto opened = system_call([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (!opened) return std::unexpected(std::move(opened.error()));
  const int fd = static_cast<int>(*opened);
#ifdef POSIX_FADV_SEQUENTIAL
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // larger read-ahead; only a hint
#endif
  return FileReader(fd, std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize));
}

FileReader::FileReader(FileReader&& other) noexcept : fd_(other.fd_), buffer_(std::move(other.buffer_)) {
  other.fd_ = -1;
}

FileReader::~FileReader() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<std::span<const std::uint8_t>, ReadStop> FileReader::next() {
  // One poll per buffer: well under a millisecond of hashing apart.
  if (interrupt_requested()) return std::unexpected(ReadStop{{}, true});
  auto n = system_call([&] { return ::read(fd_, buffer_.get(), kBufferSize); });
  if (!n) return std::unexpected(std::move(n.error()));
  return std::span<const std::uint8_t>(buffer_.get(), static_cast<std::size_t>(*n));
}

std::expected<std::size_t, ReadStop> FileReader::read_into(std::span<std::uint8_t> into) {
  if (interrupt_requested()) return std::unexpected(ReadStop{{}, true});
  auto n = system_call([&] { return ::read(fd_, into.data(), into.size()); });
  if (!n) return std::unexpected(std::move(n.error()));
  return static_cast<std::size_t>(*n);
}

}  // namespace tessary::engine
