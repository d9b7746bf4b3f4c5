#pragma once
// RFC 8949 diagnostic notation, for messages and as a last-resort sort key.
#include <string>

#include "formats/cbor_item.hpp"

namespace tessary::formats::cbor {

// E.g. {1: h'00ff', "a": [1.5, -2, null, 23(simple(16))]}. Levels nested
// deeper than kMaxEncodeDepth are shown as "...".
std::string diagnostic(const Item& item);

}  // namespace tessary::formats::cbor
