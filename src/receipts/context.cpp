#include "receipts/context.hpp"

#include <cstddef>

namespace tessary::receipts {

namespace {
constexpr std::array<std::string_view, 3> kWire = {"strict", "bounded", "observational"};
}

std::string_view wire_string(DeterminismClass determinism) {
  return kWire[static_cast<std::size_t>(determinism) % kWire.size()];
}

std::optional<DeterminismClass> parse_determinism(std::string_view wire) {
  for (std::size_t i = 0; i < kWire.size(); ++i) {
    if (kWire[i] == wire) return static_cast<DeterminismClass>(i);
  }
  return std::nullopt;
}

}  // namespace tessary::receipts
