// The spec compiler, driven by spec texts read with the spec reader: sources, blocking
// inference, rule expansion, Fellegi–Sunter rules and weights, decision defaults, the copied
// sections, durations, and a golden plan for a spec that uses every section.
#include "core/engine/compiler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "common/spec/spec_reader.h"

namespace osmira_core::engine::compiler {
namespace {

namespace ir = osmira_common::ir;
namespace spec = osmira_common::spec;
using ir::BlockingTransformation;
using T = BlockingTransformation;

// A spec with the three required sections and `extra` appended as further top-level keys.
struct Parts {
  std::string sources = "{crm: {}}";
  std::string decision = "{thresholds: {match: 0.9}}";
  std::string extra;
};

std::string spec_text(const Parts& p) {
  return "api_version: vintrel/v1\nidentity_version: \"3\"\nentity: {name: person}\nsources: " +
         p.sources + "\ndecision: " + p.decision + "\n" + p.extra;
}

ir::IdentityPlan compile_text(const std::string& yaml) {
  const spec::SpecReadResult read = spec::read_identity_spec(yaml);
  if (!read.ok()) {
    ADD_FAILURE() << read.error().message() << "\n" << yaml;
    return {};
  }
  auto plan = SpecCompiler::compile(read.value());
  if (!plan.ok()) {
    ADD_FAILURE() << plan.error().message();
    return {};
  }
  return std::move(plan).value();
}

ir::IdentityPlan with_extra(const std::string& extra) {
  Parts p;
  p.extra = extra;
  return compile_text(spec_text(p));
}
ir::IdentityPlan with_decision(const std::string& decision) {
  Parts p;
  p.decision = decision;
  return compile_text(spec_text(p));
}
ir::IdentityPlan with_scoring(const std::string& scoring) {
  return with_decision("{thresholds: {match: 0.9}, scoring: " + scoring + "}");
}

std::string rule_json(const ir::CompiledRule& rule) {
  std::string out;
  ir::write_json(out, rule);
  return out;
}

TEST(SpecCompiler, MissingSectionsTakeDefaults) {
  const ir::IdentityPlan plan = with_extra("");
  EXPECT_EQ(plan.entity, "person");
  EXPECT_EQ(plan.identity_version, "3");

  ASSERT_EQ(plan.sources.size(), 1u);
  const ir::ResolvedSource& s = plan.sources[0];
  EXPECT_EQ(s.name, "crm");
  EXPECT_EQ(s.adapter, "unknown");
  EXPECT_EQ(s.location, "unknown");
  EXPECT_EQ(s.id_field, "id");
  EXPECT_TRUE(s.field_mappings.empty());
  EXPECT_FALSE(s.temporal || s.freshness || s.schema || s.sampling);
  EXPECT_TRUE(s.tags.empty() && s.pii_fields.empty());
  EXPECT_EQ(s.reliability, 1.0);

  EXPECT_EQ(plan.blocking, ir::CompiledBlocking{});
  EXPECT_EQ(plan.blocking.strategy, ir::BlockingStrategy::kComposite);
  EXPECT_FALSE(plan.blocking.neighborhood_window.has_value());

  EXPECT_TRUE(plan.match_graph.rules.empty());
  EXPECT_EQ(plan.match_graph.leaf_count, 0u);
  EXPECT_EQ(plan.survivorship.default_strategy, ir::SurvivorshipStrategy::kMostRecent);
  EXPECT_TRUE(plan.survivorship.field_policies.empty());

  const ir::DecisionConfig& d = plan.decision;
  EXPECT_EQ(d.match_threshold, 0.9);
  EXPECT_FALSE(d.review_threshold || d.reject_threshold || d.review_webhook);
  EXPECT_EQ(d.conflict_strategy, ir::ConflictStrategy::kPreferHighConfidence);
  EXPECT_EQ(d.scoring_method, ir::ScoringMethod::kWeightedSum);
  EXPECT_FALSE(d.ml_ensemble_config || d.custom_scoring_config || d.fellegi_sunter || d.clustering);
  EXPECT_EQ(d.tie_breaking, std::vector<ir::CompiledTieBreaker>{ir::CompiledTieBreaker::kLowestEntityId});
  EXPECT_EQ(d.min_total_weight, 0.0);
  EXPECT_TRUE(d.allow_single_field.empty());

  EXPECT_TRUE(plan.reference_identifiers.empty() && plan.relations.empty() && plan.exclusions.empty());
  EXPECT_FALSE(plan.compliance || plan.hierarchy || plan.audit || plan.metadata || plan.governance);
}

TEST(SpecCompiler, PlanHashIsTakenOverThePlanWithAnEmptyHash) {
  const ir::IdentityPlan plan = with_extra("");
  ASSERT_EQ(plan.plan_hash.size(), 64u);
  EXPECT_EQ(plan.plan_hash.find_first_not_of("0123456789abcdef"), std::string::npos);
  ir::IdentityPlan unhashed = plan;
  unhashed.plan_hash.clear();
  EXPECT_EQ(plan.plan_hash, osmira_base::sha256_hex(ir::plan_json(unhashed)));
  EXPECT_EQ(plan.plan_hash, with_extra("").plan_hash);
  EXPECT_NE(plan.plan_hash, with_decision("{thresholds: {match: 0.8}}").plan_hash);
}

TEST(SpecCompiler, ResolvesSources) {
  Parts p;
  p.sources =
      "\n  crm:\n"
      "    adapter: postgres\n    location: public.people\n    primary_key: person_id\n"
      "    attributes: {mail: email, full: name}\n"
      "    schema: {phone: {type: string, pii: true}, age: {type: int, nullable: true},"
      " email: {type: string, pii: true}}\n"
      "    sampling: {strategy: time_based, rate: 0.25}\n"
      "    tags: [gold, eu]\n"
      "    temporal: {valid_from: start, valid_to: end, strategy: bi_temporal}\n"
      "    freshness: {max_age: 30d, warn_after: 24h}\n"
      "    reliability: 0.8\n"
      "  legacy: {system: Oracle, table: T_PEOPLE, id: pid, freshness: {max_age_hours: 36},"
      " sampling: {strategy: stratified}, temporal: {valid_from: vf}}\n"
      "  odd: {freshness: {max_age: 2w, warn_after: soon}, sampling: {strategy: random, rate: 0}}\n";
  const ir::IdentityPlan plan = compile_text(spec_text(p));
  ASSERT_EQ(plan.sources.size(), 3u);

  const ir::ResolvedSource& crm = plan.sources[0];
  EXPECT_EQ(crm.name, "crm");
  EXPECT_EQ(crm.adapter, "postgres");
  EXPECT_EQ(crm.location, "public.people");
  EXPECT_EQ(crm.id_field, "person_id");
  EXPECT_EQ(crm.field_mappings, (ir::PlanMap<std::string>{{"full", "name"}, {"mail", "email"}}));
  ASSERT_TRUE(crm.schema.has_value());
  EXPECT_EQ(*crm.schema, (ir::PlanMap<ir::CompiledFieldSchema>{{"age", {"int", false, true}},
                                                              {"email", {"string", true, false}},
                                                              {"phone", {"string", true, false}}}));
  EXPECT_EQ(crm.pii_fields, (std::vector<std::string>{"email", "phone"}));
  EXPECT_EQ(crm.sampling, (ir::CompiledSampling{"timebased", 0.25}));
  EXPECT_EQ(crm.tags, (std::vector<std::string>{"gold", "eu"}));
  EXPECT_EQ(crm.temporal, (ir::TemporalConfig{"start", "end", ir::TemporalStrategy::kBiTemporal}));
  EXPECT_EQ(crm.freshness, (ir::CompiledFreshness{30 * 86400, 86400}));
  EXPECT_EQ(crm.reliability, 0.8);

  const ir::ResolvedSource& legacy = plan.sources[1];
  EXPECT_EQ(legacy.adapter, "Oracle");  // a legacy system name is kept as written
  EXPECT_EQ(legacy.location, "T_PEOPLE");
  EXPECT_EQ(legacy.id_field, "pid");
  EXPECT_EQ(legacy.freshness, (ir::CompiledFreshness{36 * 3600, std::nullopt}));
  EXPECT_EQ(legacy.sampling, (ir::CompiledSampling{"stratified", 1.0}));
  EXPECT_EQ(legacy.temporal, (ir::TemporalConfig{"vf", std::nullopt, ir::TemporalStrategy::kLatestOnly}));
  EXPECT_EQ(legacy.reliability, 1.0);

  const ir::ResolvedSource& odd = plan.sources[2];
  EXPECT_EQ(odd.freshness, (ir::CompiledFreshness{0, 0}));  // unreadable durations become 0
  EXPECT_EQ(odd.sampling, (ir::CompiledSampling{"random", 0.0}));
}

TEST(SpecCompiler, ParseDuration) {
  const uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const struct {
    const char* text;
    uint64_t seconds;
  } cases[] = {
      {"30d", 30 * 86400},
      {"24h", 86400},
      {"90m", 5400},
      {"45s", 45},
      {"120", 120},
      {"2w", 0},
      {"", 0},
      {"d", 0},
      {"  7d  ", 7 * 86400},
      {"+5m", 300},
      {"\t10s\n", 10},
      {"\xC2\xA0" "5m\xE3\x80\x80", 300},  // no-break and ideographic spaces are white space
      {"   ", 0},
      {"0d", 0},
      {"+", 0},
      {"+d", 0},
      {"++5s", 0},
      {"-5m", 0},
      {"-5", 0},
      {"5.5h", 0},
      {"1 d", 0},
      {"5D", 0},  // units are lower case only
      {"5 ", 5},
      {"5x", 0},
      {"\xC3\xA9", 0},
      {"5\xC3\xA9", 0},
      {"18446744073709551615", kMax},
      {"18446744073709551616", 0},
      {"18446744073709551615s", kMax},
      {"18446744073709551616s", 0},
      {"213503982334601d", 213503982334601ull * 86400},
      {"213503982334602d", kMax},  // beyond 64 bits: saturates
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SpecCompiler::parse_duration(c.text), c.seconds) << '"' << c.text << '"';
  }
}

TEST(SpecCompiler, InferTransformationsSingleField) {
  const struct {
    const char* field;
    BlockingTransformation expected;
  } cases[] = {
      {"first_initial", T::kFirstInitial},
      {"name_initial", T::kFirstInitial},     // "initial" wins over "name"
      {"soundex_last_name", T::kSoundex},
      {"phone_area_code", T::kAreaCode},      // "area_code" wins over "phone"
      {"ssn_last4", T::kLast4},
      {"phone_last_4", T::kLast4},
      {"name_trigrams", T::kTrigrams},
      {"phone", T::kNormalizePhone},
      {"Mobile_Number", T::kNormalizePhone},
      {"cell", T::kNormalizePhone},
      {"excellent_score", T::kNormalizePhone},  // contains "cell"
      {"telephone", T::kNormalizePhone},
      {"hotel_code", T::kNormalizePhone},       // contains "tel"
      {"email", T::kNormalizeEmail},
      {"EMAIL_DOMAIN", T::kNormalizeEmail},     // "email" wins over "domain"
      {"work_email_name", T::kNormalizeEmail},  // "email" wins over "name"
      {"last_name", T::kNormalizeName},
      {"username", T::kNormalizeName},
      {"homepage", T::kNormalizeDomain},
      {"HomePage", T::kNormalizeDomain},
      {"website", T::kNormalizeDomain},
      {"domain", T::kNormalizeDomain},
      {"profile_url", T::kNormalizeDomain},
      {"zip", T::kLowercase},
      {"company_homepage", T::kLowercase},  // only the exact name "homepage" counts
      {"", T::kLowercase},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SpecCompiler::infer_transformations({c.field}),
              std::vector<BlockingTransformation>{c.expected})
        << c.field;
  }
}

