// The reading rules as a whole: the document, the value forms, the found texts, paths and
// positions, optional values, enumerations read directly, aliases, tags and the limits.
#include <cmath>
#include <string>
#include <vector>

#include "common/spec/spec_reader.h"
#include "spec_test_support.h"

namespace osmira_common::spec {
namespace {

using testing::expect_failure;
using testing::FailureCase;
using testing::make_spec;
using testing::read_ok;
using testing::spec_with;
using testing::SpecParts;
using testing::with_extra;

std::string with_entity(std::string entity) { return spec_with(&SpecParts::entity, std::move(entity)); }

TEST(SpecReader, DocumentFailures) {
  const std::vector<FailureCase> cases = {
      {"", "missing field `api_version`", "@1:1"},
      {"# only a comment\n", "missing field `api_version`", "@2:1"},
      {"- a\n- b\n", "invalid type: sequence, expected struct IdentitySpec", "@1:1"},
      {"~\n", "invalid type: unit value, expected struct IdentitySpec", "@1:1"},
      {"42\n", "invalid type: integer `42`, expected struct IdentitySpec", "@1:1"},
      {"identity_version: x\nentity: {name: p}\nsources: {}\n", "missing field `api_version`", "@1:1"},
      {"identity_version: x\nrules: []\nrules: []\n", "duplicate field `rules`", "@1:1"},
      {"API_VERSION: x\nidentity_version: x\nentity: {name: p}\nsources: {}\ndecision: {thresholds: {match: 1}}\n",
       "missing field `api_version`", "@1:1"},
      {"# a comment first\napi_version: x\n", "missing field `identity_version`", "@2:1"},
      {make_spec({}) + "---\n" + make_spec({}),
       "deserializing from YAML containing more than one document is not supported", ""},
      {make_spec({}) + "...\n" + make_spec({}),
       "deserializing from YAML containing more than one document is not supported", ""},
      {"api_version: x\n---\n" + make_spec({}), "missing field `identity_version`", "@1:1"},
      // A reading failure before a syntax error wins over it.
      {"api_version: [a]\nx: [1, 2\n", "api_version: invalid type: sequence, expected a string", "|[a]"},
      {"x: *nowhere\n", "unknown anchor", "|*nowhere"},
      {with_extra("relations: [*m]\nx: &m {name: a}\n"), "unknown anchor", "[|*m]"},
  };
  for (const auto& c : cases) expect_failure(c);
}

// What a failure carries besides its message: the kind, the offending text and what was
// expected, and the location with the path that the message names.
TEST(SpecReader, FailuresCarryTheirKindAndPlace) {
  using K = osmira_base::ErrorKind;
  struct Row {
    std::string yaml;
    K kind;
    std::string subject;
    std::string detail;
    std::string path;
    uint64_t line;
    uint64_t column;
  };
  const std::string kStrategies =
      "one of `most_recent`, `most_complete`, `source_priority`, `aggregate`, `custom`";
  const std::vector<Row> rows = {
      {"", K::kMissingField, "api_version", "", "", 1, 1},
      {"# c\napi_version: x\n", K::kMissingField, "identity_version", "", "", 2, 1},
      {spec_with(&SpecParts::decision, "{}"), K::kMissingField, "thresholds", "", "decision", 5, 11},
      {with_extra("rules:\n  - {type: exact, field: email}\n"), K::kMissingField, "name", "", "rules", 7, 3},
      {with_extra("survivorship: {default: newest}\n"), K::kUnknownVariant, "newest", kStrategies,
       "survivorship.default", 6, 25},
      {with_extra("survivorship: {default: 'missing field `x`'}\n"), K::kUnknownVariant, "missing field `x`",
       kStrategies, "survivorship.default", 6, 25},
      {with_extra("relations: [{name: r, from_entity: a, to_entity: b, join_key: k, cardinality: lots}]\n"),
       K::kUnknownVariant, "lots", "one of `one_to_one`, `one_to_many`, `many_to_one`, `many_to_many`",
       "relations[0].cardinality", 6, 79},
      {spec_with(&SpecParts::decision, "{thresholds: {match: 0.9}, scoring: best}"), K::kUnknownVariant, "best",
       "one of `weighted_sum`, `ml_ensemble`, `custom`, `fellegi_sunter`", "decision", 5, 11},
      {with_extra("governance: {require_schema: 1}\n"), K::kInvalidType, "integer `1`", "a boolean",
       "governance.require_schema", 6, 30},
      {"- a\n", K::kInvalidType, "sequence", "struct IdentitySpec", "", 1, 1},
      {with_extra("governance: {require_schema: !!int x}\n"), K::kOther, "", "", "governance.require_schema", 6, 30},
      {with_extra("rules: []\nrules: []\n"), K::kOther, "", "", "", 1, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.yaml);
    SpecReadResult got = read_identity_spec(r.yaml);
    ASSERT_FALSE(got.ok());
    const osmira_base::Error& e = got.error();
    EXPECT_EQ(e.kind(), r.kind) << e.message();
    EXPECT_EQ(e.subject(), r.subject);
    EXPECT_EQ(e.detail(), r.detail);
    ASSERT_TRUE(e.location().has_value());
    EXPECT_EQ(e.location()->path, r.path);
    EXPECT_EQ(e.location()->line, r.line);
    EXPECT_EQ(e.location()->column, r.column);
    // The message names the same path in front of its body.
    if (!r.path.empty()) {
      EXPECT_TRUE(e.message().starts_with(r.path + ": ")) << e.message();
    }
  }
}

TEST(SpecReader, SyntaxErrorsCarryTheParserText) {
  SpecReadResult r = read_identity_spec(with_extra("x: [1, 2\n"));
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().message().find("while parsing a flow sequence"), std::string::npos)
      << r.error().message();
  ASSERT_TRUE(r.error().location().has_value());
  EXPECT_GE(r.error().location()->line, 6u);

