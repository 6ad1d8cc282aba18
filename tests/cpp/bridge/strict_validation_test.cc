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

TEST(CodedMessage, Classification) {
  const std::string strategies = "most_recent, most_complete, source_priority, aggregate, custom";
  struct Row {
    std::string message;
    std::optional<uint64_t> line;
    std::string coded;
  };
  const std::vector<Row> rows = {
      // Unknown enumeration values.
      {"unknown variant `Max`, expected one of `most_recent`, `most_complete`, `source_priority`, `aggregate`, "
       "`custom` at line 7 column 3",
       7, "VTL-E201: Invalid survivorship strategy 'Max' (line 7). Valid: " + strategies},
      {"unknown variant `Custom`, expected one of `weighted_sum`, `ml_ensemble`, `custom`, `fellegi_sunter`",
       std::nullopt, "VTL-E201: Invalid survivorship strategy 'Custom'. Valid: " + strategies},
      {"unknown variant `LSH`, expected one of `single`, `composite`, `lsh`, `ml_predicted`", 3,
       "VTL-E101: Invalid value 'LSH' (line 3). Valid options: `single`, `composite`, `lsh`, `ml_predicted`"},
      {"unknown variant `q`, expected one of `a`, `b`. \t.", std::nullopt,
       "VTL-E101: Invalid value 'q'. Valid options: `a`, `b`"},
      {"unknown variant `AND`, expected `and` or `or`", 2, "VTL-E100: unknown variant `AND`, expected `and` or `or`"},
      {"unknown variant `open", 2, "VTL-E100: unknown variant `open"},
      // Only a message that starts with the opening counts; a path in front falls through.
      {"decision.conflict_strategy: unknown variant `newest`, expected one of `prefer_high_confidence`, "
       "`prefer_recent`, `manual_review` at line 35 column 22",
       35,
       "VTL-E100: decision.conflict_strategy: unknown variant `newest`, expected one of `prefer_high_confidence`, "
       "`prefer_recent`, `manual_review` at line 35 column 22"},
      // Missing keys.
      {"missing field `api_version`", 1,
       "VTL-E102: Missing required field 'api_version' (line 1). Add 'api_version: <value>' to your spec."},
      {"decision: missing field `thresholds` at line 31 column 3", 31,
       "VTL-E102: Missing required field 'thresholds' (line 31). Add 'thresholds: <value>' to your spec."},
      {"missing field ``", std::nullopt, "VTL-E102: Missing required field ''. Add ': <value>' to your spec."},
      {"survivorship.overrides[0]: missing field `field` in SurvivorshipOverride", 9,
       "VTL-E203: Each survivorship override needs a 'field' name (line 9)."},
      {"survivorship.overrides[0]: missing field `field` at line 9 column 7", 9,
       "VTL-E102: Missing required field 'field' (line 9). Add 'field: <value>' to your spec."},
      {"missing field `open", std::nullopt, "VTL-E100: missing field `open"},
      // Unknown keys, with and without a suggestion.
      {"unknown field `nmae`, expected one of `name`, `description`", 4,
       "VTL-E103: Unknown field 'nmae' (line 4). Did you mean 'name'?"},
      {"unknown field `ab`, expected one of `abc`, `abd`", std::nullopt,
       "VTL-E103: Unknown field 'ab'. Did you mean 'abc'?"},
      {"unknown field `abcd`, expected one of `abxy`, `abcx`", std::nullopt,
       "VTL-E103: Unknown field 'abcd'. Did you mean 'abcx'?"},
      {"unknown field `NAME`, expected one of `Other`, `name`", std::nullopt,
       "VTL-E103: Unknown field 'NAME'. Did you mean 'name'?"},
      {"unknown field `zzzzz`, expected one of `name`, `type`.", 2,
       "VTL-E103: Unknown field 'zzzzz' (line 2). Expected one of: `name`, `type`"},
      {"unknown field `x` , expected one of ``` a ``, `b`", std::nullopt,
       "VTL-E103: Unknown field 'x'. Did you mean 'a'?"},
      // Full lower-casing: each dotted capital I becomes i and a combining dot.
      {"unknown field `\xC4\xB0\xC4\xB0\xC4\xB0`, expected one of `i\xCC\x87i\xCC\x87i\xCC\x87`", std::nullopt,
       "VTL-E103: Unknown field '\xC4\xB0\xC4\xB0\xC4\xB0'. Did you mean 'i\xCC\x87i\xCC\x87i\xCC\x87'?"},
      {"unknown field `x`", std::nullopt, "VTL-E100: unknown field `x`"},
      // Type errors and everything else.
      {"entity: invalid type: integer `7`, expected struct EntitySpec at line 4 column 9", 4,
       "VTL-E104: Type error (line 4) \u2014 entity: invalid type: integer `7`, expected struct EntitySpec at line 4 "
       "column 9"},
      {"invalid type: sequence, expected struct IdentitySpec", 1,
       "VTL-E104: Type error (line 1) \u2014 invalid type: sequence, expected struct IdentitySpec"},
      {"recursion limit exceeded at line 9 column 4", 9, "VTL-E100: recursion limit exceeded at line 9 column 4"},
      {"deserializing from YAML containing more than one document is not supported", std::nullopt,
       "VTL-E100: deserializing from YAML containing more than one document is not supported"},
  };
  for (const Row& r : rows) EXPECT_EQ(coded_message(r.message, r.line), r.coded) << r.message;
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