TEST(SpecCompiler, InferTransformationsSeveralFields) {
  const struct {
    std::vector<std::string> fields;
    std::vector<BlockingTransformation> expected;
  } cases[] = {
      {{"first_name", "zip"}, {T::kNormalizeName}},
      {{"zip"}, {T::kLowercase}},
      {{}, {T::kLowercase}},
      {{"last_name", "phone"}, {T::kNormalizeName, T::kNormalizePhone}},
      {{"zip", "email", "city", "email"}, {T::kNormalizeEmail, T::kNormalizeEmail}},
      {{"first_initial", "last_name", "dob"}, {T::kFirstInitial, T::kNormalizeName}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SpecCompiler::infer_transformations(c.fields), c.expected)
        << testing::PrintToString(c.fields);
  }
}

TEST(SpecCompiler, Blocking) {
  const ir::IdentityPlan a = with_extra(
      "blocking: {strategy: lsh, keys: [[email], [last_name, zip], [zip]],"
      " fallback: {enabled: false, sample_rate: 0.05}}\n");
  EXPECT_EQ(a.blocking.strategy, ir::BlockingStrategy::kLsh);
  ASSERT_EQ(a.blocking.keys.size(), 3u);
  EXPECT_EQ(a.blocking.keys[0], (ir::BlockingKey{{"email"}, {T::kNormalizeEmail}}));
  EXPECT_EQ(a.blocking.keys[1], (ir::BlockingKey{{"last_name", "zip"}, {T::kNormalizeName}}));
  EXPECT_EQ(a.blocking.keys[2], (ir::BlockingKey{{"zip"}, {T::kLowercase}}));
  EXPECT_EQ(a.blocking.fallback_sample_rate, 0.05);  // `enabled` is not consulted
  EXPECT_FALSE(a.blocking.lsh_bands || a.blocking.lsh_rows);
  EXPECT_EQ(a.blocking.neighborhood_window, 50u);
  EXPECT_TRUE(a.blocking.sort_fields.empty());

  const ir::IdentityPlan b = with_extra("blocking: {fallback: {enabled: true}}\n");
  EXPECT_EQ(b.blocking.strategy, ir::BlockingStrategy::kComposite);
  EXPECT_TRUE(b.blocking.keys.empty());
  EXPECT_FALSE(b.blocking.fallback_sample_rate.has_value());
  EXPECT_EQ(b.blocking.neighborhood_window, 50u);
}

