#pragma once
// Replacing a file's contents all at once: readers of the final name see
// either the old bytes or the new ones, never a mix or an empty file.
#include <expected>
#include <string>
#include <string_view>

namespace tessary::storage {

// Writes `text` into a new temporary file in `directory`, then renames it
// over `directory`/`file_name`. The temporary file is named
// "." + file_name + "." + pid + "." + counter + ".tmp", so it is hidden and
// never mistaken for a finished file, and unique per process and call. On
// failure the temporary file is removed and the reason is the system's
// message ("... (os error N)"), or "failed to write whole buffer" when the
// file accepts no more bytes.
std::expected<void, std::string> replace_file(std::string_view directory, std::string_view file_name,
                                              std::string_view text);

}  // namespace tessary::storage
