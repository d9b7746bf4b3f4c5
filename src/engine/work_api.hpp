#pragma once
// Recording a unit of work as a sealed execution receipt, and verifying receipts.
#include "engine/api_error.hpp"
#include "formats/json_value.hpp"
#include "receipts/receipt.hpp"

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessary::engine {

// Builds and seals an execution receipt: a fresh version-4 rid, the payload's
// canonical JSON committed as `dom`, the workload as the method, the trace
// (default "trace:00000000-0000-0000-0000-000000000001"), the parent as a link
// when `parent_id` parses as a UUID, and the current UTC time. Tags are
// accepted and have no effect.
std::expected<receipts::Receipt, ApiError> record_work(std::string_view workload_id, const formats::json::Value& payload,
                                                       std::span<const std::string> tags,
                                                       const std::optional<std::string>& trace_id,
                                                       const std::optional<std::string>& parent_id);

// True when the stored hash equals the recomputed one and the receipt passes
// validation; false when the hashes differ; an error when hashing or
// validation fails.
std::expected<bool, ApiError> verify_receipt(const receipts::Receipt& receipt);

}  // namespace tessary::engine