TEST(SpecCompiler, CompilesEachRuleKind) {
  const struct {
    const char* rule;
    const char* json;
    uint64_t leaves;
  } cases[] = {
      {"{type: exact, name: e, field: email}",
       R"({"name":"e","rule_type":{"type":"exact","field":"email","weight":1.0,"case_insensitive":false,"normalize":false,"normalizer":null}})",
       1},
      {"{type: exact, name: e, field: email, weight: 2, options: {case_insensitive: true, normalize: true, normalizer: email}}",
       R"({"name":"e","rule_type":{"type":"exact","field":"email","weight":2.0,"case_insensitive":true,"normalize":true,"normalizer":"email"}})",
       1},
      {"{type: similarity, name: s, field: n, algorithm: soundex, threshold: 0.8, weight: 0.5, locale: de,"
       " options: {transliterate: true}}",
       R"({"name":"s","rule_type":{"type":"similarity","field":"n","algorithm":"soundex","threshold":0.8,"weight":0.5,"normalizer":null}})",
       1},
      {"{type: range, name: r, field: age, tolerance: 2, weight: 3}",
       R"({"name":"r","rule_type":{"type":"range","field":"age","tolerance":2.0,"weight":3.0,"normalizer":null}})",
       1},
      {"{type: ml, name: m, model: mdl-1, features: [a, b], threshold: 0.7, weight: 2}",
       R"({"name":"m","rule_type":{"type":"ml","model_id":"mdl-1","features":["a","b"],"threshold":0.7,"weight":2.0}})",
       1},
      // Several fields: an "and" composite whose children carry the parent's settings.
      {"{type: exact, name: addr, fields: [city, zip], weight: 2, options: {case_insensitive: true}}",
       R"({"name":"addr","rule_type":{"type":"composite","operator":"and","children":[)"
       R"({"name":"addr_city","rule_type":{"type":"exact","field":"city","weight":2.0,"case_insensitive":true,"normalize":false,"normalizer":null}},)"
       R"({"name":"addr_zip","rule_type":{"type":"exact","field":"zip","weight":2.0,"case_insensitive":true,"normalize":false,"normalizer":null}}]}})",
       2},
      {"{type: similarity, name: r, field: [a, b], algorithm: levenshtein, threshold: 0.5, normalizer: name}",
       R"({"name":"r","rule_type":{"type":"composite","operator":"and","children":[)"
       R"({"name":"r_a","rule_type":{"type":"similarity","field":"a","algorithm":"levenshtein","threshold":0.5,"weight":1.0,"normalizer":"name"}},)"
       R"({"name":"r_b","rule_type":{"type":"similarity","field":"b","algorithm":"levenshtein","threshold":0.5,"weight":1.0,"normalizer":"name"}}]}})",
       2},
      {"{type: range, name: g, field: [lat, lon, alt], tolerance: 0.1, normalizer: phone}",
       R"({"name":"g","rule_type":{"type":"composite","operator":"and","children":[)"
       R"({"name":"g_lat","rule_type":{"type":"range","field":"lat","tolerance":0.1,"weight":1.0,"normalizer":"phone"}},)"
       R"({"name":"g_lon","rule_type":{"type":"range","field":"lon","tolerance":0.1,"weight":1.0,"normalizer":"phone"}},)"
       R"({"name":"g_alt","rule_type":{"type":"range","field":"alt","tolerance":0.1,"weight":1.0,"normalizer":"phone"}}]}})",
       3},
      {"{type: composite, name: c, operator: or, children: [{type: exact, name: x, field: [p, q]},"
       " {type: composite, name: inner, operator: and, children: []}, {type: range, name: y, field: f, tolerance: 0}]}",
       R"({"name":"c","rule_type":{"type":"composite","operator":"or","children":[)"
       R"({"name":"x","rule_type":{"type":"composite","operator":"and","children":[)"
       R"({"name":"x_p","rule_type":{"type":"exact","field":"p","weight":1.0,"case_insensitive":false,"normalize":false,"normalizer":null}},)"
       R"({"name":"x_q","rule_type":{"type":"exact","field":"q","weight":1.0,"case_insensitive":false,"normalize":false,"normalizer":null}}]}},)"
       R"({"name":"inner","rule_type":{"type":"composite","operator":"and","children":[]}},)"
       R"({"name":"y","rule_type":{"type":"range","field":"f","tolerance":0.0,"weight":1.0,"normalizer":null}}]}})",
       3},
  };
  std::string all_rules = "rules:\n";
  uint64_t all_leaves = 0;
  for (const auto& c : cases) {
    const ir::IdentityPlan plan = with_extra(std::string("rules:\n  - ") + c.rule + "\n");
    ASSERT_EQ(plan.match_graph.rules.size(), 1u) << c.rule;
    EXPECT_EQ(rule_json(plan.match_graph.rules[0]), c.json) << c.rule;
    EXPECT_EQ(plan.match_graph.leaf_count, c.leaves) << c.rule;
    all_rules += std::string("  - ") + c.rule + "\n";
    all_leaves += c.leaves;
  }
  EXPECT_EQ(with_extra(all_rules).match_graph.leaf_count, all_leaves);
}

