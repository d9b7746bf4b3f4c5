#pragma once
// Compact JSON text: no whitespace; strings escaped minimally (\" \\ \b \t \n
// \f \r, any other byte below 0x20 as \u00xx in lower case, everything else
// raw UTF-8, "/" and 0x7F included); integers in decimal; floats by
// format_f64 (float_text.hpp). Objects come out in key order because the
// value tree keeps them so, which makes this text canonical as it stands.
#include <string>
#include <string_view>

#include "formats/json_value.hpp"

namespace tessary::formats::json {

// Appends the text of `value` to `out`.
void write_compact(const Value& value, std::string& out);
std::string to_compact(const Value& value);

// Appends `text` as a quoted, escaped JSON string.
void write_string(std::string_view text, std::string& out);

}  // namespace tessary::formats::json
