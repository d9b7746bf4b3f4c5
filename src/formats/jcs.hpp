#pragma once
// Canonical JSON text for commitments: the compact text of a value whose
// objects have their members in ascending bytewise key order (code-point
// order, not the UTF-16 order of RFC 8785) and whose arrays keep theirs.
// Commit to a value as sha256_prefixed(jcs::canonical(value)).
#include <string>

#include "formats/json_value.hpp"

namespace tessary::formats::jcs {

// Deep copy with every object's members in key order, at every depth.
json::Value sort(const json::Value& value);

// The canonical text. The value tree already keeps objects in key order, so
// this writes the value directly instead of sorting a copy first.
std::string canonical(const json::Value& value);

}  // namespace tessary::formats::jcs
