#include "tooling/commands/plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json_writer.h"
#include "command_fixtures.h"
#include "tooling/parser.h"
#include "tooling/validator.h"

namespace vintrel_core::commands::plan {
namespace {

using osmira_base::Value;

PlanResult plan_of(std::string_view yaml) {
  osmira_base::Result<PlanResult> out = generate_plan(yaml);
  EXPECT_TRUE(out.ok()) << (out.ok() ? "" : out.error().message()) << "\n" << yaml;
  return out.ok() ? *out : PlanResult();
}

std::vector<std::string> flag_codes(const PlanResult& plan) {
  std::vector<std::string> codes;
  for (const RiskFlag& f : plan.risk_flags) codes.push_back(f.code);
  return codes;
}

std::vector<std::string> flag_messages(const PlanResult& plan, std::string_view code) {
  std::vector<std::string> out;
  for (const RiskFlag& f : plan.risk_flags) {
    if (f.code == code) out.push_back(f.message);
  }
  return out;
}

// The summary's line that starts with `label` (e.g. "  Thresholds:"), or "".
std::string summary_line(const PlanResult& plan, std::string_view label) {
  size_t start = 0;
  while (start <= plan.summary.size()) {
    size_t end = plan.summary.find('\n', start);
    if (end == std::string::npos) end = plan.summary.size();
    std::string line = plan.summary.substr(start, end - start);
    if (line.rfind(label, 0) == 0) return line;
    start = end + 1;
  }
  return "";
}

TEST(GeneratePlan, FullSpecGolden) {
  const PlanResult plan = plan_of(testing::kFullSpec);
  EXPECT_EQ(plan.summary,
            "  Identity:     customer (2.1)\n"
            "  Sources:      2 (crm, billing)\n"
            "  Signals:      email (exact, w=1), full_name (similarity/jaro_winkler, w=0.95), "
            "phone (exact, w=0.6)\n"
            "  Blocking:     email_domain, zip\n"
            "  Thresholds:   merge >= 0.85, review >= 0.6\n"
            "  Stages:       8 execution stages\n"
            "  Survivorship: 2 fields configured\n"
            "  Risk flags:   0 critical, 2 high, 1 medium\n"
            "  Plan hash:    sha256:74c5ec6a...");
  EXPECT_EQ(
      osmira_base::compact_json(to_value(plan)),
      R"~({"blocking_analysis":{"estimated_reduction":"medium","keys":[)~"
      R"~({"name":"email_domain","transformation":"lowercase"},{"name":"zip","transformation":"identity"}],)~"
      R"~("strategy":"composite","warnings":[]},"entity":"customer","execution_stages":[)~"
      R"~({"description":"Ingest and normalize fields from: crm, billing","inputs":["crm","billing"],)~"
      R"~("name":"Normalize sources","outputs":["normalized_entities"],"stage":1},)~"
      R"~({"description":"Blocking strategy: composite. Keys: email_domain (lowercase), zip (identity)",)~"
      R"~("inputs":["normalized_entities"],"name":"Generate blocking keys","outputs":["candidate_pairs"],"stage":2},)~"
      R"~({"description":"email_exact on email (w=1), phone_match on phone (w=0.6)","inputs":["candidate_pairs"],)~"
      R"~("name":"Exact matches","outputs":["exact_match_scores"],"stage":3},)~"
      R"~({"description":"name_fuzzy on full_name via jaro_winkler (w=0.95)","inputs":["candidate_pairs"],)~"
      R"~("name":"Fuzzy matches","outputs":["fuzzy_match_scores"],"stage":4},)~"
      R"~({"description":"Aggregate weighted scores and apply thresholds",)~"
      R"~("inputs":["exact_match_scores","fuzzy_match_scores"],"name":"Score & decide","outputs":["match_decisions"],"stage":5},)~"
      R"~({"description":"Transitive closure via UnionFind to group matched entities","inputs":["match_decisions"],)~"
      R"~("name":"Cluster entities","outputs":["entity_clusters"],"stage":6},)~"
      R"~({"description":"Apply field-level survivorship rules to build golden records","inputs":["entity_clusters"],)~"
      R"~("name":"Apply survivorship","outputs":["golden_records"],"stage":7},)~"
      R"~({"description":"Produce canonical table, lineage table, and audit trail","inputs":["golden_records"],)~"
      R"~("name":"Emit outputs","outputs":["canonical_entities","identity_lineage","audit_trail"],"stage":8}],)~"
      R"~("identity_version":"2.1","match_strategies":[)~"
      R"~({"algorithm":null,"evaluation_order":3,"field":"email","match_type":"exact","rule_name":"email_exact","threshold":null,"weight":1.0},)~"
      R"~({"algorithm":"jaro_winkler","evaluation_order":4,"field":"full_name","match_type":"similarity","rule_name":"name_fuzzy","threshold":0.75,"weight":0.95},)~"
      R"~({"algorithm":null,"evaluation_order":3,"field":"phone","match_type":"exact","rule_name":"phone_match","threshold":null,"weight":0.6}],)~"
      R"~("plan_hash":"sha256:74c5ec6a8bfe4f02815d0f8268709f61c9720c7918bff7eeefc35b95401f4169","risk_flags":[)~"
      R"~({"code":"LOW_THRESHOLD","message":"Rule 'name_fuzzy' has threshold 0.75 — risk of over-merging",)~"
      R"~("recommendation":"Consider raising threshold to 0.8+ or adding verification rules","severity":"high"},)~"
      R"~({"code":"HIGH_WEIGHT_FUZZY","message":"Fuzzy rule 'name_fuzzy' has weight 0.95 — high trust in approximate matching",)~"
      R"~("recommendation":"Verify fuzzy algorithm accuracy or reduce weight","severity":"medium"},)~"
      R"~({"code":"PHONE_WITHOUT_BLOCKING","message":"Phone match rule without phone-based blocking key — phone reuse risk",)~"
      R"~("recommendation":"Add a phone-based blocking key (e.g., area code)","severity":"high"}],)~"
      R"~("sources":[{"field_count":3,"name":"crm","system":"salesforce"},{"field_count":0,"name":"billing","system":"unknown"}],)~"
      R"~("summary":"  Identity:     customer (2.1)\n  Sources:      2 (crm, billing)\n)~"
      R"~(  Signals:      email (exact, w=1), full_name (similarity/jaro_winkler, w=0.95), phone (exact, w=0.6)\n)~"
      R"~(  Blocking:     email_domain, zip\n  Thresholds:   merge >= 0.85, review >= 0.6\n)~"
      R"~(  Stages:       8 execution stages\n  Survivorship: 2 fields configured\n)~"
      R"~(  Risk flags:   0 critical, 2 high, 1 medium\n  Plan hash:    sha256:74c5ec6a...",)~"
      R"~("survivorship_summary":[{"field":"email","source_priority":null,"strategy":"most_recent"},)~"
      R"~({"field":"full_name","source_priority":["crm","billing"],"strategy":"source_priority"}]})~");
}

