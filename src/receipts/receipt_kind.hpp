#pragma once
// The closed set of receipt kinds. Wire strings are the only forms accepted in
// data; display names appear in diagnostics only.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessary::receipts {

enum class ReceiptKind : std::uint8_t { DataShape, MethodShape, ReasoningShape, Execution, Spend, Settlement };

inline constexpr std::array<ReceiptKind, 6> kAllReceiptKinds = {
    ReceiptKind::DataShape, ReceiptKind::MethodShape, ReceiptKind::ReasoningShape,
    ReceiptKind::Execution, ReceiptKind::Spend,       ReceiptKind::Settlement,
};

// "data_shape", "method_shape", "reasoning_shape", "execution", "spend", "settlement".
std::string_view wire_string(ReceiptKind kind);
// "DataShape" ... "Settlement".
std::string_view display_name(ReceiptKind kind);
// The payload record a kind carries: "DataShapePayload" ... "SettlementPayload".
std::string_view payload_record_name(ReceiptKind kind);
// Exact, case-sensitive match against the six wire strings.
std::optional<ReceiptKind> parse_receipt_kind(std::string_view wire);

}  // namespace tessary::receipts
