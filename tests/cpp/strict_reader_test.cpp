// The strict receipt check: text beside the seal (members no record has,
// repeated keys, values the lenient reading drops) is refused and named by
// its path; the other forms of sealed content pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/json_reader.hpp"
#include "formats/json_writer.hpp"
#include "receipt_samples.hpp"
#include "receipts/json_adapter.hpp"
#include "receipts/strict_reader.hpp"

namespace json = tessary::formats::json;
namespace samples = tessary::receipts::samples;
using namespace tessary::receipts;

namespace {

// The receipt's own text with `key` set in the object at `path` (an array step by its index).
std::string with_member(const Receipt& receipt, std::initializer_list<std::string_view> path, std::string key, json::Value value = 1) {
  json::Value tree = json::parse(receipt_to_json(receipt).value()).value();
  json::Value* at = &tree;
  for (std::string_view step : path) at = at->is_array() ? &at->as_array()[std::stoul(std::string(step))] : at->as_object().find(step);
  at->as_object().insert(std::move(key), std::move(value));
  return json::to_compact(tree);
}

// `insert` spliced in just after the first occurrence of `after` in the receipt's text.
std::string spliced(const Receipt& receipt, std::string_view after, std::string_view insert) {
  std::string text = receipt_to_json(receipt).value();
  const std::size_t at = text.find(after);
  EXPECT_NE(at, std::string::npos) << after;
  return text.insert(at + after.size(), insert);
}

std::string with_attest(std::string text, std::string_view attest) { return text.replace(text.find("\"attest\":null"), 13, attest); }

Receipt execution_with_extras() {
  Receipt r = samples::execution();
  auto& p = std::get<ExecutionPayload>(r.payload);
  p.cdf_metadata = std::vector<CdfMetadata>{{3, "insert", "2025-01-17T12:00:00Z"}};
  p.input_locator_refs = std::vector<EncryptedLocatorRef>{{{1, 2}, samples::hash_of("a"), "age"}};
  return samples::sealed(r);
}

Receipt spend_justified() {
  Receipt r = samples::spend();
  std::get<SpendPayload>(r.payload).justification = ReuseJustification{0.5, 1.0, 1.0, 2.0, "reuse", "data", std::nullopt};
  return samples::sealed(r);
}

// The reported cases and everything the writer produces are the Python tests';
// agreeing with the lenient reading on what is no receipt at all, the fuzz target's.
TEST(StrictCheck, NamesTheFirstMemberOutsideTheSeal) {
  Receipt signed_settlement = samples::settlement();
  signed_settlement.sig = Signature{"ed25519", "kid:1", "c2ln"};
  const Receipt data_shape = samples::data_shape(), execution = samples::execution();
  const std::pair<std::string, std::string> cases[] = {
      {spliced(execution, "{", "\"r\\u0069d\":\"x\","), "repeated member rid"},
      // Payload members depend on the kind; nested records and arrays of records.
      {with_member(data_shape, {"payload"}, "trace_id"), "unknown member payload.trace_id"},
      {with_member(samples::method_shape(), {"payload", "nodes", "1"}, "weight"), "unknown member payload.nodes[1].weight"},
      {with_member(samples::reasoning_shape(), {"payload", "quality"}, "x"), "unknown member payload.quality.x"},
      {with_member(execution_with_extras(), {"payload", "input_locator_refs", "0"}, "key"), "unknown member payload.input_locator_refs[0].key"},
      {with_member(execution_with_extras(), {"payload", "cdf_metadata", "0"}, "z"), "unknown member payload.cdf_metadata[0].z"},
      {with_member(spend_justified(), {"payload", "pointers"}, "q"), "unknown member payload.pointers.q"},
      {with_member(spend_justified(), {"payload", "justification"}, "q"), "unknown member payload.justification.q"},
      {with_member(execution, {"payload"}, "a.b"), "unknown member payload.\"a.b\""},
      {with_member(signed_settlement, {"sig"}, "note"), "unknown member sig.note"},
      // Repeats at depth, inside free-form items too, the first in text order.
      {spliced(execution, "\"roots\":{", "\"trace_seq_root\":null,"), "repeated member payload.roots.trace_seq_root"},
      {spliced(samples::method_shape(), "\"nodes\":[{\"id\":\"n1\",", "\"id\":\"n0\","), "repeated member payload.nodes[0].id"},
      {with_attest(receipt_to_json(data_shape).value(), R"("attest":{"a":[{"b":1,"b":2}]})"), "repeated member attest.a[0].b"},
      {with_attest(spliced(data_shape, "\"ctx\":{", "\"nonce\":null,\"nonce\":null,"), R"("attest":{"a":1,"a":1})"),
       "repeated member ctx.nonce"},
      // Values the lenient reading drops.
      {with_member(data_shape, {}, "links", "x"), "unsealed member links"},
      {with_member(data_shape, {}, "sig", json::Object{{"alg", "a"}, {"kid", "k"}}), "unsealed member sig"},
      // Sealed whole, or other forms of sealed content.
      {with_member(data_shape, {}, "attest", json::Object{{"anything", json::Object{{"deep", 1}}}}), "ok"},
      {with_member(samples::settlement(), {"payload"}, "cash_instr", json::Object{{"iban", "x"}}), "ok"},
      {with_member(samples::settlement(), {"payload", "net_positions"}, "carol", 0.0), "ok"},
      {with_member(execution, {"payload"}, "pac", nullptr), "ok"},
      {with_member(execution, {}, "ctx", json::Array{nullptr, "2025-01-17T12:00:00Z", nullptr, "strict", nullptr}), "ok"},
      {with_member(execution, {"payload"}, "roots", json::Array{"a", "b", nullptr}), "ok"},
      {spliced(data_shape, "\"links\":[", "\"{00000000-0000-4000-8000-000000000000}\""), "ok"},
  };
  for (const auto& [text, expected] : cases) {
    auto checked = check_strict(text);
    EXPECT_EQ(checked ? "ok" : checked.error().to_string(), expected) << text;
  }
}

TEST(StrictCheck, RepeatsOnlyMatterToTheStrictReader) {
  // The lenient reading keeps its last-one-wins rule; the strict one names the path.
  const std::string text = R"({"a":[0,{"b":{"c":1,"c":2}}]})";
  EXPECT_TRUE(json::parse(text));
  std::vector<json::PathStep> path;
  auto parsed = json::parse_prefix_unique_keys(text, path);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().to_string(), "repeated key at line 1 column 23");
  EXPECT_EQ(path, (std::vector<json::PathStep>{{"a"}, {{}, 1, true}, {"b"}, {"c"}}));
  EXPECT_FALSE(json::parse_prefix_unique_keys(R"({"\u0061":{"c":1,"\u0063":2}})", path));
  EXPECT_EQ(path, (std::vector<json::PathStep>{{"a"}, {"c"}}));
  // Equal keys in sibling objects are no repeat, and a later failure leaves no path.
  EXPECT_TRUE(json::parse_prefix_unique_keys(R"([{"c":1},{"c":2},{"d":{"c":3}}])", path));
  EXPECT_FALSE(json::parse_prefix_unique_keys(R"({"c":{"c":1},"d":})", path));
  EXPECT_TRUE(path.empty());
}

}  // namespace
