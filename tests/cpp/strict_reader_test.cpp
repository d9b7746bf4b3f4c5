// The strict receipt check: text beside the seal (members no record has,
// repeated keys, values the lenient reading drops) is refused and named by
// its path; everything the writer produces, and the other sealed forms, pass.
#include <gtest/gtest.h>

#include <functional>
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

using Edit = std::function<void(json::Object&)>;

json::Object& object_at(json::Object& top, std::initializer_list<std::string_view> keys) {
  json::Object* object = &top;
  for (std::string_view key : keys) object = &object->find(key)->as_object();
  return *object;
}

// The receipt's own text with `edit` applied to its tree.
std::string edited(const Receipt& receipt, const Edit& edit) {
  json::Value tree = json::parse(receipt_to_json(receipt).value()).value();
  edit(tree.as_object());
  return json::to_compact(tree);
}

// `insert` spliced in just after the first occurrence of `after` in the receipt's text.
std::string spliced(const Receipt& receipt, std::string_view after, std::string_view insert) {
  std::string text = receipt_to_json(receipt).value();
  const std::size_t at = text.find(after);
  EXPECT_NE(at, std::string::npos) << after;
  text.insert(at + after.size(), insert);
  return text;
}

std::string verdict(const std::string& text) {
  auto checked = check_strict(text);
  return checked ? "ok" : checked.error().to_string();
}

Receipt execution_with_extras() {
  Receipt r = samples::execution();
  auto& p = std::get<ExecutionPayload>(r.payload);
  p.cdf_metadata = std::vector<CdfMetadata>{{3, "insert", "2025-01-17T12:00:00Z"}};
  p.input_locator_refs = std::vector<EncryptedLocatorRef>{{{1, 2}, samples::hash_of("a"), "age"}};
  p.pac = Digest32{};
  return samples::sealed(r);
}

Receipt spend_justified() {
  Receipt r = samples::spend();
  std::get<SpendPayload>(r.payload).justification = ReuseJustification{0.5, 1.0, 1.0, 2.0, "reuse", "data", std::nullopt};
  return samples::sealed(r);
}

Receipt signed_settlement() {
  Receipt r = samples::settlement();
  r.sig = Signature{"ed25519", "kid:1", "c2ln"};
  return r;
}