TEST(SpecCompiler, DeeplyNestedCompositeRules) {
  constexpr int kDepth = 62;  // the deepest nesting the spec reader accepts
  std::string text;
  for (int i = 0; i < kDepth; ++i) text += "{type: composite, name: c" + std::to_string(i) + ", operator: or, children: [";
  text += "{type: exact, name: leaf, field: [f, g]}";
  for (int i = 0; i < kDepth; ++i) text += "]}";
  const ir::IdentityPlan plan = with_extra("rules:\n  - " + text + "\n");
  ASSERT_EQ(plan.match_graph.rules.size(), 1u);
  EXPECT_EQ(plan.match_graph.leaf_count, 2u);
  const ir::CompiledRule* r = &plan.match_graph.rules[0];
  for (int i = 0; i < kDepth; ++i) {
    EXPECT_EQ(r->name, "c" + std::to_string(i));
    const auto& c = std::get<ir::CompiledRuleType::Composite>(r->rule_type.kind);
    EXPECT_EQ(c.op, ir::CompositeOperator::kOr);
    ASSERT_EQ(c.children.size(), 1u);
    r = &c.children[0];
  }
  EXPECT_EQ(r->name, "leaf");
  const auto& leaf = std::get<ir::CompiledRuleType::Composite>(r->rule_type.kind);
  ASSERT_EQ(leaf.children.size(), 2u);
  EXPECT_EQ(leaf.children[1].name, "leaf_g");
}

constexpr const char* kFsFields =
    "fields: [{name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1},"
    " {name: name, comparator: jaro_winkler, m_probability: 0.8, u_probability: 0.2, weight: 2,"
    " normalizer: name}]";

TEST(SpecCompiler, FellegiSunterFieldsWithoutRulesBecomeRules) {
  Parts p;
  p.decision = std::string("{thresholds: {match: 0.9}, scoring: {strategy: fellegi_sunter, ") + kFsFields +
               ", thresholds: {match: 3, possible: 1, non_match: -1}}}";
  p.extra = "rules:\n  - {type: exact, name: email, field: mail}\n";
  const ir::IdentityPlan plan = compile_text(spec_text(p));
  const auto& rules = plan.match_graph.rules;
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].name, "email");  // the spec's own rule, untouched
  EXPECT_EQ(std::get<ir::CompiledRuleType::Exact>(rules[0].rule_type.kind).field, "mail");
  EXPECT_EQ(rules[1], (ir::CompiledRule{"name", {ir::CompiledRuleType::Similarity{
                                                    "name", ir::SimilarityAlgorithm::kJaroWinkler,
                                                    0.0, 2.0, "name"}}}));
  EXPECT_EQ(plan.match_graph.leaf_count, 2u);
  EXPECT_EQ(plan.decision.scoring_method, ir::ScoringMethod::kFellegiSunter);
  EXPECT_TRUE(plan.decision.fellegi_sunter.has_value());
}

TEST(SpecCompiler, FellegiSunterComparatorsToRules) {
  const ir::IdentityPlan plan = with_scoring(
      "{strategy: fellegi_sunter, fields: ["
      "{name: a, comparator: exact, m_probability: 0.9, u_probability: 0.1, weight: 3, normalizer: email},"
      "{name: b, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0.1},"
      "{name: c, comparator: levenshtein, m_probability: 0.9, u_probability: 0.1},"
      "{name: d, comparator: soundex, m_probability: 0.9, u_probability: 0.1},"
      "{name: e, comparator: metaphone, m_probability: 0.9, u_probability: 0.1},"
      "{name: f, comparator: cosine, m_probability: 0.9, u_probability: 0.1},"
      "{name: f, comparator: exact, m_probability: 0.9, u_probability: 0.1}]}");
  using A = ir::SimilarityAlgorithm;
  using Sim = ir::CompiledRuleType::Similarity;
  const std::vector<ir::CompiledRule> expected = {
      {"a", {ir::CompiledRuleType::Exact{"a", 3.0, false, false, "email"}}},
      {"b", {Sim{"b", A::kJaroWinkler, 0.0, 1.0, std::nullopt}}},
      {"c", {Sim{"c", A::kLevenshtein, 0.0, 1.0, std::nullopt}}},
      {"d", {Sim{"d", A::kSoundex, 0.0, 1.0, std::nullopt}}},
      {"e", {Sim{"e", A::kMetaphone, 0.0, 1.0, std::nullopt}}},
      {"f", {Sim{"f", A::kCosine, 0.0, 1.0, std::nullopt}}},
      // Only the spec's own rule names count, so a repeated field name gets a second rule.
      {"f", {ir::CompiledRuleType::Exact{"f", 1.0, false, false, std::nullopt}}},
  };
  EXPECT_EQ(plan.match_graph.rules, expected);
  EXPECT_EQ(plan.match_graph.leaf_count, 7u);
  // No thresholds: the method is still Fellegi–Sunter, but there is no plan.
  EXPECT_EQ(plan.decision.scoring_method, ir::ScoringMethod::kFellegiSunter);
  EXPECT_FALSE(plan.decision.fellegi_sunter.has_value());
}

TEST(SpecCompiler, FellegiSunterRuleNamesComeFromTopLevelRulesOnly) {
  Parts p;
  p.decision = "{thresholds: {match: 0.9}, scoring: {strategy: fellegi_sunter, fields: ["
               "{name: addr_city, comparator: exact, m_probability: 0.9, u_probability: 0.1},"
               "{name: addr, comparator: exact, m_probability: 0.9, u_probability: 0.1}]}}";
  p.extra = "rules:\n  - {type: exact, name: addr, field: [city, zip]}\n";
  const auto& rules = compile_text(spec_text(p)).match_graph.rules;
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[1].name, "addr_city");  // a child's name does not count
}

