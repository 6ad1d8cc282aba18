#include "python/bridge/strict_validation.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tooling/validator.h"

namespace vintrel_bridge {
namespace {

TEST(EditDistance, CountsCodePoints) {
  struct Row {
    std::string a, b;
    size_t distance;
  };
  const std::vector<Row> rows = {
      {"", "", 0},          {"", "abc", 3},          {"abc", "", 3},      {"kitten", "sitting", 3},
      {"flaw", "lawn", 2},  {"name", "name", 0},     {"\xC3\xA9", "e", 1}, {"日本", "日本語", 1},
      {"abc", "cab", 2},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(edit_distance(r.a, r.b), r.distance) << r.a << " / " << r.b;
    EXPECT_EQ(edit_distance(r.b, r.a), r.distance) << r.b << " / " << r.a;
  }
}

// A failure as the reader reports it: message, kind with its offending text, and where.
osmira_base::Error failure(std::string message, osmira_base::ErrorKind kind, std::string subject,
                           std::string detail, std::optional<uint64_t> line, std::string path = {}) {
  osmira_base::Error e(std::move(message));
  e.set_kind(kind, std::move(subject), std::move(detail));
  if (line) e.set_location(osmira_base::ErrorLocation{*line, 1, 0, std::move(path)});
  return e;
}

TEST(CodedMessage, Classification) {
  using K = osmira_base::ErrorKind;
  const std::string strategies = "most_recent, most_complete, source_priority, aggregate, custom";
  const std::string kStrategyList =
      "one of `most_recent`, `most_complete`, `source_priority`, `aggregate`, `custom`";
  struct Row {
    osmira_base::Error error;
    std::string coded;
  };
  const std::vector<Row> rows = {
      // Unknown enumeration values.
      {failure("unknown variant `Max`, expected " + kStrategyList + " at line 7 column 3", K::kUnknownVariant, "Max",
               kStrategyList, 7),
       "VTL-E201: Invalid survivorship strategy 'Max' (line 7). Valid: " + strategies},
      {failure("unknown variant `Custom`, expected one of `weighted_sum`, `ml_ensemble`, `custom`, `fellegi_sunter`",
               K::kUnknownVariant, "Custom", "one of `weighted_sum`, `ml_ensemble`, `custom`, `fellegi_sunter`",
               std::nullopt),
       "VTL-E201: Invalid survivorship strategy 'Custom'. Valid: " + strategies},
      {failure("unknown variant `LSH`, expected one of `single`, `composite`, `lsh`, `ml_predicted`",
               K::kUnknownVariant, "LSH", "one of `single`, `composite`, `lsh`, `ml_predicted`", 3),
       "VTL-E101: Invalid value 'LSH' (line 3). Valid options: `single`, `composite`, `lsh`, `ml_predicted`"},
      {failure("unknown variant `q`, expected one of `a`, `b`. \t.", K::kUnknownVariant, "q", "one of `a`, `b`. \t.",
               std::nullopt),
       "VTL-E101: Invalid value 'q'. Valid options: `a`, `b`"},
      {failure("unknown variant `AND`, expected `and` or `or`", K::kUnknownVariant, "AND", "`and` or `or`", 2),
       "VTL-E100: unknown variant `AND`, expected `and` or `or`"},
      {failure("unknown variant `open", K::kOther, "", "", 2), "VTL-E100: unknown variant `open"},
      // Only an unknown variant of the root counts; one with a path in front falls through.
      {failure("decision.conflict_strategy: unknown variant `newest`, expected one of `prefer_high_confidence`, "
               "`prefer_recent`, `manual_review` at line 35 column 22",
               K::kUnknownVariant, "newest", "one of `prefer_high_confidence`, `prefer_recent`, `manual_review`", 35,
               "decision.conflict_strategy"),
       "VTL-E100: decision.conflict_strategy: unknown variant `newest`, expected one of `prefer_high_confidence`, "
       "`prefer_recent`, `manual_review` at line 35 column 22"},
      // Missing keys.
      {failure("missing field `api_version`", K::kMissingField, "api_version", "", 1),
       "VTL-E102: Missing required field 'api_version' (line 1). Add 'api_version: <value>' to your spec."},
      {failure("decision: missing field `thresholds` at line 31 column 3", K::kMissingField, "thresholds", "", 31,
               "decision"),
       "VTL-E102: Missing required field 'thresholds' (line 31). Add 'thresholds: <value>' to your spec."},
      {failure("missing field ``", K::kMissingField, "", "", std::nullopt),
       "VTL-E102: Missing required field ''. Add ': <value>' to your spec."},
      {failure("survivorship.overrides[0]: missing field `field` in SurvivorshipOverride", K::kMissingField, "field",
               "SurvivorshipOverride", 9, "survivorship.overrides[0]"),
       "VTL-E203: Each survivorship override needs a 'field' name (line 9)."},
      {failure("survivorship.overrides[0]: missing field `field` at line 9 column 7", K::kMissingField, "field", "", 9,
               "survivorship.overrides[0]"),
       "VTL-E102: Missing required field 'field' (line 9). Add 'field: <value>' to your spec."},
      {failure("missing field `open", K::kOther, "", "", std::nullopt), "VTL-E100: missing field `open"},
      // Unknown keys, with and without a suggestion.
      {failure("unknown field `nmae`, expected one of `name`, `description`", K::kUnknownField, "nmae",
               "one of `name`, `description`", 4),
       "VTL-E103: Unknown field 'nmae' (line 4). Did you mean 'name'?"},
      {failure("unknown field `ab`, expected one of `abc`, `abd`", K::kUnknownField, "ab", "one of `abc`, `abd`",
               std::nullopt),
       "VTL-E103: Unknown field 'ab'. Did you mean 'abc'?"},
      {failure("unknown field `abcd`, expected one of `abxy`, `abcx`", K::kUnknownField, "abcd",
               "one of `abxy`, `abcx`", std::nullopt),
       "VTL-E103: Unknown field 'abcd'. Did you mean 'abcx'?"},
      {failure("unknown field `NAME`, expected one of `Other`, `name`", K::kUnknownField, "NAME",
               "one of `Other`, `name`", std::nullopt),
       "VTL-E103: Unknown field 'NAME'. Did you mean 'name'?"},
      {failure("unknown field `zzzzz`, expected one of `name`, `type`.", K::kUnknownField, "zzzzz",
               "one of `name`, `type`.", 2),
       "VTL-E103: Unknown field 'zzzzz' (line 2). Expected one of: `name`, `type`"},
      {failure("unknown field `x` , expected one of ``` a ``, `b`", K::kUnknownField, "x", "one of ``` a ``, `b`",
               std::nullopt),
       "VTL-E103: Unknown field 'x'. Did you mean 'a'?"},
      // Full lower-casing: each dotted capital I becomes i and a combining dot.
      {failure("unknown field `\xC4\xB0\xC4\xB0\xC4\xB0`, expected one of `i\xCC\x87i\xCC\x87i\xCC\x87`",
               K::kUnknownField, "\xC4\xB0\xC4\xB0\xC4\xB0", "one of `i\xCC\x87i\xCC\x87i\xCC\x87`", std::nullopt),
       "VTL-E103: Unknown field '\xC4\xB0\xC4\xB0\xC4\xB0'. Did you mean 'i\xCC\x87i\xCC\x87i\xCC\x87'?"},
      {failure("unknown field `x`", K::kUnknownField, "x", "", std::nullopt), "VTL-E100: unknown field `x`"},
      {failure("a: unknown field `nmae`, expected one of `name`", K::kUnknownField, "nmae", "one of `name`", 4, "a"),
       "VTL-E100: a: unknown field `nmae`, expected one of `name`"},
      // Type errors and everything else.
      {failure("entity: invalid type: integer `7`, expected struct EntitySpec at line 4 column 9", K::kInvalidType,
               "integer `7`", "struct EntitySpec", 4, "entity"),
       "VTL-E104: Type error (line 4) \u2014 entity: invalid type: integer `7`, expected struct EntitySpec at line 4 "
       "column 9"},
      {failure("invalid type: sequence, expected struct IdentitySpec", K::kInvalidType, "sequence",
               "struct IdentitySpec", 1),
       "VTL-E104: Type error (line 1) \u2014 invalid type: sequence, expected struct IdentitySpec"},
      {failure("recursion limit exceeded at line 9 column 4", K::kOther, "", "", 9),
       "VTL-E100: recursion limit exceeded at line 9 column 4"},
      {failure("deserializing from YAML containing more than one document is not supported", K::kOther, "", "",
               std::nullopt),
       "VTL-E100: deserializing from YAML containing more than one document is not supported"},
      // The kind decides, not the wording: a message that merely reads like another kind.
      {failure("unknown variant `a`, expected one of `b`, `c`", K::kOther, "", "", 1),
       "VTL-E100: unknown variant `a`, expected one of `b`, `c`"},
      {failure("x: invalid value: string \"missing field `y`\", expected null", K::kOther, "", "", 2, "x"),
       "VTL-E100: x: invalid value: string \"missing field `y`\", expected null"},
      {failure("x: invalid type: string \"missing field `y`\", expected a boolean", K::kInvalidType,
               "string \"missing field `y`\"", "a boolean", 2, "x"),
       "VTL-E104: Type error (line 2) \u2014 x: invalid type: string \"missing field `y`\", expected a boolean"},
  };
  for (const Row& r : rows) EXPECT_EQ(coded_message(r.error), r.coded) << r.error.message();
}

constexpr const char* kReadable =
    "api_version: vintrel/v1\nidentity_version: '1'\nentity: {name: person}\n"
    "sources: {crm: {adapter: postgres, location: t, primary_key: id}}\n"
    "rules:\n  - {type: exact, name: email, field: email}\n"
    "decision: {thresholds: {match: 0.9, review: 0.5}}\n";

TEST(ValidateStrict, AppendsOneCodedMessageAfterTheValidationMessages) {
  // Readable: exactly the ordinary validation messages.
  auto plain = vintrel_core::validate_yaml(kReadable);
  auto strict = validate_strict(kReadable);
  ASSERT_TRUE(plain.ok());
  ASSERT_TRUE(strict.ok());
  EXPECT_EQ(*strict, *plain);

  // Not readable as the typed spec: the same messages and one coded message last.
  const std::string unreadable = std::string(kReadable) + "survivorship: {overrides: [{strategy: custom}]}\n";
  auto plain2 = vintrel_core::validate_yaml(unreadable);
  auto strict2 = validate_strict(unreadable);
  ASSERT_TRUE(plain2.ok());
  ASSERT_TRUE(strict2.ok());
  ASSERT_EQ(strict2->size(), plain2->size() + 1);
  EXPECT_TRUE(std::equal(plain2->begin(), plain2->end(), strict2->begin()));
  EXPECT_EQ(strict2->back(),
            "VTL-E102: Missing required field 'field' (line 8). Add 'field: <value>' to your spec.");

  const std::string bad_type = std::string(kReadable) + "governance: {require_schema: 1}\n";
  auto strict3 = validate_strict(bad_type);
  ASSERT_TRUE(strict3.ok());
  EXPECT_EQ(strict3->back(),
            "VTL-E104: Type error (line 8) \u2014 governance.require_schema: invalid type: integer `1`, expected a "
            "boolean at line 8 column 30");

  // Text that is not YAML fails as the ordinary validation does.
  auto broken = validate_strict("a: [1, 2\n");
  auto broken_plain = vintrel_core::validate_yaml("a: [1, 2\n");
  ASSERT_FALSE(broken.ok());
  ASSERT_FALSE(broken_plain.ok());
  EXPECT_EQ(broken.error().message(), broken_plain.error().message());
}

}  // namespace
}  // namespace vintrel_bridge
