// Any bytes: the reader must not crash, and whatever it accepts must survive
// writing and reading again unchanged, with the canonical text equal to the
// compact text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/jcs.hpp"
#include "formats/json_reader.hpp"
#include "formats/json_writer.hpp"

namespace json = tessary::formats::json;

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto prefix = json::parse_prefix(text);
  auto parsed = json::parse(text);
  if (!parsed) {
    const json::ParseError& error = parsed.error();
    check(error.line >= 1 && error.offset <= size && error.column <= error.offset);
    check(!error.to_string().empty());
    // parse fails where parse_prefix fails, or on what follows the value.
    check(!prefix || error.code == json::ErrorCode::TrailingCharacters);
    return 0;
  }
  check(prefix && prefix->first == *parsed && prefix->second <= size);

  const std::string compact = json::to_compact(*parsed);
  auto reparsed = json::parse(compact);
  check(reparsed.has_value());
  check(*reparsed == *parsed);
  check(json::to_compact(*reparsed) == compact);
  check(tessary::formats::jcs::canonical(*parsed) == compact);
  check(tessary::formats::jcs::sort(*parsed) == *parsed);
  return 0;
}
