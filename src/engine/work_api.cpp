#include "engine/work_api.hpp"

#include "formats/jcs.hpp"
#include "formats/rfc3339.hpp"
#include "formats/sha256.hpp"
#include "formats/uuid.hpp"
#include "receipts/validation.hpp"

namespace tessary::engine {

namespace {

constexpr std::string_view kVersion = "0.1.0";
constexpr std::string_view kDefaultTrace = "trace:00000000-0000-0000-0000-000000000001";

// The identity root commits to a single zero byte: the same for every recording.
const std::string& identity_root() {
  static const std::string root = formats::sha256_prefixed(std::string_view("\0", 1));
  return root;
}

std::string join_spans(std::span<const std::string> spans) {
  std::string joined;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    if (i > 0) joined += '|';
    joined += spans[i];
  }
  return joined;
}

}  // namespace

std::expected<receipts::Receipt, ApiError> record_work(std::string_view workload_id, const formats::json::Value& payload,
                                                       std::span<const std::string>,
                                                       const std::optional<std::string>& trace_id,
                                                       const std::optional<std::string>& parent_id) {
  receipts::Receipt r;
  // Neither failure below can be worked around by the caller's input; they are
  // reported rather than producing a receipt with a weak identifier or a wrong time.
  auto rid = formats::uuid::new_v4();
  if (!rid) return std::unexpected(ApiError{ApiError::Kind::Serialization, rid.error().to_string()});
  r.rid = *rid;
  auto timestamp = formats::rfc3339::format_utc_now();
  if (!timestamp) return std::unexpected(ApiError{ApiError::Kind::Serialization, timestamp.error().to_string()});

  const std::string data_hash = formats::sha256_prefixed(formats::jcs::canonical(payload));
  std::string method_input;
  method_input.reserve(9 + workload_id.size());
  method_input.append("workload:").append(workload_id);

  receipts::ExecutionPayload exec;
  exec.trace_id = trace_id ? *trace_id : std::string(kDefaultTrace);
  exec.method_ref.method_id = std::string(workload_id);
  exec.method_ref.version = std::string(kVersion);
  exec.method_ref.method_shape_root = formats::sha256_prefixed(method_input);
  exec.data_shape_hash = data_hash;
  exec.span_commitments = {data_hash};
  const std::string spans_root = formats::sha256_prefixed(join_spans(exec.span_commitments));
  exec.roots.trace_set_root = spans_root;
  exec.roots.identity_root = identity_root();
  exec.roots.trace_seq_root = spans_root;
  if (parent_id) {
    if (auto parent = formats::uuid::parse(*parent_id)) {
      exec.prev_execution_rid = *parent;
      r.links.push_back(*parent);
    }
  }

  r.version = std::string(kVersion);
  r.kind = receipts::ReceiptKind::Execution;
  r.dom = data_hash;
  r.cod = spans_root;
  r.ctx.timestamp = std::move(*timestamp);
  r.ctx.determinism = receipts::DeterminismClass::Observational;
  r.payload = std::move(exec);

  auto hash = r.compute_hash();
  if (!hash) return std::unexpected(ApiError{ApiError::Kind::Hash, hash.error().to_string()});
  r.hash = std::move(*hash);
  return r;
}

std::expected<bool, ApiError> verify_receipt(const receipts::Receipt& receipt) {
  auto hash = receipt.compute_hash();
  if (!hash) return std::unexpected(ApiError{ApiError::Kind::Hash, hash.error().to_string()});
  if (*hash != receipt.hash) return false;
  auto valid = receipts::validate(receipt);
  if (!valid) return std::unexpected(ApiError{ApiError::Kind::Validation, valid.error().to_string()});
  return true;
}

}  // namespace tessary::engine
