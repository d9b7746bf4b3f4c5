#include "engine/file_reader.hpp"

#include "formats/os_error.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace tessary::engine {

using formats::os_error_text;

namespace {

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

std::expected<FileReader, std::string> FileReader::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(std::string("file name contained an unexpected NUL byte"));
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(os_error_text(errno));
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

std::expected<std::span<const std::uint8_t>, std::string> FileReader::next() {
  ssize_t n;
  do {
    n = ::read(fd_, buffer_.get(), kBufferSize);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::unexpected(os_error_text(errno));
  return std::span<const std::uint8_t>(buffer_.get(), static_cast<std::size_t>(n));
}

}  // namespace tessary::engine
