#pragma once
// Reads a file from start to end through one bounded buffer, so a file of
// any size is hashed in constant memory. Failures carry the operating
// system's description in the form "No such file or directory (os error 2)".
// Every read first asks whether the caller wants to stop, and a call that a
// signal interrupts (EINTR: a FIFO with no writer, a slow device) is
// retried only when the caller does not, so no file can hold it for ever.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace tessary::engine {

// Why the reader stopped: the system's description, or the caller's interrupt.
struct ReadStop {
  std::string message;
  bool interrupted = false;
  int os_errno = 0;  // the system's error number behind `message`, when there is one
};

class FileReader {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{256} << 10;  // stays in a core's L2 cache

  // Opens `path` for reading. A path holding a NUL byte cannot name a file:
  // it fails with "file name contained an unexpected NUL byte".
  static std::expected<FileReader, ReadStop> open(const std::string& path);

  FileReader(FileReader&& other) noexcept;
  FileReader& operator=(FileReader&&) = delete;
  FileReader(const FileReader&) = delete;
  ~FileReader();

  // The next bytes of the file, valid until the next call; empty at the end.
  std::expected<std::span<const std::uint8_t>, ReadStop> next();
  // Reads the next bytes into the caller's memory instead (one read call):
  // their count, 0 at the end.
  std::expected<std::size_t, ReadStop> read_into(std::span<std::uint8_t> into);

 private:
  FileReader(int fd, std::unique_ptr<std::uint8_t[]> buffer) noexcept : fd_(fd), buffer_(std::move(buffer)) {}

  int fd_;
  std::unique_ptr<std::uint8_t[]> buffer_;
};


// `text` in double quotes, with \" \\ \n \t \r \0 escaped and other control
// characters written as \u{hex}, as debugging output shows a string.
std::string debug_quoted(std::string_view text);

}  // namespace tessary::engine