TEST(SpecCompiler, ScoringMethodAndFellegiSunterPlanPresence) {
  const struct {
    const char* scoring;  // empty: no scoring section
    ir::ScoringMethod method;
    bool fs_plan;
    size_t rules;
  } cases[] = {
      {"", ir::ScoringMethod::kWeightedSum, false, 0},
      {"custom", ir::ScoringMethod::kCustom, false, 0},
      {"{method: ml_ensemble}", ir::ScoringMethod::kMlEnsemble, false, 0},
      // The method alone does not derive rules or a plan; the strategy does.
      {"{method: fellegi_sunter, fields: [{name: a, comparator: exact, m_probability: 0.9, u_probability: 0.1}],"
       " thresholds: {match: 1, possible: 0, non_match: -1}}",
       ir::ScoringMethod::kFellegiSunter, false, 0},
      {"{strategy: fellegi_sunter, method: ml_ensemble}", ir::ScoringMethod::kFellegiSunter, false, 0},
      {"{strategy: fellegi_sunter, thresholds: {match: 1, possible: 0, non_match: -1}}",
       ir::ScoringMethod::kFellegiSunter, false, 0},
      {"{strategy: fellegi_sunter, method: custom, fields: [], thresholds: {match: 1, possible: 0, non_match: -1}}",
       ir::ScoringMethod::kFellegiSunter, true, 0},
      {"{strategy: fellegi_sunter, fields: [{name: a, comparator: exact, m_probability: 0.9, u_probability: 0.1}]}",
       ir::ScoringMethod::kFellegiSunter, false, 1},
  };
  for (const auto& c : cases) {
    const std::string scoring = c.scoring;
    const ir::IdentityPlan plan = scoring.empty() ? with_extra("") : with_scoring(scoring);
    EXPECT_EQ(plan.decision.scoring_method, c.method) << scoring;
    EXPECT_EQ(plan.decision.fellegi_sunter.has_value(), c.fs_plan) << scoring;
    EXPECT_EQ(plan.match_graph.rules.size(), c.rules) << scoring;
  }
}

TEST(SpecCompiler, FellegiSunterWeightsAndBounds) {
  const ir::IdentityPlan plan = with_scoring(
      "{strategy: fellegi_sunter, fields: ["
      "{name: a, comparator: exact, weight: 2, m_probability: 0.9, u_probability: 0.1},"
      "{name: b, comparator: cosine, m_probability: 1.0, u_probability: 0.0, normalizer: domain},"
      "{name: c, comparator: soundex, m_probability: -3, u_probability: 7},"
      "{name: d, comparator: exact, m_probability: 0.99995, u_probability: 0.00005},"
      "{name: e, comparator: exact, m_probability: .nan, u_probability: .inf}],"
      " thresholds: {match: 5, possible: 1, non_match: -2, merge: 6}}");
  ASSERT_TRUE(plan.decision.fellegi_sunter.has_value());
  const ir::CompiledFellegiSunterPlan& fs = *plan.decision.fellegi_sunter;
  ASSERT_EQ(fs.fields.size(), 5u);

  const ir::CompiledFsField& a = fs.fields[0];
  EXPECT_EQ(a.comparator, ir::FsComparatorType::kExact);
  EXPECT_EQ(a.weight, 2.0);
  EXPECT_EQ(a.m_probability, 0.9);
  EXPECT_EQ(a.u_probability, 0.1);
  EXPECT_DOUBLE_EQ(a.w_agree, 2 * std::log(9.0));
  EXPECT_DOUBLE_EQ(a.w_disagree, 2 * std::log(1.0 / 9.0));

  const ir::CompiledFsField& b = fs.fields[1];
  EXPECT_EQ(b.comparator, ir::FsComparatorType::kCosine);
  EXPECT_EQ(b.normalizer, "domain");
  EXPECT_EQ(b.m_probability, 0.9999);
  EXPECT_EQ(b.u_probability, 0.0001);
  EXPECT_DOUBLE_EQ(b.w_agree, std::log(0.9999 / 0.0001));
  EXPECT_DOUBLE_EQ(b.w_disagree, std::log((1 - 0.9999) / (1 - 0.0001)));

  EXPECT_EQ(fs.fields[2].m_probability, 0.0001);
  EXPECT_EQ(fs.fields[2].u_probability, 0.9999);
  EXPECT_EQ(fs.fields[3].m_probability, 0.9999);
  EXPECT_EQ(fs.fields[3].u_probability, 0.0001);
  // A NaN goes to the lower bound, so the log weights stay finite.
  EXPECT_EQ(fs.fields[4].m_probability, 0.0001);
  EXPECT_EQ(fs.fields[4].u_probability, 0.9999);

  double max_composite = 0.0;
  double min_composite = 0.0;
  for (const ir::CompiledFsField& f : fs.fields) {
    EXPECT_TRUE(std::isfinite(f.w_agree) && std::isfinite(f.w_disagree)) << f.name;
    max_composite += f.w_agree;
    min_composite += f.w_disagree;
  }
  EXPECT_EQ(fs.max_composite, max_composite);
  EXPECT_EQ(fs.min_composite, min_composite);
  EXPECT_EQ(fs.match_threshold, 5.0);
  EXPECT_EQ(fs.possible_threshold, 1.0);
  EXPECT_EQ(fs.non_match_threshold, -2.0);
  EXPECT_EQ(fs.merge_threshold, 6.0);
  EXPECT_FALSE(fs.em_training.has_value());

  const ir::IdentityPlan empty = with_scoring(
      "{strategy: fellegi_sunter, fields: [], thresholds: {match: 1, possible: 0, non_match: -1}}");
  const ir::CompiledFellegiSunterPlan& e = *empty.decision.fellegi_sunter;
  EXPECT_TRUE(e.fields.empty());
  EXPECT_FALSE(e.merge_threshold.has_value());
  EXPECT_EQ(e.max_composite, 0.0);
  EXPECT_TRUE(std::signbit(e.max_composite));  // summed from -0.0
  EXPECT_TRUE(std::signbit(e.min_composite));
}

