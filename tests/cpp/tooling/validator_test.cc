#include "tooling/validator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json_writer.h"
#include "base/sha256.h"
#include "command_fixtures.h"
#include "tooling/parser.h"

namespace vintrel_core {
namespace {

using osmira_base::Value;
using testing::parse;
using Messages = std::vector<std::string>;

// A root that passes the schema check, for tests that add one section at a time.
const std::string kValidHead =
    "api_version: vintrel/v1\nidentity_version: '1'\nentity: {name: customer}\n";

Messages schema(const std::string& yaml) { return validator::validate_schema(parse(yaml)); }
Messages semantics(const std::string& yaml) { return validator::validate_semantics(parse(yaml)); }

// `n` flow-style entries produced by `entry(i)`, as a YAML flow sequence.
template <typename F>
std::string flow_list(size_t n, F entry) {
  std::string s = "[";
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) s += ", ";
    s += entry(i);
  }
  s += "]";
  return s;
}

TEST(ValidateSchema, RootAndRequiredFields) {
  struct Row { std::string yaml; Messages want; };
  const Row rows[] = {
      {"hello",
       {"Missing required field: api_version", "Missing required field: identity_version",
        "Missing required field: entity"}},
      {"{}",
       {"Missing required field: api_version", "Missing required field: identity_version",
        "Missing required field: entity"}},
      // present with a null value counts as present
      {"api_version: vintrel/v2\nidentity_version: ~\nentity: {name: ~}", {}},
      {"api_version: vintrel/\nidentity_version: 1\nentity: {name: x}",
       {"Invalid api_version format: 'vintrel/'. Expected 'vintrel/v<N>'"}},
      {"api_version: release-2\nidentity_version: 1\nentity: {name: x}",
       {"Invalid api_version format: 'release-2'. Expected 'vintrel/v<N>'"}},
      {"api_version: 1\nidentity_version: 1\nentity: {name: x}", {}},
      {"api_version: ~\nidentity_version: 1\nentity: {name: x}", {}},
      {"api_version: vintrel/v2\nidentity_version: 1\nentity: customer", {"entity.name is required"}},
      {"api_version: vintrel/v2\nidentity_version: 1\nentity: {title: x}", {"entity.name is required"}},
      {"api_version: vintrel/v2\nidentity_version: 1\nentity:", {"entity.name is required"}},
      {"entity: {}",
       {"Missing required field: api_version", "Missing required field: identity_version",
        "entity.name is required"}},
  };
  for (const Row& r : rows) EXPECT_EQ(schema(r.yaml), r.want) << r.yaml;
}

TEST(ValidateSchema, Rules) {
  struct Row { std::string rules; Messages want; };
  const Row rows[] = {
      {"[{name: a, type: exact, weight: 1, threshold: 0}]", {}},
      {"[{name: a, type: exact, weight: 0, threshold: 1.0}]", {}},
      {"[{name: a, type: exact, weight: 1.0000001}]", {"rules[0]: weight 1.0000001 must be between 0 and 1"}},
      {"[{name: a, type: exact, weight: 2}]", {"rules[0]: weight 2 must be between 0 and 1"}},
      {"[{name: a, type: exact, weight: -0.5, threshold: 1.5}]",
       {"rules[0]: weight -0.5 must be between 0 and 1", "rules[0]: threshold 1.5 must be between 0 and 1"}},
      {"[{name: a, type: exact, threshold: -3}]", {"rules[0]: threshold -3 must be between 0 and 1"}},
      {"[{name: a, type: exact, weight: 0.0000001}]", {}},
      {"[{name: a, type: exact, weight: 100000000000000000000.0}]",
       {"rules[0]: weight 100000000000000000000 must be between 0 and 1"}},
      // strings and other non-numbers are not checked
      {"[{name: a, type: exact, weight: '5', threshold: [2]}]", {}},
      {"[{type: exact}, {name: b}]",
       {"rules[0]: missing required field 'name'", "rules[1]: missing required field 'type'"}},
      {"[{name: ~, type: ~}]", {}},
      {"[plain, 7]",
       {"rules[0]: missing required field 'name'", "rules[0]: missing required field 'type'",
        "rules[1]: missing required field 'name'", "rules[1]: missing required field 'type'"}},
      // a rules mapping is not checked
      {"{a: {weight: 7}}", {}},
  };
  for (const Row& r : rows) EXPECT_EQ(schema(kValidHead + "rules: " + r.rules), r.want) << r.rules;
}

