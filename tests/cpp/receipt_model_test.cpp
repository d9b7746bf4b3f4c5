// Kinds, determinism classes, error texts and record metadata.
#include <gtest/gtest.h>

#include <string>

#include "receipts/receipt.hpp"

namespace tessary::receipts {
namespace {

TEST(ReceiptModel, KindsRoundTripThroughTheirWireStrings) {
  const char* display[] = {"DataShape", "MethodShape", "ReasoningShape", "Execution", "Spend", "Settlement"};
  const char* records[] = {"DataShapePayload", "MethodShapePayload", "ReasoningShapePayload",
                           "ExecutionPayload", "SpendPayload",       "SettlementPayload"};
  for (std::size_t i = 0; i < kAllReceiptKinds.size(); ++i) {
    const ReceiptKind kind = kAllReceiptKinds[i];
    EXPECT_EQ(parse_receipt_kind(wire_string(kind)), kind);
    EXPECT_EQ(display_name(kind), display[i]);
    EXPECT_EQ(payload_record_name(kind), records[i]);
  }
  EXPECT_EQ(wire_string(ReceiptKind::ReasoningShape), "reasoning_shape");
  for (const char* bad : {"Execution", "execution ", "", "data-shape"}) EXPECT_FALSE(parse_receipt_kind(bad)) << bad;

  EXPECT_EQ(parse_determinism("observational"), DeterminismClass::Observational);
  EXPECT_EQ(wire_string(DeterminismClass::Bounded), "bounded");
  EXPECT_FALSE(parse_determinism("Strict"));
  EXPECT_EQ(payload_kind(Payload{ExecutionPayload{}}), ReceiptKind::Execution);
  EXPECT_EQ(payload_kind(Payload{SettlementPayload{}}), ReceiptKind::Settlement);
}

TEST(ReceiptModel, ErrorDisplayTexts) {
  using V = ValidationError;
  EXPECT_EQ((V{V::HashMismatch{"a", "b"}}).to_string(), "Hash mismatch: expected a, computed b");
  EXPECT_EQ((V{V::InvalidHashFormat{"x"}}).to_string(), "Invalid hash format: x (must match ^sha256:[0-9a-f]{64}$)");
  EXPECT_EQ((V{V::SchemaViolation{"m"}}).to_string(), "Schema violation: m");
  EXPECT_EQ((V{V::MissingField{"rid"}}).to_string(), "Missing required field: rid");
  EXPECT_EQ((V{V::InvalidValue{"m"}}).to_string(), "Invalid value: m");
  EXPECT_EQ((V{V::Serialization{"m"}}).to_string(), "Serialization error: m");
}

// The array-form length message quotes `expectation`; it must name the record
// and its real field count.
template <class Record>
void expect_consistent(const char* name) {
  EXPECT_EQ(Record::expectation, "struct " + std::string(name) + " with " + std::to_string(Record::fields.size()) + " elements");
}

#define CONSISTENT(Record) expect_consistent<Record>(#Record)
TEST(ReceiptModel, ExpectationTextsMatchFieldTables) {
  CONSISTENT(DataShapePayload), CONSISTENT(MethodShapePayload), CONSISTENT(MethodNodeRef), CONSISTENT(Edge);
  CONSISTENT(ReasoningShapePayload), CONSISTENT(ReasoningNodeRef), CONSISTENT(ReasoningQuality);
  CONSISTENT(ExecutionPayload), CONSISTENT(MethodRef), CONSISTENT(ExecutionRoots), CONSISTENT(CdfMetadata);
  CONSISTENT(EncryptedLocatorRef), CONSISTENT(SpendPayload), CONSISTENT(ResourceVector), CONSISTENT(SpendPointers);
  CONSISTENT(ReuseJustification), CONSISTENT(SettlementPayload), CONSISTENT(Context);
}
#undef CONSISTENT

}  // namespace
}  // namespace tessary::receipts