TEST(GeneratePlan, EmptyMappingGolden) {
  const PlanResult plan = plan_of("{}");
  EXPECT_EQ(plan.summary,
            "  Identity:     unknown (unknown)\n"
            "  Sources:      0 ()\n"
            "  Signals:      \n"
            "  Blocking:     none\n"
            "  Thresholds:   not configured\n"
            "  Stages:       8 execution stages\n"
            "  Survivorship: 0 fields configured\n"
            "  Risk flags:   1 critical, 0 high, 2 medium\n"
            "  Plan hash:    sha256:44136fa3...");
  const Value tree = to_value(plan);
  EXPECT_EQ(osmira_base::compact_json(*tree.get("blocking_analysis")),
            R"~({"estimated_reduction":"none","keys":[],"strategy":"none",)~"
            R"~("warnings":["No blocking keys defined — O(n²) pairwise comparisons"]})~");
  const Value::Array& stages = tree.get("execution_stages")->as_array();
  ASSERT_EQ(stages.size(), 8u);
  EXPECT_EQ(osmira_base::compact_json(stages[0]),
            R"~({"description":"Ingest and normalize fields from: ","inputs":[],"name":"Normalize sources",)~"
            R"~("outputs":["normalized_entities"],"stage":1})~");
  EXPECT_EQ(stages[1].get("description")->as_string(),
            "Blocking strategy: none. Keys: No blocking keys — full pairwise comparison");
  EXPECT_EQ(stages[2].get("description")->as_string(), "No exact match rules defined");
  EXPECT_EQ(stages[3].get("description")->as_string(), "No fuzzy match rules defined");
  EXPECT_EQ(osmira_base::compact_json(*tree.get("risk_flags")),
            R"~([{"code":"NO_BLOCKING","message":"No blocking keys defined — all pairs will be compared (O(n²))",)~"
            R"~("recommendation":"Add blocking keys to reduce comparison space","severity":"critical"},)~"
            R"~({"code":"NO_SURVIVORSHIP","message":"No survivorship rules defined — field selection will be arbitrary",)~"
            R"~("recommendation":"Define survivorship rules to control golden record field selection","severity":"medium"},)~"
            R"~({"code":"NO_REVIEW_THRESHOLD","message":"No review threshold — all decisions are merge-or-reject with no review band",)~"
            R"~("recommendation":"Add a review threshold for ambiguous matches","severity":"medium"},)~"
            R"~({"code":"MISSING_TEMPORAL","message":"No temporal configuration — identity resolution is not time-aware",)~"
            R"~("recommendation":"Add temporal config if entities have time-dependent attributes","severity":"low"}])~");
  EXPECT_EQ(tree.get("entity")->as_string(), "unknown");
  EXPECT_EQ(tree.get("plan_hash")->as_string(),
            "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a");
}