TEST(SpecCompiler, EmTrainingOnlyForMethodEm) {
  const std::string base =
      "{strategy: fellegi_sunter, fields: [], thresholds: {match: 1, possible: 0, non_match: -1}";
  const struct {
    const char* training;
    bool em;
  } cases[] = {
      {"", false},
      {", training: {}", false},  // method "manual"
      {", training: {method: em}", true},
      {", training: {method: EM}", false},
      {", training: {method: 'em '}", false},
      {", training: {method: ' em'}", false},
      {", training: {method: e m}", false},
  };
  for (const auto& c : cases) {
    const ir::IdentityPlan plan = with_scoring(base + c.training + "}");
    ASSERT_TRUE(plan.decision.fellegi_sunter.has_value()) << c.training;
    EXPECT_EQ(plan.decision.fellegi_sunter->em_training.has_value(), c.em) << c.training;
  }
  const ir::IdentityPlan d = with_scoring(base + ", training: {method: em}}");
  EXPECT_EQ(d.decision.fellegi_sunter->em_training,
            (ir::CompiledEmTraining{25, 0.001, std::nullopt, 1000000, 0.7}));
  const ir::IdentityPlan g = with_scoring(
      base + ", training: {method: em, max_iterations: 7, convergence_threshold: 0.5,"
             " estimate_u: random_sampling, max_random_pairs: 10, prior_weight: 0.25}}");
  EXPECT_EQ(g.decision.fellegi_sunter->em_training,
            (ir::CompiledEmTraining{7, 0.5, "random_sampling", 10, 0.25}));
}

TEST(SpecCompiler, MlEnsembleAndCustomExpression) {
  const ir::IdentityPlan ml = with_scoring(
      "{method: ml_ensemble, ml_ensemble: {coefficients: {name: 1.5, email: 2}, bias: -1}}");
  ASSERT_TRUE(ml.decision.ml_ensemble_config.has_value());
  EXPECT_EQ(*ml.decision.ml_ensemble_config,
            (ir::CompiledMlEnsembleConfig{{{"email", 2.0}, {"name", 1.5}}, -1.0}));

  const struct {
    const char* scoring;
    std::optional<std::string> expression;
  } cases[] = {
      {"{method: custom, custom: {expression: 'email * 0.5 + max(name, 0.2)'}}",
       "email * 0.5 + max(name, 0.2)"},
      // Kept as written even when it does not compile; only a log event marks it.
      {"{method: custom, custom: {expression: '(email + name'}}", "(email + name"},
      {"{method: custom, custom: {expression: 'email +'}}", "email +"},
      {"{method: custom, custom: {expression: ''}}", std::nullopt},
      {"{method: custom, custom: {}}", std::nullopt},
      {"{method: custom}", std::nullopt},
      // Carried whatever the scoring method.
      {"{method: weighted_sum, custom: {expression: a}}", "a"},
  };
  for (const auto& c : cases) {
    const ir::IdentityPlan plan = with_scoring(c.scoring);
    const auto& config = plan.decision.custom_scoring_config;
    EXPECT_EQ(config.has_value(), c.expression.has_value()) << c.scoring;
    if (config && c.expression) {
      EXPECT_EQ(config->expression, *c.expression) << c.scoring;
    }
  }
}

TEST(SpecCompiler, DecisionSettings) {
  const ir::IdentityPlan plan = with_decision(
      "{thresholds: {match: 0.9, review: 0.7, reject: 0.2}, conflict_strategy: manual_review,"
      " review_queue: {enabled: false, webhook: 'https://hooks.invalid/r'},"
      " audit: {log_decisions: true}, tie_breaking: [earliest_timestamp, exact_match_priority],"
      " clustering: {method: graph, min_edge_weight: 0.5, min_cluster_coherence: 0.25, max_cluster_size: 40},"
      " min_total_weight: 1.5, allow_single_field: [ssn, tax_id]}");
  const ir::DecisionConfig& d = plan.decision;
  EXPECT_EQ(d.review_threshold, 0.7);
  EXPECT_EQ(d.reject_threshold, 0.2);
  EXPECT_EQ(d.conflict_strategy, ir::ConflictStrategy::kManualReview);
  EXPECT_EQ(d.review_webhook, "https://hooks.invalid/r");  // `enabled` is not consulted
  EXPECT_EQ(d.tie_breaking, (std::vector<ir::CompiledTieBreaker>{ir::CompiledTieBreaker::kEarliestTimestamp,
                                                                 ir::CompiledTieBreaker::kExactMatchPriority}));
  EXPECT_EQ(d.clustering, (ir::CompiledClusteringConfig{ir::ClusteringMethod::kGraph, 0.5, 0.25, 40}));
  EXPECT_EQ(d.min_total_weight, 1.5);
  EXPECT_EQ(d.allow_single_field, (std::vector<std::string>{"ssn", "tax_id"}));
  EXPECT_EQ(plan.audit, (ir::CompiledAudit{false, true, false}));

  const ir::IdentityPlan q = with_decision("{thresholds: {match: 1}, review_queue: {enabled: true}, tie_breaking: []}");
  EXPECT_FALSE(q.decision.review_webhook.has_value());
  EXPECT_TRUE(q.decision.tie_breaking.empty());  // an empty list stays empty
}

TEST(SpecCompiler, ClusteringNeedsAMethod) {
  const struct {
    const char* clustering;
    std::optional<ir::CompiledClusteringConfig> expected;
  } cases[] = {
      {"{method: simple}", ir::CompiledClusteringConfig{ir::ClusteringMethod::kSimple, 0.0, 0.0,
                                                         std::numeric_limits<uint64_t>::max()}},
      {"{method: graph, max_cluster_size: 0}",
       ir::CompiledClusteringConfig{ir::ClusteringMethod::kGraph, 0.0, 0.0, 0}},
      {"{min_edge_weight: 0.5}", std::nullopt},
      {"{}", std::nullopt},
      {"~", std::nullopt},
  };
  for (const auto& c : cases) {
    const ir::IdentityPlan plan =
        with_decision(std::string("{thresholds: {match: 1}, clustering: ") + c.clustering + "}");
    EXPECT_EQ(plan.decision.clustering, c.expected) << c.clustering;
  }
}

