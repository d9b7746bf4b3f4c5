#pragma once
// Value types shared by the receipt envelope and its payload records.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tessary::receipts {

// A UUID as its 16 bytes in standard order; text forms exist only at the boundaries.
using Uuid = std::array<std::uint8_t, 16>;

// A 32-byte digest field (digest32).
using Digest32 = std::array<std::uint8_t, 32>;

// An ordered list of octets, written as an array of integers (never a byte string).
using ByteList = std::vector<std::uint8_t>;

// Text key to f64. std::string orders by unsigned bytes, so iteration is
// ascending UTF-8 byte order, which is the order every encoding needs.
using NumberMap = std::map<std::string, double>;

}  // namespace tessary::receipts
