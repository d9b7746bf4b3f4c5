#pragma once
// Reads files whole into one buffer that is kept from file to file, so a
// scan over many small files allocates only when a file is larger than any
// before it, and costs open, two reads and close per file.
#include <expected>
#include <string>
#include <string_view>

namespace tessary::storage {

class WholeFileReader {
 public:
  // The bytes of the file `name` in the directory open as `directory_fd`,
  // valid until the next call. Fails with the system's message
  // ("... (os error N)"), e.g. "Is a directory (os error 21)".
  std::expected<std::string_view, std::string> read_at(int directory_fd, const char* name);

 private:
  std::string buffer_;  // always at its full size; only a prefix is the file
};

}  // namespace tessary::storage