TEST(SpecCompiler, Survivorship) {
  const ir::IdentityPlan plan = with_extra(
      "survivorship:\n"
      "  default: most_complete\n"
      "  overrides:\n"
      "    - {field: email, strategy: source_priority, priority: [crm, web]}\n"
      "    - {field: phone, strategy: source_priority, priority: []}\n"
      "    - {field: tags, strategy: aggregate, function: union}\n"
      "    - {field: score, strategy: aggregate, function: max}\n"
      "    - {field: score, strategy: aggregate, function: intersection}\n"
      "    - {field: note, strategy: custom, function: ~}\n");
  using S = ir::SurvivorshipStrategy;
  EXPECT_EQ(plan.survivorship.default_strategy, S::kMostComplete);
  const ir::PlanMap<ir::FieldSurvivorshipPolicy> expected = {
      {"email", {S::kSourcePriority, std::vector<std::string>{"crm", "web"}, std::nullopt}},
      {"note", {S::kCustom, std::nullopt, std::nullopt}},
      {"phone", {S::kSourcePriority, std::nullopt, std::nullopt}},  // an empty list: none
      {"score", {S::kAggregate, std::nullopt, "Intersection"}},     // the later override stands
      {"tags", {S::kAggregate, std::nullopt, "Union"}},
  };
  EXPECT_EQ(plan.survivorship.field_policies, expected);

  const struct {
    const char* function;
    const char* name;
  } names[] = {{"max", "Max"}, {"min", "Min"}, {"sum", "Sum"},
               {"avg", "Avg"}, {"union", "Union"}, {"intersection", "Intersection"}};
  for (const auto& n : names) {
    const ir::IdentityPlan p = with_extra(std::string("survivorship: {overrides: [{field: f, strategy: aggregate,"
                                                      " function: ") + n.function + "}]}\n");
    EXPECT_EQ(p.survivorship.default_strategy, S::kMostRecent);
    EXPECT_EQ(p.survivorship.field_policies.at("f").aggregate_fn, n.name);
  }
}

TEST(SpecCompiler, CopiedSections) {
  const ir::IdentityPlan plan = compile_text(
      "api_version: vintrel/v1\nidentity_version: 2.0.1\n"
      "entity:\n  name: company\n"
      "  compliance: {frameworks: [gdpr, ccpa], pii_fields: [email], audit_required: true, retention_days: 365}\n"
      "  hierarchy: {parent_field: parent_id, depth: 3, inheritance: [industry]}\n"
      "sources: {crm: {}}\n"
      "decision: {thresholds: {match: 0.9}}\n"
      "reference_identifiers:\n"
      "  - {name: duns, type: external, authority: dnb, field: duns_number, match_weight: 2,"
      " conditions: [{field: country, operator: eq, value: US}]}\n"
      "  - {name: internal_id, type: internal, field: iid}\n"
      "relations:\n"
      "  - {name: employs, from_entity: company, to_entity: person, join_key: company_id,"
      " cardinality: one_to_many, propagate_match: true}\n"
      "  - {name: owns, from_entity: company, to_entity: company, join_key: owner_id, cardinality: one_to_one}\n"
      "exclusions:\n"
      "  - {type: field_value, field: status, operator: eq, value: {b: [1, x, ~], a: 2.5}}\n"
      "  - {type: explicit_pair, source: crm, left_id_field: L1, right_id_field: R1}\n"
      "  - {type: cross_tenant, enabled: true}\n"
      "metadata: {name: companies, owner: data-team, tags: [core]}\n"
      "governance: {require_freshness: true, required_tags: [pii], log_probabilities: true}\n");
  EXPECT_EQ(plan.entity, "company");
  EXPECT_EQ(plan.identity_version, "2.0.1");
  EXPECT_EQ(plan.compliance, (ir::CompiledCompliance{{"gdpr", "ccpa"}, {"email"}, true, 365}));
  EXPECT_EQ(plan.hierarchy, (ir::CompiledHierarchy{"parent_id", 3, {"industry"}}));
  EXPECT_EQ(plan.reference_identifiers,
            (std::vector<ir::CompiledReferenceIdentifier>{
                {"duns", ir::ReferenceIdType::kExternal, "dnb", "duns_number", 2.0},
                {"internal_id", ir::ReferenceIdType::kInternal, std::nullopt, "iid", 1.0}}));
  EXPECT_EQ(plan.relations,
            (std::vector<ir::CompiledRelation>{
                {"employs", "company", "person", "company_id", ir::Cardinality::kOneToMany, true},
                {"owns", "company", "company", "owner_id", ir::Cardinality::kOneToOne, false}}));
  ASSERT_EQ(plan.exclusions.size(), 3u);
  std::string exclusions;
  for (const ir::CompiledExclusion& e : plan.exclusions) ir::write_json(exclusions, e);
  EXPECT_EQ(exclusions,
            R"({"type":"field_value","field":"status","operator":"eq","value":{"a":2.5,"b":[1,"x",null]}})"
            R"({"type":"explicit_pair","left_id":"L1","right_id":"R1"})"
            R"({"type":"cross_tenant","enabled":true})");
  EXPECT_EQ(plan.metadata, (ir::PlanMetadata{"companies", std::nullopt, "data-team", {"core"}}));
  EXPECT_EQ(plan.governance, (ir::CompiledGovernance{true, false, {"pii"}, true, false}));
  EXPECT_FALSE(plan.audit.has_value());
}

