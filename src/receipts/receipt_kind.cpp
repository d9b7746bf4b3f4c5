#include "receipts/receipt_kind.hpp"

#include <cstddef>

namespace tessary::receipts {

namespace {

constexpr std::array<std::string_view, 6> kWire = {"data_shape", "method_shape", "reasoning_shape",
                                                   "execution",  "spend",        "settlement"};
constexpr std::array<std::string_view, 6> kDisplay = {"DataShape", "MethodShape", "ReasoningShape",
                                                      "Execution", "Spend",       "Settlement"};
constexpr std::array<std::string_view, 6> kRecord = {"DataShapePayload", "MethodShapePayload", "ReasoningShapePayload",
                                                     "ExecutionPayload", "SpendPayload",       "SettlementPayload"};

std::size_t index_of(ReceiptKind kind) { return static_cast<std::size_t>(kind) % kWire.size(); }

}  // namespace

std::string_view wire_string(ReceiptKind kind) { return kWire[index_of(kind)]; }
std::string_view display_name(ReceiptKind kind) { return kDisplay[index_of(kind)]; }
std::string_view payload_record_name(ReceiptKind kind) { return kRecord[index_of(kind)]; }

std::optional<ReceiptKind> parse_receipt_kind(std::string_view wire) {
  for (std::size_t i = 0; i < kWire.size(); ++i) {
    if (kWire[i] == wire) return static_cast<ReceiptKind>(i);
  }
  return std::nullopt;
}

}  // namespace tessary::receipts