  // A reader error (bad characters) has a byte offset but no line and column: no location.
  SpecReadResult control = read_identity_spec("api_version: \x01\n");
  ASSERT_FALSE(control.ok());
  EXPECT_EQ(control.error().message(), "control characters are not allowed at position 13");
  EXPECT_FALSE(control.error().location().has_value());

  SpecReadResult only_start = read_identity_spec("---\n");
  ASSERT_FALSE(only_start.ok());
  EXPECT_TRUE(only_start.error().message().starts_with("missing field `api_version`"));
}

TEST(SpecReader, RootTextsAndOptionalSections) {
  const IdentitySpec a = read_ok(
      "api_version: 1\nidentity_version: ~\nentity: {name: person}\nsources: {}\n"
      "decision: {thresholds: {match: 1}}\nmetadata:\nrules:\nexclusions:\n");
  EXPECT_EQ(a.api_version, "1");
  EXPECT_EQ(a.identity_version, "~");
  EXPECT_FALSE(a.metadata.has_value());
  EXPECT_TRUE(a.rules.empty());
  EXPECT_FALSE(a.exclusions.has_value());
  EXPECT_FALSE(a.reference_identifiers.has_value());
  EXPECT_FALSE(a.relations.has_value());
  EXPECT_FALSE(a.governance.has_value());
  EXPECT_FALSE(a.blocking.has_value());
  EXPECT_FALSE(a.survivorship.has_value());

  const IdentitySpec b = read_ok(
      "api_version: vintrel/v1\nidentity_version: 2.0\nentity: {name: person}\nsources: {}\n"
      "decision: {thresholds: {match: 1}}\nmetadata: {}\nexclusions: []\n"
      "governance: {required_tags: [pii]}\nextra: [1, {a: b}]\n<<: {x: 1}\n");
  EXPECT_EQ(b.identity_version, "2.0");
  EXPECT_EQ(read_ok("api_version: x\nidentity_version: 123\nentity: {name: p}\nsources: {}\n"
                    "decision: {thresholds: {match: 1}}\n").identity_version,
            "123");
  ASSERT_TRUE(b.metadata.has_value());
  EXPECT_FALSE(b.metadata->name.has_value());
  EXPECT_TRUE(b.metadata->tags.empty());
  ASSERT_TRUE(b.exclusions.has_value());
  EXPECT_TRUE(b.exclusions->empty());
  ASSERT_TRUE(b.governance.has_value());
  EXPECT_FALSE(b.governance->require_freshness);
  EXPECT_FALSE(b.governance->require_schema);
  EXPECT_FALSE(b.governance->log_probabilities);
  EXPECT_FALSE(b.governance->require_shadow_on_threshold_change);
  EXPECT_EQ(b.governance->required_tags, std::vector<std::string>{"pii"});

  const IdentitySpec c = read_ok(with_extra(
      "metadata: {name: crm, description: d, owner: o, tags: [a, 'b']}\n"
      "governance: {require_freshness: True, require_schema: FALSE, log_probabilities: true}\n"));
  EXPECT_EQ(c.metadata->name, "crm");
  EXPECT_EQ(c.metadata->owner, "o");
  EXPECT_EQ(c.metadata->tags, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(c.governance->require_freshness);
  EXPECT_FALSE(c.governance->require_schema);
  EXPECT_TRUE(c.governance->log_probabilities);
}

TEST(SpecReader, ValueFormFailures) {
  const std::string h = "{name: p, hierarchy: {parent_field: m, depth: ";
  const std::string c = "{name: p, compliance: {retention_days: ";
  auto depth = [&](std::string v) { return with_entity(h + v + "}}"); };
  auto days = [&](std::string v) { return with_entity(c + v + "}}"); };
  const std::string at_depth = "depth: |";
  const std::string at_days = "retention_days: |";
  const std::string d = "entity.hierarchy.depth: ";
  const std::string r = "entity.compliance.retention_days: ";
  const std::vector<FailureCase> cases = {
      {with_extra("governance: {require_schema: 1}\n"),
       "governance.require_schema: invalid type: integer `1`, expected a boolean", "require_schema: |1"},
      {with_extra("governance: {require_schema: yes}\n"),
       "governance.require_schema: invalid type: string \"yes\", expected a boolean", "require_schema: |yes"},
      {with_extra("governance: {require_schema: \"true\"}\n"),
       "governance.require_schema: invalid type: string \"true\", expected a boolean", "require_schema: |\""},
      {with_extra("governance: {require_schema: ~}\n"),
       "governance.require_schema: invalid type: unit value, expected a boolean", "require_schema: |~"},
      {with_extra("rules: ~\n"), "rules: invalid type: unit value, expected a sequence", "rules: |~"},
      {with_extra("metadata: {tags: x}\n"), "metadata.tags: invalid type: string \"x\", expected a sequence", "tags: |x"},
      {with_extra("metadata: {tags: [a, {b: c}]}\n"), "metadata.tags[1]: invalid type: map, expected a string", "{b"},
      {with_extra("metadata: [a]\n"), "metadata: invalid type: sequence, expected struct MetadataSpec", "metadata: |[a]"},
      {with_extra("metadata: {[a]: b}\n"), "metadata: invalid type: sequence, expected field identifier", "{|[a]"},
      {with_entity("{name: [a]}"), "entity.name: invalid type: sequence, expected a string", "name: |[a]"},
      {with_entity("7"), "entity: invalid type: integer `7`, expected struct EntitySpec", "entity: |7"},
      // Unsigned integers.
      {depth("256"), d + "invalid value: integer `256`, expected u8", at_depth},
      {depth("-1"), d + "invalid type: integer `-1`, expected u8", at_depth},
      {depth("007"), d + "invalid type: string \"007\", expected u8", at_depth},
      {depth("'5'"), d + "invalid type: string \"5\", expected u8", at_depth},
      {depth("5.0"), d + "invalid type: floating point `5.0`, expected u8", at_depth},
      {depth("~"), d + "invalid type: unit value, expected u8", at_depth},
      {depth("0x100"), d + "invalid value: integer `256`, expected u8", at_depth},
      {depth("18446744073709551616"), d + "invalid type: integer `18446744073709551616` as u128, expected u8", at_depth},
      {depth("-9223372036854775809"), d + "invalid type: integer `-9223372036854775809` as i128, expected u8", at_depth},
      {days("4294967296"), r + "invalid value: integer `4294967296`, expected u32", at_days},
      {days("-5"), r + "invalid type: integer `-5`, expected u32", at_days},
      // Found texts of floating-point numbers and strings.
      {depth("1e20"), d + "invalid type: floating point `100000000000000000000.0`, expected u8", at_depth},
      {depth("0.5"), d + "invalid type: floating point `0.5`, expected u8", at_depth},
      {depth("-1.0e-7"), d + "invalid type: floating point `-0.0000001`, expected u8", at_depth},
      {depth(".nan"), d + "invalid type: floating point `NaN`, expected u8", at_depth},
      {depth("-.inf"), d + "invalid type: floating point `-inf`, expected u8", at_depth},
      {depth("1e999"), d + "invalid type: string \"1e999\", expected u8", at_depth},
      {depth("\"q\\\"b\\\\s\\nn\\tt\\x01\""), d + "invalid type: string \"q\\\"b\\\\s\\nn\\tt\\u{1}\", expected u8", at_depth},
      {depth("true"), d + "invalid type: boolean `true`, expected u8", at_depth},
      {depth("{a: 1}"), d + "invalid type: map, expected u8", at_depth},
      // Floating-point numbers.
      {with_extra("blocking: {fallback: {sample_rate: '0.5'}}\n"),
       "blocking.fallback.sample_rate: invalid type: string \"0.5\", expected f64", "sample_rate: |'"},
      {with_extra("blocking: {fallback: {sample_rate: 1e999}}\n"),
       "blocking.fallback.sample_rate: invalid type: string \"1e999\", expected f64", "sample_rate: |1e"},
      {with_extra("blocking: {fallback: {sample_rate: 100000000000000000000}}\n"),
       "blocking.fallback.sample_rate: invalid type: integer `100000000000000000000` as u128, expected f64",
       "sample_rate: |1"},
  };
  for (const auto& fc : cases) expect_failure(fc);
}

TEST(SpecReader, AcceptedValueForms) {
  const IdentitySpec a = read_ok(with_entity(
      "{name: p, hierarchy: {parent_field: m, depth: 0x10}, compliance: {retention_days: 4294967295}}"));
  EXPECT_EQ(a.entity.hierarchy->depth, 16);
  EXPECT_EQ(a.entity.compliance->retention_days, 4294967295u);
  for (const auto& [text, depth] : std::vector<std::pair<std::string, int>>{
           {"255", 255}, {"+7", 7}, {"0o17", 15}, {"0b101", 5}, {"0", 0}}) {
    const IdentitySpec s = read_ok(with_entity("{name: p, hierarchy: {parent_field: m, depth: " + text + "}}"));
    EXPECT_EQ(s.entity.hierarchy->depth, depth) << text;
  }
  for (const auto& [text, value] : std::vector<std::pair<std::string, double>>{
           {"2", 2.0}, {"-3", -3.0}, {"1.5e3", 1500.0}, {"+.5", 0.5}, {".inf", INFINITY}}) {
    const IdentitySpec s = read_ok(with_extra("blocking: {fallback: {sample_rate: " + text + "}}\n"));
    EXPECT_EQ(*s.blocking->fallback->sample_rate, value) << text;
  }
  const IdentitySpec n = read_ok(with_extra("blocking: {fallback: {sample_rate: .NaN}}\n"));
  EXPECT_TRUE(std::isnan(*n.blocking->fallback->sample_rate));
}

TEST(SpecReader, OptionalValues) {
  for (const std::string null_text : {"", "~", "null", "Null", "NULL"}) {
    const IdentitySpec s = read_ok(with_entity(
        "{name: p, description: " + null_text + ", compliance: {retention_days: " + null_text + "}}"));
    EXPECT_FALSE(s.entity.description.has_value()) << null_text;
    EXPECT_FALSE(s.entity.compliance->retention_days.has_value()) << null_text;
  }
  const IdentitySpec q = read_ok(with_entity("{name: p, description: 'null'}"));
  EXPECT_EQ(q.entity.description, "null");
  const IdentitySpec tagged = read_ok(with_entity("{name: p, description: !!null ~}"));
  EXPECT_FALSE(tagged.entity.description.has_value());
  const IdentitySpec local = read_ok(with_entity("{name: !x ~, description: !x ~}"));
  EXPECT_EQ(local.entity.name, "~");
  EXPECT_EQ(local.entity.description, "~");
  // A null tag on a text that is no null fails at that value.
  expect_failure({with_entity("{name: p, description: !!null x}"),
                  "entity.description: invalid value: string \"x\", expected null", "description: |!!null"});
}

TEST(SpecReader, EnumerationsReadDirectly) {
  auto relation = [](std::string cardinality) {
    return with_extra("relations:\n  - name: a\n    from_entity: b\n    to_entity: c\n    join_key: d\n"
                      "    cardinality: " + cardinality + "\n");
  };
  const std::string names = "expected one of `one_to_one`, `one_to_many`, `many_to_one`, `many_to_many`";
  const std::string at = "cardinality: |";
  const std::vector<FailureCase> cases = {
      {relation("One_To_One"), "relations[0].cardinality: unknown variant `One_To_One`, " + names, at},
      {relation("2"), "relations[0].cardinality: unknown variant `2`, " + names, at},
      {relation("''"), "relations[0].cardinality: unknown variant ``, " + names, at},
      {relation("{one_to_one: ~}"),
       "relations[0].cardinality: invalid type: map, expected a YAML tag starting with '!'", at},
      {relation("[one_to_one]"),
       "relations[0].cardinality: invalid type: sequence, expected a YAML tag starting with '!'", at},
      {relation("!one_to_many x"), "relations[0].cardinality: invalid value: string \"x\", expected null", at},
      {relation("!one_to_many {a: 1}"), "relations[0].cardinality: invalid type: map, expected unit", at},
  };
  for (const auto& c : cases) expect_failure(c);

  for (const auto& [text, value] : std::vector<std::pair<std::string, ir::Cardinality>>{
           {"one_to_one", ir::Cardinality::kOneToOne},
           {"'many_to_one'", ir::Cardinality::kManyToOne},
           {"!many_to_many", ir::Cardinality::kManyToMany},
           {"!one_to_many ~", ir::Cardinality::kOneToMany}}) {
    const IdentitySpec s = read_ok(relation(text));
    EXPECT_EQ(s.relations->at(0).cardinality, value) << text;
  }
  // A tag naming no variant fails with the variant message, at the tagged value.
  expect_failure({relation("!bogus"), "relations[0].cardinality: unknown variant `bogus`, " + names, at});
  expect_failure({relation("!bogus x"), "relations[0].cardinality: unknown variant `bogus`, " + names, at});
}

TEST(SpecReader, AliasesAndTags) {
  const IdentitySpec s = read_ok(with_extra(
      "x: &rel {name: a, from_entity: b, to_entity: c, join_key: d, cardinality: one_to_one}\n"
      "relations: [*rel, *rel]\nmetadata: {name: !custom text, tags: !!seq [a]}\n"));
  ASSERT_EQ(s.relations->size(), 2u);
  EXPECT_EQ(s.relations->at(1).join_key, "d");
  EXPECT_EQ(s.metadata->name, "text");

  // A message about an aliased node uses the alias's path and the anchored node's position.
  expect_failure({with_extra("x: &bad {name: a}\nrelations: [*bad]\n"), "relations[0]: missing field `from_entity`",
                  "&bad {"});
  // A key written as an alias names the path by the anchored text, read directly or buffered.
  const std::vector<FailureCase> alias_keys = {
      {with_extra("x: &k tags\nmetadata: {*k : x}\n"), "metadata.tags: invalid type: string \"x\", expected a sequence",
       "*k : |x"},
      {with_extra("x: &k name\nrules: [{type: exact, *k : !t a}]\n"),
       "rules[0].name: untagged and internally tagged enums do not support enum input", "*k : |!t"},
      {with_extra("x: &k type\nrules: [{*k : fuzzy}]\n"),
       "rules[0].type: unknown variant `fuzzy`, expected one of `exact`, `similarity`, `range`, `composite`, `ml`",
       "*k : |fuzzy"},
      {with_extra("x: &k a\nreference_identifiers: [{name: n, type: external, field: f, conditions: "
                  "[{field: c, operator: eq, value: {*k : !t 1}}]}]\n"),
       "reference_identifiers[0].conditions[0].value.a: invalid type: enum, expected any valid JSON value",
       "*k : |!t"},
  };
  for (const auto& c : alias_keys) expect_failure(c);
}

TEST(SpecReader, NestingLimit) {
  // Collections read directly or buffered may nest 128 deep: root mapping, the
  // reference_identifiers list, its mapping, the conditions list and its mapping take five.
  auto value_nested = [](int levels) {
    return with_extra("reference_identifiers:\n- {name: a, type: external, field: f, conditions: "
                      "[{field: f, operator: eq, value: " + std::string(levels, '[') +
                      std::string(levels, ']') + "}]}\n");
  };
  read_ok(value_nested(123));
  expect_failure({value_nested(124), "recursion limit exceeded", "value: " + std::string(123, '[') + "|["});

  // Values of unrecognised keys are skipped without the reading limit, up to the document's
  // overall nesting bound; beyond it the read stops early instead of scanning on.
  const IdentitySpec deep = read_ok(with_extra("extra: " + std::string(9999, '[') + std::string(9999, ']') + "\n"));
  EXPECT_EQ(deep.entity.name, "person");
  const SpecReadResult too_deep =
      read_identity_spec(with_extra("extra: " + std::string(200000, '[') + std::string(200000, ']') + "\n"));
  ASSERT_FALSE(too_deep.ok());
  EXPECT_EQ(too_deep.error().message().rfind("recursion limit exceeded", 0), 0u) << too_deep.error().message();

  // Inside a buffered rule every value is taken, unknown keys included.
  expect_failure({with_extra("rules:\n- {type: exact, name: a, field: b, junk: " + std::string(200, '[') +
                             std::string(200, ']') + "}\n"),
                  "recursion limit exceeded", "junk: " + std::string(125, '[') + "|["});
}

TEST(SpecReader, RepetitionLimit) {
  // Each level aliases the previous one ten times: far more expansions than 100 x events.
  std::string anchors = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int i = 1; i <= 6; ++i) {
    std::string name = "a";
    name += std::to_string(i);
    anchors += name;
    anchors += ": &";
    anchors += name;
    anchors += " [";
    for (int k = 0; k < 10; ++k) {
      if (k > 0) anchors += ", ";
      anchors += "*a";
      anchors += std::to_string(i - 1);
    }
    anchors += "]\n";
  }
  const std::string use = "reference_identifiers:\n- {name: a, type: external, field: f, conditions: "
                          "[{field: f, operator: eq, value: *a6}]}\n";
  expect_failure({with_extra(anchors + use), "repetition limit exceeded", ""});

  // A large node aliased many times is bounded too, by the events read again through aliases.
  std::string big = "big: &big [";
  for (int i = 0; i < 2000; ++i) big += i ? ", x" : "x";
  big += "]\n";
  std::string many = "reference_identifiers:\n- {name: a, type: external, field: f, conditions: "
                     "[{field: f, operator: eq, value: [";
  for (int i = 0; i < 1000; ++i) many += i ? ", *big" : "*big";
  many += "]}]}\n";
  expect_failure({with_extra(big + many), "repetition limit exceeded", ""});

  // Ordinary reuse stays far below the limits.
  std::string few = big + "reference_identifiers:\n- {name: a, type: external, field: f, conditions: "
                          "[{field: f, operator: eq, value: [*big, *big, *big]}]}\n";
  const IdentitySpec s = read_ok(with_extra(few));
  EXPECT_EQ(s.reference_identifiers->at(0).conditions[0].value->as_array().size(), 3u);
}

}  // namespace
}  // namespace osmira_common::spec