// A haversine rule's threshold is a distance in km: any finite value above 0. Every other
// rule's threshold stays a score between 0 and 1.
TEST(ValidateSchema, HaversineThresholdIsADistance) {
  struct Row {
    const char* value;
    const char* shown;
    bool distance_ok;
    bool score_ok;
  };
  const Row rows[] = {
      {"0.5", "0.5", true, true},       {"1", "1", true, true},
      {"25", "25", true, false},        {"20000", "20000", true, false},
      {"1e-9", "0.000000001", true, true}, {"0", "0", false, true},
      {"-0.0", "-0", false, true},      {"-3", "-3", false, false},
      {".inf", "inf", false, false},    {".nan", "NaN", false, false},
  };
  for (const Row& r : rows) {
    for (const char* algorithm : {"haversine", "jaro_winkler"}) {
      const bool distance = std::string(algorithm) == "haversine";
      const std::string rules = std::string("[{name: a, type: similarity, algorithm: ") +
                                algorithm + ", threshold: " + r.value + "}]";
      Messages want;
      if (distance && !r.distance_ok) {
        want.push_back(std::string("rules[0]: threshold ") + r.shown +
                       " must be a finite distance in km above 0");
      } else if (!distance && !r.score_ok) {
        want.push_back(std::string("rules[0]: threshold ") + r.shown + " must be between 0 and 1");
      }
      const auto got =
          validate_yaml(kValidHead + "sources: [{name: s, adapter: csv}]\nrules: " + rules);
      ASSERT_TRUE(got.ok()) << rules;
      EXPECT_EQ(*got, want) << rules;
    }
  }
}

TEST(ValidateSchema, RuleCountLimit) {
  auto rule = [](size_t) { return std::string("{name: r, type: exact}"); };
  EXPECT_EQ(schema(kValidHead + "rules: " + flow_list(50, rule)), Messages{});
  EXPECT_EQ(schema(kValidHead + "rules: " + flow_list(51, rule)), Messages{"Too many rules: 51. Maximum is 50."});
  // The count comes first; every entry is still checked, also past the 50th.
  auto bad = [](size_t i) { return i == 50 ? std::string("{type: x}") : std::string("{name: r, weight: 3}"); };
  const Messages got = schema(kValidHead + "rules: " + flow_list(51, bad));
  ASSERT_EQ(got.size(), 1u + 2 * 50 + 1);
  EXPECT_EQ(got[0], "Too many rules: 51. Maximum is 50.");
  EXPECT_EQ(got[1], "rules[0]: missing required field 'type'");
  EXPECT_EQ(got[2], "rules[0]: weight 3 must be between 0 and 1");
  EXPECT_EQ(got.back(), "rules[50]: missing required field 'name'");
}

TEST(ValidateSchema, Sources) {
  struct Row { std::string sources; Messages want; };
  const Row rows[] = {
      {"[{name: crm, adapter: csv}]", {}},
      {"[{name: crm, adapter: csv, system: old}]", {}},
      {"[{name: crm, location: x}]", {"sources[0]: missing required field 'adapter' (modern source format)"}},
      {"[{name: crm, primary_key: id, system: s, table: t, id: i, attributes: {}}]",
       {"sources[0]: missing required field 'adapter' (modern source format)"}},
      {"[{name: crm, table: t}]",
       {"sources[0]: missing required field 'system'", "sources[0]: missing required field 'id'",
        "sources[0]: missing required field 'attributes'"}},
      {"[{name: crm, system: s, table: t, id: k, attributes: ~}]", {}},
      {"[{adapter: csv}]", {"sources[0]: missing required field 'name'"}},
      {"[{name: crm}]", {"sources[0]: must have either 'adapter' (modern) or 'system' (legacy) field"}},
      {"[{}, x]",
       {"sources[0]: missing required field 'name'",
        "sources[0]: must have either 'adapter' (modern) or 'system' (legacy) field",
        "sources[1]: missing required field 'name'",
        "sources[1]: must have either 'adapter' (modern) or 'system' (legacy) field"}},
      // the mapping form gets no source messages
      {"{crm: {}}", {}},
  };
  for (const Row& r : rows) EXPECT_EQ(schema(kValidHead + "sources: " + r.sources), r.want) << r.sources;

  auto source = [](size_t i) { return "{name: s" + std::to_string(i) + ", adapter: csv}"; };
  EXPECT_EQ(schema(kValidHead + "sources: " + flow_list(10, source)), Messages{});
  EXPECT_EQ(schema(kValidHead + "sources: " + flow_list(11, source)),
            Messages{"Too many sources: 11. Maximum is 10."});
}