struct Case {
  const char* name;
  std::function<std::string()> text;
  std::string expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class StrictCheck : public testing::TestWithParam<Case> {};

TEST_P(StrictCheck, NamesTheFirstMemberOutsideTheSeal) { EXPECT_EQ(verdict(GetParam().text()), GetParam().expected); }

const Case kCases[] = {
    // Written by the writer, every kind: nothing to refuse.
    {"data_shape", [] { return receipt_to_json(samples::data_shape()).value(); }, "ok"},
    {"method_shape", [] { return receipt_to_json(samples::method_shape()).value(); }, "ok"},
    {"reasoning_shape", [] { return receipt_to_json(samples::reasoning_shape()).value(); }, "ok"},
    {"execution", [] { return receipt_to_json(execution_with_extras()).value(); }, "ok"},
    {"spend", [] { return receipt_to_json(spend_justified()).value(); }, "ok"},
    {"settlement_signed", [] { return receipt_to_json(signed_settlement()).value(); }, "ok"},
    // The reported cases.
    {"top_level_note", [] { return edited(samples::execution(), [](json::Object& o) { o.insert("note", "hi"); }); },
     "unknown member note"},
    {"payload_rows_processed",
     [] { return edited(samples::execution(), [](json::Object& o) { object_at(o, {"payload"}).insert("rows_processed", 7); }); },
     "unknown member payload.rows_processed"},
    {"ctx_extra", [] { return edited(samples::execution(), [](json::Object& o) { object_at(o, {"ctx"}).insert("extra", 1); }); },
     "unknown member ctx.extra"},
    {"nonce_renamed", [] { return spliced(samples::execution(), "\"ctx\":{", "\"nonca\":\"n\","); }, "unknown member ctx.nonca"},
    {"fake_rid_first",
     [] { return spliced(samples::execution(), "{", "\"rid\":\"00000000-0000-4000-8000-000000000000\","); },
     "repeated member rid"},
    {"fake_payload_first", [] { return spliced(samples::execution(), "{", "\"payload\":{},"); }, "repeated member payload"},
    {"escaped_repeat", [] { return spliced(samples::execution(), "{", "\"r\\u0069d\":\"x\","); }, "repeated member rid"},
    // Payload members depend on the kind.
    {"other_kinds_member",
     [] { return edited(samples::data_shape(), [](json::Object& o) { object_at(o, {"payload"}).insert("trace_id", "t"); }); },
     "unknown member payload.trace_id"},
    // Nested records and arrays of records.
    {"array_of_records",
     [] { return edited(samples::method_shape(), [](json::Object& o) {
            object_at(o, {"payload"}).find("nodes")->as_array()[1].as_object().insert("weight", 2);
          }); },
     "unknown member payload.nodes[1].weight"},
    {"nested_record",
     [] { return edited(samples::reasoning_shape(), [](json::Object& o) { object_at(o, {"payload", "quality"}).insert("x", 1); }); },
     "unknown member payload.quality.x"},
    {"roots",
     [] { return edited(samples::execution(), [](json::Object& o) { object_at(o, {"payload", "roots"}).insert("y", 1); }); },
     "unknown member payload.roots.y"},
    {"locator_ref",
     [] { return edited(execution_with_extras(), [](json::Object& o) {
            object_at(o, {"payload"}).find("input_locator_refs")->as_array()[0].as_object().insert("key", "k");
          }); },
     "unknown member payload.input_locator_refs[0].key"},
    {"cdf_metadata",
     [] { return edited(execution_with_extras(), [](json::Object& o) {
            object_at(o, {"payload"}).find("cdf_metadata")->as_array()[0].as_object().insert("z", 0);
          }); },
     "unknown member payload.cdf_metadata[0].z"},
    {"spend_pointers",
     [] { return edited(spend_justified(), [](json::Object& o) { object_at(o, {"payload", "pointers"}).insert("q", 0); }); },
     "unknown member payload.pointers.q"},
    {"spend_justification",
     [] { return edited(spend_justified(), [](json::Object& o) { object_at(o, {"payload", "justification"}).insert("q", 0); }); },
     "unknown member payload.justification.q"},
    {"odd_key_quoted",
     [] { return edited(samples::execution(), [](json::Object& o) { object_at(o, {"payload"}).insert("a.b", 1); }); },
     "unknown member payload.\"a.b\""},
    {"signature_member",
     [] { return edited(signed_settlement(), [](json::Object& o) { object_at(o, {"sig"}).insert("note", "x"); }); },
     "unknown member sig.note"},
    // Repeats at depth, inside free-form items too, the first in text order.
    {"repeat_in_record", [] { return spliced(samples::execution(), "\"roots\":{", "\"trace_seq_root\":null,"); },
     "repeated member payload.roots.trace_seq_root"},
    {"repeat_in_array", [] { return spliced(samples::method_shape(), "\"nodes\":[{\"id\":\"n1\",", "\"id\":\"n0\","); },
     "repeated member payload.nodes[0].id"},
    {"repeat_in_attest",
     [] { std::string t = receipt_to_json(samples::data_shape()).value();
          return t.replace(t.find("\"attest\":null"), 13, "\"attest\":{\"a\":[{\"b\":1,\"b\":2}]}"); },
     "repeated member attest.a[0].b"},
    {"first_repeat_in_text_order",
     [] { std::string t = spliced(samples::data_shape(), "\"ctx\":{", "\"nonce\":null,\"nonce\":null,");
          return t.replace(t.find("\"attest\":null"), 13, "\"attest\":{\"a\":1,\"a\":1}"); },
     "repeated member ctx.nonce"},
    // Values the lenient reading drops.
    {"link_not_uuid", [] { return spliced(samples::data_shape(), "\"links\":[", "\"00000000-0000-4000-8000-000000000000\",7"); },
     "unsealed member links[1]"},
    {"links_not_list",
     [] { return edited(samples::data_shape(), [](json::Object& o) { o.insert("links", "x"); }); }, "unsealed member links"},
    {"sig_incomplete",
     [] { return edited(samples::data_shape(), [](json::Object& o) { o.insert("sig", json::Object{{"alg", "a"}, {"kid", "k"}}); }); },
     "unsealed member sig"},
    // Sealed whole, or other forms of sealed content.
    {"free_form_members",
     [] { return edited(samples::settlement(), [](json::Object& o) {
            o.insert("attest", json::Object{{"anything", json::Object{{"deep", 1}}}});
            object_at(o, {"payload"}).insert("cash_instr", json::Object{{"iban", "x"}});
            object_at(o, {"payload", "net_positions"}).insert("carol", 0.0);
          }); },
     "ok"},
    {"null_for_omitted_field",
     [] { return edited(samples::execution(), [](json::Object& o) { object_at(o, {"payload"}).insert("pac", nullptr); }); }, "ok"},
    {"positional_records",
     [] { return edited(samples::execution(), [](json::Object& o) {
            o.insert("ctx", json::Array{nullptr, "2025-01-17T12:00:00Z", nullptr, "strict", nullptr});
            object_at(o, {"payload"}).insert("roots", json::Array{"a", "b", nullptr});
          }); },
     "ok"},
    {"braced_uuid", [] { return spliced(samples::data_shape(), "\"links\":[", "\"{00000000-0000-4000-8000-000000000000}\""); }, "ok"},
    // Not a receipt at all: the lenient reading's own words.
    {"missing_hash", [] { return edited(samples::data_shape(), [](json::Object& o) { o.erase("hash"); }); },
     "JSON deserialization failed: missing field `hash`"},
    {"trailing", [] { return receipt_to_json(samples::data_shape()).value() + "}"; },
     "JSON deserialization failed: trailing characters at line 1 column 617"},
    {"not_json", [] { return std::string("{\"a\":"); }, "JSON deserialization failed: EOF while parsing a value at line 1 column 5"},
};

INSTANTIATE_TEST_SUITE_P(Receipts, StrictCheck, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

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
