#pragma once
// What the JSON codecs need of a record beyond its member list
// (record_members.hpp): the text quoted for an array of the wrong length, and
// the byte order of member names.
#include <cstddef>
#include <string_view>

#include "receipts/record_members.hpp"

namespace tessary::receipts::json_records {

template <class R>
concept Record = ListedRecord<R> && requires { R::expectation; };

// Byte order of two names (negative, zero, positive), the order of object
// members in the value tree. Wire names are short and mostly differ in their
// first bytes, so an inline loop beats a call to memcmp.
constexpr int compare_names(std::string_view a, std::string_view b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// "DataShapePayload" out of "struct DataShapePayload with 2 elements".
template <Record R>
constexpr std::string_view record_name() {
  constexpr std::string_view text = R::expectation;
  constexpr std::string_view head = "struct ";
  return text.substr(head.size(), text.find(" with ") - head.size());
}

}  // namespace tessary::receipts::json_records
