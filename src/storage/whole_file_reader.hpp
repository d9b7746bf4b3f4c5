#pragma once
// Reads files whole into one buffer that is kept from file to file, so a
// scan over many small files allocates only when a file is larger than any
// before it, and costs open, two reads and close per file.
#include <expected>
#include <string>
#include <string_view>

namespace tessary::storage {

// Why a file was not read. `skipped` failures are files that cannot be a
// receipt (not a regular file, or too large): a scan passes over them with a
// warning. The others are the system's failures ("... (os error N)").
struct ReadFailure {
  enum class Kind { System, Directory, NotRegular, TooLarge };
  std::string message;
  bool skipped = false;
  Kind kind = Kind::System;
  int os_error = 0;  // the errno of a System failure
};

class WholeFileReader {
 public:
  // The largest receipt file read: 64 MiB, thousands of times any receipt
  // this system makes, yet small enough that a scan never exhausts memory on
  // a file that is not a receipt.
  static constexpr std::size_t kMaxReceiptBytes = std::size_t{64} << 20;

  // The bytes of the regular file `name` (a link to one counts) in the
  // directory open as `directory_fd`, valid until the next call. Anything
  // else (a FIFO, a socket, a device such as /dev/zero) is skipped without
  // reading, so it can neither block nor fill memory; so is a file of more
  // than kMaxReceiptBytes. A directory fails as the read of one always has
  // ("Is a directory (os error 21)").
  std::expected<std::string_view, ReadFailure> read_at(int directory_fd, const char* name);

 private:
  std::string buffer_;  // always at its full size; only a prefix is the file
};

}  // namespace tessary::storage
