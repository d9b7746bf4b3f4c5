#pragma once
// The store's one diagnostic channel: whole lines straight to file
// descriptor 2, past any buffering of the embedding program.
#include <string_view>

namespace tessary::storage {

// Writes `line` to descriptor 2 in one write call where the system allows,
// continuing short writes and retrying interrupted ones. A line that cannot
// be written (descriptor 2 closed, a broken pipe) is dropped: a lost warning
// must never fail the operation that wanted to give it.
void write_stderr_line(std::string_view line) noexcept;

}  // namespace tessary::storage