TEST(ValidateSchema, BlockingKeys) {
  auto key = [](size_t i) { return std::string(1, static_cast<char>('a' + i)); };
  EXPECT_EQ(schema(kValidHead + "blocking: {keys: " + flow_list(5, key) + "}"), Messages{});
  EXPECT_EQ(schema(kValidHead + "blocking: {keys: " + flow_list(6, key) + "}"),
            Messages{"Too many blocking keys: 6. Maximum is 5."});
  EXPECT_EQ(schema(kValidHead + "blocking: {keys: {a: 1, b: 2, c: 3, d: 4, e: 5, f: 6}}"), Messages{});
  EXPECT_EQ(schema(kValidHead + "blocking: [1, 2, 3, 4, 5, 6]"), Messages{});
}

TEST(ValidateSchema, FellegiSunterProbabilities) {
  struct Row { std::string fields; Messages want; };
  const Row rows[] = {
      {"[{name: email, m_probability: 0.5, u_probability: 0.01}]", {}},
      {"[{name: email, m_probability: 0}]",
       {"decision.scoring.fields[0]: FS field 'email' m_probability 0 would cause ln(0); use a value in "
        "(0, 1) exclusive, e.g. 0.0001 or 0.9999"}},
      {"[{name: email, m_probability: 1.2}]",
       {"decision.scoring.fields[0]: FS field 'email' m_probability 1.2 is outside valid range [0, 1]"}},
      {"[{name: email, m_probability: -0.1, u_probability: 1}]",
       {"decision.scoring.fields[0]: FS field 'email' m_probability -0.1 is outside valid range [0, 1]",
        "decision.scoring.fields[0]: FS field 'email' u_probability 1 would cause ln(0); use a value in "
        "(0, 1) exclusive, e.g. 0.0001 or 0.9999"}},
      {"[{m_probability: 0.5}, {name: 7, u_probability: 2}]",
       {"decision.scoring.fields[1]: FS field 'unknown' u_probability 2 is outside valid range [0, 1]"}},
      {"[{name: x, m_probability: '0', u_probability: ~}]", {}},
      {"[]", {}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(schema(kValidHead + "decision: {scoring: {method: weighted_sum, fields: " + r.fields + "}}"), r.want)
        << r.fields;
  }
  // The method is not looked at; a scoring written as a bare string has no fields.
  EXPECT_EQ(schema(kValidHead + "decision: {scoring: {fields: [{name: a, m_probability: 1}]}}").size(), 1u);
  EXPECT_EQ(schema(kValidHead + "decision: {scoring: fellegi_sunter}"), Messages{});
  EXPECT_EQ(schema(kValidHead + "decision: {scoring: {fields: {a: {m_probability: 1}}}}"), Messages{});
}

TEST(ValidateSchema, MessageOrder) {
  const std::string yaml =
      "api_version: bad\n"
      "entity: x\n"
      "rules: [{weight: 2}]\n"
      "sources: [{name: s}]\n"
      "blocking: {keys: [a, b, c, d, e, f]}\n"
      "decision: {scoring: {fields: [{name: f, m_probability: 0}]}}\n";
  EXPECT_EQ(schema(yaml),
            (Messages{"Missing required field: identity_version",
                      "Invalid api_version format: 'bad'. Expected 'vintrel/v<N>'", "entity.name is required",
                      "rules[0]: missing required field 'name'", "rules[0]: missing required field 'type'",
                      "rules[0]: weight 2 must be between 0 and 1",
                      "sources[0]: must have either 'adapter' (modern) or 'system' (legacy) field",
                      "Too many blocking keys: 6. Maximum is 5.",
                      "decision.scoring.fields[0]: FS field 'f' m_probability 0 would cause ln(0); use a value "
                      "in (0, 1) exclusive, e.g. 0.0001 or 0.9999"}));
}

TEST(ValidateSemantics, UnknownFields) {
  struct Row { std::string yaml; Messages want; };
  const Row rows[] = {
      {"sources: [{attributes: {email_address: s, phone: s}}]\nrules: [{name: r, field: email}]",
       {"Rule 'r' references unknown field 'email'. Did you mean 'email_address'?"}},
      {"sources: [{attributes: {phone: s}}]\nrules: [{name: r, field: email}]",
       {"Rule 'r' references unknown field 'email'."}},
      // the rule's field containing a known field also suggests it; list order decides
      {"sources: [{fields: [mail, email]}]\nrules: [{name: r, field: email_work}]",
       {"Rule 'r' references unknown field 'email_work'. Did you mean 'mail'?"}},
      // attributes (in key order) come before fields of the same source
      {"sources: [{fields: [{name: zip_code}], attributes: {b_zip: s, a_zip: s}}]\nrules: [{field: zip}]",
       {"Rule 'unknown' references unknown field 'zip'. Did you mean 'a_zip'?"}},
      // matching is case-sensitive
      {"sources: [{fields: [Email]}]\nrules: [{name: r, field: email}]",
       {"Rule 'r' references unknown field 'email'."}},
      {"sources: [{fields: [email, 7, {name: 8}, {title: x}]}]\nrules: [{name: r, field: email}]", {}},
      {"sources: [{fields: [email]}, {attributes: {phone: s}}]\nrules: [{name: r, field: phone}]", {}},
      // a list of fields is not checked; a rule without a string field neither
      {"sources: [{fields: [email]}]\nrules: [{name: r, field: [x, y]}, {name: s, field: 3}]", {}},
      // no known fields at all: nothing is checked
      {"sources: [{name: s}]\nrules: [{name: r, field: email}]", {}},
      {"sources: [{attributes: {}, fields: []}]\nrules: [{name: r, field: email}]", {}},
      {"rules: [{name: r, field: email}]", {}},
      {"sources: {crm: {attributes: {a: s}}}\nrules: [{name: r, field: email}]", {}},
  };
  for (const Row& r : rows) EXPECT_EQ(semantics(r.yaml), r.want) << r.yaml;
}

TEST(ValidateSemantics, DuplicateNames) {
  EXPECT_EQ(semantics("rules: [{name: a}, {name: b}, {name: a}, {name: a}, {name: 1}, {name: '1'}]"),
            (Messages{"Duplicate rule name: 'a'", "Duplicate rule name: 'a'"}));
  EXPECT_EQ(semantics("sources: [{name: crm}, {name: erp}, {name: crm}]"),
            Messages{"Duplicate source name: 'crm'"});
  EXPECT_EQ(semantics("sources: {crm: {name: a}, erp: {name: a}}"), Messages{});
}

TEST(ValidateSemantics, ThresholdOrder) {
  struct Row { std::string thresholds; Messages want; };
  const Row rows[] = {
      {"{match: 0.9, review: 0.7, reject: 0.3}", {}},
      {"{match: 0.5, review: 0.5, reject: 0.5}", {}},
      {"{match: 0.5, review: 0.7, reject: 0.9}",
       {"Threshold error: 'match' should be >= 'review'", "Threshold error: 'review' should be >= 'reject'"}},
      {"{reject: 0.3}", {"Threshold error: 'review' should be >= 'reject'"}},
      {"{review: 0.9}", {}},
      {"{review: 2}", {"Threshold error: 'match' should be >= 'review'"}},
      {"{match: '0.1', review: 0.5}", {}},
      {"~", {}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(semantics("decision: {thresholds: " + r.thresholds + "}"), r.want) << r.thresholds;
  }
  EXPECT_EQ(semantics("decision: {}"), Messages{});
}

TEST(ValidateSemantics, NonObjectRootHasNoMessages) {
  EXPECT_EQ(semantics("hello"), Messages{});
  EXPECT_EQ(semantics("[1, 2]"), Messages{});
}

TEST(ValidateYaml, SchemaThenSemantics) {
  const auto r = validate_yaml(
      "api_version: x\nidentity_version: 1\nentity: {name: c}\n"
      "sources: [{name: s, adapter: csv, fields: [email]}]\n"
      "rules: [{name: r, type: exact, field: mail, weight: 3}, {name: r, type: exact, field: email}]\n");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, (Messages{"Invalid api_version format: 'x'. Expected 'vintrel/v<N>'",
                          "rules[0]: weight 3 must be between 0 and 1",
                          "Rule 'r' references unknown field 'mail'. Did you mean 'email'?",
                          "Duplicate rule name: 'r'"}));
  EXPECT_EQ(validate_yaml("hello")->size(), 3u);
  const auto bad = validate_yaml("a: [1");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at line 1 column 4");
  EXPECT_EQ(validate_yaml("").error().message(), "EOF while parsing a value");
  EXPECT_EQ(validate_yaml("a: 1\n---\na: 2").error().message(),
            "deserializing from YAML containing more than one document is not supported");
}

// Every range check against NaN, a value below, a value above and one inside the range. A
// NaN (in any spelling YAML gives it) or an infinity fails a check exactly as a finite
// out-of-range value does, in the same words; a null is still no value at all.
TEST(ValidateYaml, RangeChecksRefuseNaNAndInfinities) {
  const std::string kHead =
      "api_version: vintrel/v1\nidentity_version: '1'\nentity: {name: customer}\n"
      "sources: [{name: s, adapter: csv}]\n";
  const std::string kFsField = "decision.scoring.fields[0]: FS field 'email' ";
  const std::string kLn0 = " would cause ln(0); use a value in (0, 1) exclusive, e.g. 0.0001 or 0.9999";
  const std::string kMatchReview = "Threshold error: 'match' should be >= 'review'";
  const std::string kReviewReject = "Threshold error: 'review' should be >= 'reject'";
  struct Field {
    std::string name;
    std::string yaml;  // with X where the value goes
  };
  const Field fields[] = {
      {"rule weight", "rules: [{name: r, type: exact, weight: X}]\n"},
      {"rule threshold", "rules: [{name: r, type: exact, threshold: X}]\n"},
      {"m_probability",
       "decision: {scoring: {fields: [{name: email, m_probability: X, u_probability: 0.1}]}}\n"},
      {"u_probability",
       "decision: {scoring: {fields: [{name: email, m_probability: 0.9, u_probability: X}]}}\n"},
      {"match", "decision: {thresholds: {match: X, review: 0.5, reject: 0.2}}\n"},
      {"review", "decision: {thresholds: {match: 0.9, review: X, reject: 0.2}}\n"},
      {"reject", "decision: {thresholds: {match: 0.9, review: 0.5, reject: X}}\n"},
  };
  struct Row {
    std::string field;
    std::string value;
    Messages want;
  };
  const Row rows[] = {
      {"rule weight", ".nan", {"rules[0]: weight NaN must be between 0 and 1"}},
      {"rule weight", "-0.5", {"rules[0]: weight -0.5 must be between 0 and 1"}},
      {"rule weight", "1.5", {"rules[0]: weight 1.5 must be between 0 and 1"}},
      {"rule weight", "0.5", {}},
      {"rule weight", ".inf", {"rules[0]: weight inf must be between 0 and 1"}},
      {"rule weight", "~", {}},
      {"rule threshold", ".NaN", {"rules[0]: threshold NaN must be between 0 and 1"}},
      {"rule threshold", "-1", {"rules[0]: threshold -1 must be between 0 and 1"}},
      {"rule threshold", "2", {"rules[0]: threshold 2 must be between 0 and 1"}},
      {"rule threshold", "1", {}},
      {"rule threshold", "-.inf", {"rules[0]: threshold -inf must be between 0 and 1"}},
      {"m_probability", ".NAN", {kFsField + "m_probability NaN is outside valid range [0, 1]"}},
      {"m_probability", "-0.25", {kFsField + "m_probability -0.25 is outside valid range [0, 1]"}},
      {"m_probability", "1.0000001", {kFsField + "m_probability 1.0000001 is outside valid range [0, 1]"}},
      {"m_probability", "0.95", {}},
      {"m_probability", "0", {kFsField + "m_probability 0" + kLn0}},
      {"m_probability", "+.inf", {kFsField + "m_probability inf is outside valid range [0, 1]"}},
      {"u_probability", "!!float .nan", {kFsField + "u_probability NaN is outside valid range [0, 1]"}},
      {"u_probability", "-1e-300", {kFsField + "u_probability -0.000" + std::string(296, '0') + "1 is outside valid range [0, 1]"}},
      {"u_probability", "7", {kFsField + "u_probability 7 is outside valid range [0, 1]"}},
      {"u_probability", "0.05", {}},
      {"u_probability", "1", {kFsField + "u_probability 1" + kLn0}},
      // The thresholds must be ordered match >= review >= reject.
      {"match", ".nan", {kMatchReview}},
      {"match", "0.4", {kMatchReview}},
      {"match", "5", {}},
      {"match", "0.5", {}},
      {"match", "-.inf", {kMatchReview}},
      {"match", "~", {}},  // absent: counts as 1.0
      {"review", ".nan", {kMatchReview, kReviewReject}},
      {"review", "0.1", {kReviewReject}},
      {"review", "0.95", {kMatchReview}},
      {"review", "0.9", {}},
      {"reject", ".nan", {kReviewReject}},
      {"reject", "0.6", {kReviewReject}},
      {"reject", "-3", {}},
      {"reject", "0.5", {}},
  };
  for (const Row& r : rows) {
    const Field* f = nullptr;
    for (const Field& candidate : fields) {
      if (candidate.name == r.field) f = &candidate;
    }
    ASSERT_NE(f, nullptr) << r.field;
    std::string yaml = kHead + f->yaml;
    yaml.replace(yaml.find('X'), 1, r.value);
    const auto got = validate_yaml(yaml);
    ASSERT_TRUE(got.ok()) << yaml;
    EXPECT_EQ(*got, r.want) << yaml;
    // The schema and semantic checks alone, on a tree that keeps non-finite numbers.
    auto tree = parser::parse_yaml(yaml, osmira_base::yaml::NonFinite::kKeep);
    ASSERT_TRUE(tree.ok());
    Messages both = validator::validate_schema(*tree);
    for (std::string& m : validator::validate_semantics(*tree)) both.push_back(std::move(m));
    EXPECT_EQ(both, r.want) << yaml;
  }
  // Every checked field has its NaN, below, above and in-range rows.
  for (const Field& f : fields) {
    size_t count = 0;
    for (const Row& r : rows) count += r.field == f.name;
    EXPECT_GE(count, 4u) << f.name;
  }
}

TEST(DocumentHash, CompactJsonOfTheTree) {
  const Value doc = parse("b: [1, 1.0, -2, 'x\"\\\\y', \"\\t\\u0001/é\"]\na: {z: ~, y: true}\n");
  const std::string json = osmira_base::compact_json(doc);
  EXPECT_EQ(json, "{\"a\":{\"y\":true,\"z\":null},\"b\":[1,1.0,-2,\"x\\\"\\\\\\\\y\",\"\\t\\u0001/é\"]}");
  EXPECT_EQ(document_hash(doc), "sha256:" + osmira_base::sha256_hex(json));
  EXPECT_EQ(document_hash(Value()), "sha256:74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b");
  // Key order in the text does not change the hash; 1 and 1.0 do.
  EXPECT_EQ(document_hash(parse("a: 1\nb: 2")), document_hash(parse("b: 2\na: 1")));
  EXPECT_NE(document_hash(parse("w: 1")), document_hash(parse("w: 1.0")));
}

}  // namespace
}  // namespace vintrel_core
