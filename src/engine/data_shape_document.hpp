#pragma once
// The data shape document: the small JSON object a data shape hash commits to.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/chunk_scheme.hpp"

namespace tessary::engine {

// The canonical JSON text of
//   {"chunk_scheme": {"avg_size": A, "type": "cdc"} | {"size": S, "type": "fixed"},
//    "kind": "bytestream", "manifest_len": total_size, "manifest_root": root}
// Every member is a number or a text that needs no escaping, so the text is
// written directly, members in key order.
std::string data_shape_document(const ChunkScheme& scheme, std::uint64_t total_size, std::string_view root);

}  // namespace tessary::engine
