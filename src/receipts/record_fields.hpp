#pragma once
// Per-record wire metadata shared by every codec of a record: the field names
// in declaration order, how an absent value is written, and the text a
// decoder quotes when a record given as an array has the wrong length.
#include <array>
#include <string_view>

namespace tessary::receipts {

enum class Presence {
  Required,           // must be present on input; always written
  NullWhenAbsent,     // may be missing on input; written as null when absent
  OmittedWhenAbsent,  // may be missing on input; its key is left out when absent
};

struct FieldSpec {
  std::string_view name;
  Presence presence;
};

}  // namespace tessary::receipts