// A spec that uses every section, and the plan's whole JSON text.
TEST(SpecCompiler, GoldenPlan) {
  const std::string yaml = R"(api_version: vintrel/v1
identity_version: "1.4"
metadata: {name: people, description: golden, owner: team, tags: [a]}
entity:
  name: person
  compliance: {frameworks: [gdpr], pii_fields: [email], audit_required: true}
  hierarchy: {parent_field: household_id}
sources:
  crm:
    adapter: snowflake
    location: db.people
    primary_key: pid
    attributes: {mail: email}
    schema: {email: {type: string, pii: true}}
    sampling: {strategy: time_based, rate: 0.5}
    tags: [gold]
    temporal: {valid_from: vf, strategy: point_in_time}
    freshness: {max_age: 2d, warn_after: 90m}
    reliability: 0.75
  web: {}
reference_identifiers:
  - {name: ssn, type: internal, field: ssn}
blocking:
  strategy: single
  keys: [[email], [last_name, zip]]
  fallback: {enabled: true, sample_rate: 0.1}
rules:
  - {type: exact, name: email, field: email, weight: 2, options: {case_insensitive: true}}
  - {type: similarity, name: full, fields: [first_name, last_name], algorithm: jaro_winkler, threshold: 0.9}
survivorship:
  default: source_priority
  overrides:
    - {field: email, strategy: source_priority, priority: [crm]}
exclusions:
  - {type: cross_tenant, enabled: true}
relations:
  - {name: household, from_entity: person, to_entity: household, join_key: household_id, cardinality: many_to_one}
decision:
  thresholds: {match: 4, review: 2}
  scoring:
    method: weighted_sum
    strategy: fellegi_sunter
    ml_ensemble: {coefficients: {email: 1}, bias: 0.5}
    custom: {expression: "email + phone"}
    fields:
      - {name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1}
      - {name: phone, comparator: levenshtein, weight: 0.5, m_probability: 1, u_probability: 0.25, normalizer: phone}
    thresholds: {match: 4, possible: 2, non_match: 0, merge: 5}
    training: {method: em, max_iterations: 10, estimate_u: random_sampling}
  conflict_strategy: prefer_recent
  review_queue: {enabled: true, webhook: "https://hooks.invalid/x"}
  audit: {log_all_comparisons: true, log_decisions: true, log_conflicts: true}
  clustering: {method: graph, min_edge_weight: 0.6}
  min_total_weight: 1
  allow_single_field: [ssn]
governance: {require_schema: true}
)";
  const ir::IdentityPlan plan = compile_text(yaml);
  ir::IdentityPlan unhashed = plan;
  unhashed.plan_hash.clear();
  const std::string expected =
      R"({"entity":"person","plan_hash":"","identity_version":"1.4","sources":[)"
      R"({"name":"crm","adapter":"snowflake","location":"db.people","id_field":"pid",)"
      R"("field_mappings":{"mail":"email"},)"
      R"("temporal":{"valid_from_field":"vf","valid_to_field":null,"strategy":"point_in_time"},)"
      R"("freshness":{"max_age_seconds":172800,"warn_after_seconds":5400},)"
      R"("schema":{"email":{"field_type":"string","pii":true,"nullable":false}},)"
      R"("sampling":{"strategy":"timebased","rate":0.5},"tags":["gold"],"pii_fields":["email"],"reliability":0.75},)"
      R"({"name":"web","adapter":"unknown","location":"unknown","id_field":"id","field_mappings":{},)"
      R"("temporal":null,"freshness":null,"schema":null,"sampling":null,"tags":[],"pii_fields":[],"reliability":1.0}],)"
      R"("blocking":{"strategy":"single","keys":[{"fields":["email"],"transformations":["normalize_email"]},)"
      R"({"fields":["last_name","zip"],"transformations":["normalize_name"]}],)"
      R"("fallback_sample_rate":0.1,"lsh_bands":null,"lsh_rows":null,"neighborhood_window":50,"sort_fields":[]},)"
      R"("match_graph":{"rules":[)"
      R"({"name":"email","rule_type":{"type":"exact","field":"email","weight":2.0,"case_insensitive":true,"normalize":false,"normalizer":null}},)"
      R"({"name":"full","rule_type":{"type":"composite","operator":"and","children":[)"
      R"({"name":"full_first_name","rule_type":{"type":"similarity","field":"first_name","algorithm":"jaro_winkler","threshold":0.9,"weight":1.0,"normalizer":null}},)"
      R"({"name":"full_last_name","rule_type":{"type":"similarity","field":"last_name","algorithm":"jaro_winkler","threshold":0.9,"weight":1.0,"normalizer":null}}]}},)"
      R"({"name":"phone","rule_type":{"type":"similarity","field":"phone","algorithm":"levenshtein","threshold":0.0,"weight":0.5,"normalizer":"phone"}}],)"
      R"("leaf_count":4},)"
      R"("survivorship":{"default_strategy":"source_priority","field_policies":{"email":{"strategy":"source_priority","source_priority":["crm"],"aggregate_fn":null}}},)"
      R"("decision":{"match_threshold":4.0,"review_threshold":2.0,"reject_threshold":null,"conflict_strategy":"prefer_recent",)"
      R"("review_webhook":"https://hooks.invalid/x","scoring_method":"fellegi_sunter",)"
      R"("ml_ensemble_config":{"coefficients":{"email":1.0},"bias":0.5},)"
      R"("custom_scoring_config":{"expression":"email + phone"},)"
      R"("fellegi_sunter":{"fields":[)"
      R"({"name":"email","comparator":"exact","weight":1.0,"m_probability":0.9,"u_probability":0.1,"w_agree":2.1972245773362196,"w_disagree":-2.1972245773362196,"normalizer":null},)"
      R"({"name":"phone","comparator":"levenshtein","weight":0.5,"m_probability":0.9999,"u_probability":0.25,"w_agree":0.6930971780597787,"w_disagree":-4.461329149762256,"normalizer":"phone"}],)"
      R"("match_threshold":4.0,"possible_threshold":2.0,"non_match_threshold":0.0,"merge_threshold":5.0,)"
      R"("max_composite":2.8903217553959983,"min_composite":-6.658553727098475,)"
      R"("em_training":{"max_iterations":10,"convergence_threshold":0.001,"estimate_u":"random_sampling","max_random_pairs":1000000,"prior_weight":0.7}},)"
      R"("tie_breaking":["lowest_entity_id"],)"
      R"("clustering":{"method":"graph","min_edge_weight":0.6,"min_cluster_coherence":0.0,"max_cluster_size":18446744073709551615},)"
      R"("min_total_weight":1.0,"allow_single_field":["ssn"]},)"
      R"("reference_identifiers":[{"name":"ssn","id_type":"internal","authority":null,"field":"ssn","match_weight":1.0}],)"
      R"("relations":[{"name":"household","from_entity":"person","to_entity":"household","join_key":"household_id","cardinality":"many_to_one","propagate_match":false}],)"
      R"("exclusions":[{"type":"cross_tenant","enabled":true}],)"
      R"("compliance":{"frameworks":["gdpr"],"pii_fields":["email"],"audit_required":true,"retention_days":null},)"
      R"("hierarchy":{"parent_field":"household_id","max_depth":5,"inherited_fields":[]},)"
      R"("audit":{"log_all_comparisons":true,"log_decisions":true,"log_conflicts":true},)"
      R"("metadata":{"name":"people","description":"golden","owner":"team","tags":["a"]},)"
      R"("governance":{"require_freshness":false,"require_schema":true,"required_tags":[],"log_probabilities":false,"require_shadow_on_threshold_change":false}})";
  EXPECT_EQ(ir::plan_json(unhashed), expected);
  EXPECT_EQ(plan.plan_hash, osmira_base::sha256_hex(expected));
}

}  // namespace
}  // namespace osmira_core::engine::compiler