TEST(GeneratePlan, UnparsableYamlFailsWithItsOwnMessage) {
  for (std::string_view yaml : {"a: [1, 2", "", "a: 1\n---\nb: 2\n", "key: : :\n  - x"}) {
    osmira_base::Result<PlanResult> out = generate_plan(yaml);
    ASSERT_FALSE(out.ok()) << yaml;
    EXPECT_EQ(out.error().message(), "Failed to parse YAML for plan generation") << yaml;
  }
}

TEST(GeneratePlan, NonObjectRootIsAnEmptySpec) {
  for (std::string_view yaml : {"hello", "[1, 2]", "3.5"}) {
    const PlanResult plan = plan_of(yaml);
    EXPECT_EQ(plan.entity, "unknown") << yaml;
    EXPECT_EQ(flag_codes(plan), (std::vector<std::string>{"NO_BLOCKING", "NO_SURVIVORSHIP",
                                                          "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"}))
        << yaml;
  }
}

TEST(GeneratePlan, RiskFlagsInOrder) {
  struct Row {
    std::string yaml;
    std::vector<std::string> codes;
  };
  const std::string quiet_tail =  // silences NO_SURVIVORSHIP, NO_REVIEW_THRESHOLD, MISSING_TEMPORAL
      "survivorship: {rules: [{field: a}]}\ndecision: {thresholds: {review: null}}\ntemporal: {}\n";
  const Row rows[] = {
      {"rules: [{name: r, type: exact, field: f}]\n",
       {"NO_BLOCKING", "SINGLE_SIGNAL", "NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"}},
      {"blocking: {strategy: composite}\n", {"NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"}},
      {"blocking: {keys: []}\n", {"NO_BLOCKING", "NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"}},
      {"blocking: {strategy: 5}\n", {"NO_BLOCKING", "NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"}},
      {"blocking: {keys: [{name: k}]}\nsources: [{name: a}]\n",
       {"NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "SINGLE_SOURCE", "MISSING_TEMPORAL"}},
      {"decision: {thresholds: {review: 0.6}}\nblocking: {keys: [{name: k}]}\n",
       {"NO_SURVIVORSHIP", "MISSING_TEMPORAL"}},
      {"decision: {thresholds: {match: 0.9}}\nblocking: {keys: [{name: k}]}\n",
       {"NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"}},
      {"decision: weighted\nblocking: {keys: [{name: k}]}\n",
       {"NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"}},
      // A "temporal" key counts whatever it holds.
      {"temporal: null\nblocking: {keys: [{name: k}]}\n", {"NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD"}},
      // Sources as a mapping are no sources at all: no SINGLE_SOURCE.
      {"sources: {crm: {system: s}}\nblocking: {keys: [{name: k}]}\n",
       {"NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"}},
      // Every step-3 flag comes before any step-4 flag; exact rules never flag.
      {"blocking: {keys: [{name: k}]}\nrules:\n"
       "  - {name: a, type: fuzzy, field: x, threshold: 0.5, weight: 0.95}\n"
       "  - {name: b, type: exact, field: y, threshold: 0.1, weight: 1}\n"
       "  - {name: c, field: z, threshold: 0.79, weight: 0.91}\n" + quiet_tail,
       {"LOW_THRESHOLD", "LOW_THRESHOLD", "HIGH_WEIGHT_FUZZY", "HIGH_WEIGHT_FUZZY"}},
      // Boundaries do not flag; non-numbers are absent.
      {"blocking: {keys: [{name: k}]}\nrules:\n"
       "  - {name: a, type: fuzzy, field: x, threshold: 0.8, weight: 0.9}\n"
       "  - {name: b, type: fuzzy, field: y, threshold: '0.1', weight: '1'}\n" + quiet_tail,
       {}},
      // Phone rules: substring tests, case-sensitive, over every strategy.
      {"blocking: {keys: [{field: area}]}\nrules:\n"
       "  - {name: a, type: exact, field: home_phone}\n  - {name: b, type: exact, field: x}\n" + quiet_tail,
       {"PHONE_WITHOUT_BLOCKING"}},
      {"blocking: {keys: [{field: phone_area}]}\nrules:\n"
       "  - {name: a, type: exact, field: mobile_phone}\n  - {name: b, type: exact, field: x}\n" + quiet_tail,
       {}},
      {"blocking: {keys: [{field: area}]}\nrules:\n"
       "  - {name: a, type: exact, field: Phone}\n  - {name: b, type: exact, field: x}\n" + quiet_tail,
       {}},
      // Keys written as lists of field names are "unknown" keys.
      {"blocking: {keys: [[phone], [zip]]}\nrules:\n"
       "  - {name: a, type: exact, field: phone}\n  - {name: b, type: exact, field: x}\n" + quiet_tail,
       {"PHONE_WITHOUT_BLOCKING"}},
      // The key's "field" wins over its "name" even when it is not a string.
      {"blocking: {keys: [{field: 1, name: phone}]}\nrules:\n"
       "  - {name: a, type: exact, field: phone}\n  - {name: b, type: exact, field: x}\n" + quiet_tail,
       {"PHONE_WITHOUT_BLOCKING"}},
  };
  for (const Row& r : rows) EXPECT_EQ(flag_codes(plan_of(r.yaml)), r.codes) << r.yaml;
}

// A haversine threshold is a distance in km: however small, it is no risk of over-merging.
TEST(GeneratePlan, NoLowThresholdForDistances) {
  for (const char* threshold : {"0.05", "0.79", "0.8", "25"}) {
    for (const char* algorithm : {"haversine", "jaro_winkler"}) {
      const std::string yaml = std::string("rules: [{name: r, type: similarity, field: f, "
                                           "algorithm: ") + algorithm + ", threshold: " +
                               threshold + "}]";
      const bool low = std::string(algorithm) != "haversine" && std::stod(threshold) < 0.8;
      EXPECT_EQ(flag_messages(plan_of(yaml), "LOW_THRESHOLD").size(), low ? 1u : 0u) << yaml;
    }
  }
}

TEST(GeneratePlan, TwoDecimalFlagValues) {
  struct Row {
    const char* threshold;
    const char* want;
  };
  // Correctly rounded from the exact binary value, ties to even.
  const Row rows[] = {{"0.79", "0.79"}, {"0.5", "0.50"}, {"0.755", "0.76"}, {"0.625", "0.62"},
                      {"0.125", "0.12"}, {"0", "0.00"}, {"-1", "-1.00"}, {"0.004", "0.00"}};
  for (const Row& r : rows) {
    const std::string yaml = std::string("rules: [{name: r, type: fuzzy, field: f, threshold: ") +
                             r.threshold + "}]";
    EXPECT_EQ(flag_messages(plan_of(yaml), "LOW_THRESHOLD"),
              std::vector<std::string>{"Rule 'r' has threshold " + std::string(r.want) +
                                       " — risk of over-merging"})
        << yaml;
  }
  // Exact binary ties: 1.125 rounds down to the even digit, 1.375 up.
  EXPECT_EQ(flag_messages(plan_of("rules: [{name: w, field: f, weight: 1.125}]"), "HIGH_WEIGHT_FUZZY"),
            std::vector<std::string>{"Fuzzy rule 'w' has weight 1.12 — high trust in approximate matching"});
  EXPECT_EQ(flag_messages(plan_of("rules: [{name: w, field: f, weight: 1.375}]"), "HIGH_WEIGHT_FUZZY"),
            std::vector<std::string>{"Fuzzy rule 'w' has weight 1.38 — high trust in approximate matching"});
  EXPECT_EQ(flag_messages(plan_of("rules: [{name: w, field: f, weight: 12}]"), "HIGH_WEIGHT_FUZZY"),
            std::vector<std::string>{"Fuzzy rule 'w' has weight 12.00 — high trust in approximate matching"});
}

TEST(GeneratePlan, MatchStrategyDefaults) {
  const PlanResult plan = plan_of(
      "rules:\n"
      "  - {name: r, field: f}\n"
      "  - {name: 3, type: exact, field: [a, b], algorithm: 7, threshold: '0.9', weight: 2}\n"
      "  - text\n"
      "matching: [{name: ignored}]\n");
  ASSERT_EQ(plan.match_strategies.size(), 3u);
  const Value tree = to_value(plan);
  EXPECT_EQ(osmira_base::compact_json(*tree.get("match_strategies")),
            R"~([{"algorithm":null,"evaluation_order":4,"field":"f","match_type":"unknown","rule_name":"r","threshold":null,"weight":0.0},)~"
            R"~({"algorithm":null,"evaluation_order":3,"field":"unknown","match_type":"exact","rule_name":"unknown","threshold":null,"weight":2.0},)~"
            R"~({"algorithm":null,"evaluation_order":4,"field":"unknown","match_type":"unknown","rule_name":"unknown","threshold":null,"weight":0.0}])~");
  EXPECT_EQ(plan.execution_stages[2].description, "unknown on unknown (w=2)");
  EXPECT_EQ(plan.execution_stages[3].description,
            "r on f via default (w=0), unknown on unknown via default (w=0)");
  EXPECT_EQ(summary_line(plan, "  Signals:"),
            "  Signals:      f (unknown, w=0), unknown (exact, w=2), unknown (unknown, w=0)");
  // `matching` is never consulted.
  EXPECT_TRUE(plan_of("matching: [{name: m, type: exact, field: f}]").match_strategies.empty());
}

TEST(GeneratePlan, BlockingAnalysis) {
  struct Row {
    const char* yaml;
    const char* want;  // compact JSON of blocking_analysis
  };
  const Row rows[] = {
      {"blocking: {keys: [{field: a}]}",
       R"~({"estimated_reduction":"low","keys":[{"name":"a","transformation":"identity"}],"strategy":"none","warnings":[]})~"},
      {"blocking: {strategy: lsh, keys: [{field: a}, {name: b}, {name: c, transformation: soundex}]}",
       R"~({"estimated_reduction":"medium","keys":[{"name":"a","transformation":"identity"},{"name":"b","transformation":"identity"},)~"
       R"~({"name":"c","transformation":"soundex"}],"strategy":"lsh","warnings":[]})~"},
      {"blocking: {keys: [a, b, c, d]}",
       R"~({"estimated_reduction":"high","keys":[{"name":"unknown","transformation":"identity"},{"name":"unknown","transformation":"identity"},)~"
       R"~({"name":"unknown","transformation":"identity"},{"name":"unknown","transformation":"identity"}],"strategy":"none","warnings":[]})~"},
      {"blocking: {strategy: composite}",
       R"~({"estimated_reduction":"medium","keys":[],"strategy":"composite","warnings":[]})~"},
      {"blocking: {strategy: none, keys: {a: 1}}",
       R"~({"estimated_reduction":"none","keys":[],"strategy":"none","warnings":["No blocking keys defined — O(n²) pairwise comparisons"]})~"},
      // "transform" wins over "transformation" whenever present.
      {"blocking: {keys: [{field: a, transform: null, transformation: upper}]}",
       R"~({"estimated_reduction":"low","keys":[{"name":"a","transformation":"identity"}],"strategy":"none","warnings":[]})~"},
      {"blocking: {keys: [{field: null, name: b}]}",
       R"~({"estimated_reduction":"low","keys":[{"name":"unknown","transformation":"identity"}],"strategy":"none","warnings":[]})~"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(osmira_base::compact_json(*to_value(plan_of(r.yaml)).get("blocking_analysis")), r.want) << r.yaml;
  }
}

TEST(GeneratePlan, SourcesAndSurvivorship) {
  const PlanResult plan = plan_of(
      "identity_version: 3\n"
      "entity: {name: [x]}\n"
      "sources:\n"
      "  - {name: a, system: s, attributes: {x: 1, y: 2}}\n"
      "  - {name: b, attributes: [x, y]}\n"
      "  - plain\n"
      "survivorship:\n"
      "  rules:\n"
      "    - {field: email, strategy: source_priority, source_priority: [a, 1, b, null]}\n"
      "    - {field: 2, source_priority: []}\n"
      "    - {source_priority: a}\n");
  const Value tree = to_value(plan);
  EXPECT_EQ(tree.get("entity")->as_string(), "unknown");
  EXPECT_EQ(tree.get("identity_version")->as_string(), "unknown");
  EXPECT_EQ(osmira_base::compact_json(*tree.get("sources")),
            R"~([{"field_count":2,"name":"a","system":"s"},{"field_count":0,"name":"b","system":"unknown"},)~"
            R"~({"field_count":0,"name":"unknown","system":"unknown"}])~");
  EXPECT_EQ(osmira_base::compact_json(*tree.get("survivorship_summary")),
            R"~([{"field":"email","source_priority":["a","b"],"strategy":"source_priority"},)~"
            R"~({"field":"unknown","source_priority":[],"strategy":"unknown"},)~"
            R"~({"field":"unknown","source_priority":null,"strategy":"unknown"}])~");
  EXPECT_EQ(plan.execution_stages[0].inputs, (std::vector<std::string>{"a", "b", "unknown"}));
  EXPECT_EQ(summary_line(plan, "  Sources:"), "  Sources:      3 (a, b, unknown)");
  EXPECT_EQ(summary_line(plan, "  Survivorship:"), "  Survivorship: 3 fields configured");
}

TEST(GeneratePlan, SourcesGivenAsMappingAreNoSources) {
  const PlanResult plan = plan_of("sources:\n  crm: {name: crm, system: s, attributes: {a: 1}}\n");
  EXPECT_TRUE(plan.sources.empty());
  EXPECT_TRUE(plan.execution_stages[0].inputs.empty());
  EXPECT_EQ(plan.execution_stages[0].description, "Ingest and normalize fields from: ");
  EXPECT_EQ(summary_line(plan, "  Sources:"), "  Sources:      0 ()");
  EXPECT_TRUE(flag_messages(plan, "SINGLE_SOURCE").empty());
}

TEST(GeneratePlan, ThresholdsLine) {
  struct Row {
    const char* yaml;
    const char* want;
  };
  const Row rows[] = {
      {"decision: {thresholds: {match: 0.9, review: 0.6}}", "  Thresholds:   merge >= 0.9, review >= 0.6"},
      {"decision: {thresholds: {match: 1, review: 0}}", "  Thresholds:   merge >= 1, review >= 0"},
      {"decision: {thresholds: {match: 0.85, review: x}}", "  Thresholds:   merge >= 0.85"},
      {"decision: {thresholds: {review: 0.6}}", "  Thresholds:   not configured"},
      {"decision: {thresholds: {match: '0.9', review: 0.6}}", "  Thresholds:   not configured"},
      {"decision: {thresholds: {match: 0.0000001}}", "  Thresholds:   merge >= 0.0000001"},
      {"decision: {thresholds: {match: 1e20}}", "  Thresholds:   merge >= 100000000000000000000"},
  };
  for (const Row& r : rows) EXPECT_EQ(summary_line(plan_of(r.yaml), "  Thresholds:"), r.want) << r.yaml;
}

TEST(GeneratePlan, HashIgnoresLayoutButNotValues) {
  const std::string a = plan_of("a: 1\nb: [x, y]\n").plan_hash;
  EXPECT_EQ(a, plan_of("# comment\nb:\n  - x\n  - y\na: 1\n").plan_hash);
  EXPECT_EQ(a, plan_of("{b: [x, y], a: 1}").plan_hash);
  EXPECT_NE(a, plan_of("a: 1.0\nb: [x, y]\n").plan_hash);
  EXPECT_EQ(a, document_hash(*parser::parse_yaml("a: 1\nb: [x, y]\n")));
}

}  // namespace
}  // namespace vintrel_core::commands::plan
