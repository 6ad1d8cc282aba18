#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "base/sha256.h"
#include "common/ir/plan.h"

namespace osmira_common::ir {
namespace {

// A plan holding every record kind, every optional present somewhere and absent somewhere,
// and every enumeration at its last value.
IdentityPlan full_plan() {
  IdentityPlan p;
  p.entity = "customer";
  p.identity_version = "1.2.0";
  ResolvedSource s;
  s.name = "crm"; s.adapter = "postgres"; s.location = "public.customers"; s.id_field = "customer_id";
  s.field_mappings = {{"mail", "email"}, {"full_name", "name"}};
  s.temporal = TemporalConfig{"valid_from", "valid_to", TemporalStrategy::kBiTemporal};
  s.freshness = CompiledFreshness{86400, 3600};
  s.schema = PlanMap<CompiledFieldSchema>{{"email", {"string", true, false}}, {"age", {"integer", false, true}}};
  s.sampling = CompiledSampling{"timebased", 0.25};
  s.tags = {"gold", "eu"};
  s.pii_fields = {"email"};
  s.reliability = 0.9;
  ResolvedSource bare;
  bare.name = "web"; bare.adapter = "unknown"; bare.location = "unknown"; bare.id_field = "id";
  bare.reliability = std::nan("");
  p.sources = {s, bare};
  p.blocking.strategy = BlockingStrategy::kMlPredicted;
  p.blocking.keys = {BlockingKey{{"email"}, {BlockingTransformation::kNormalizeEmail}}, BlockingKey{{"domain", "last_name"}, {BlockingTransformation::kNormalizeDomain, BlockingTransformation::kLowercase}}};
  p.blocking.fallback_sample_rate = 0.01;
  p.blocking.lsh_bands = 20; p.blocking.lsh_rows = 5; p.blocking.neighborhood_window = 50;
  p.blocking.sort_fields = {"last_name"};
  CompiledRule exact{"email_exact", {CompiledRuleType::Exact{"email", 1.0, true, false, "email"}}};
  CompiledRule sim{"name_sim", {CompiledRuleType::Similarity{"name", SimilarityAlgorithm::kHaversine, 0.85, 0.5, std::nullopt}}};
  CompiledRule range{"age_range", {CompiledRuleType::Range{"age", 2.0, 0.25, std::nullopt}}};
  CompiledRule ml{"model", {CompiledRuleType::Ml{"m-1", {"a", "b"}, 0.5, 2.0}}};
  CompiledRule inner{"inner", {CompiledRuleType::Composite{CompositeOperator::kAnd, {range, ml}}}};
  CompiledRule empty{"empty", {CompiledRuleType::Composite{CompositeOperator::kAnd, {}}}};
  CompiledRule comp{"combo", {CompiledRuleType::Composite{CompositeOperator::kOr, {sim, inner, empty}}}};
  p.match_graph.rules = {exact, comp};
  p.match_graph.leaf_count = leaf_count(p.match_graph.rules);
  p.survivorship.default_strategy = SurvivorshipStrategy::kCustom;
  p.survivorship.field_policies = {{"tags", {SurvivorshipStrategy::kAggregate, std::nullopt, "Intersection"}}, {"email", {SurvivorshipStrategy::kSourcePriority, std::vector<std::string>{"crm", "web"}, std::nullopt}}};
  DecisionConfig& d = p.decision;
  d.match_threshold = 0.9; d.review_threshold = 0.7; d.reject_threshold = std::nullopt;
  d.conflict_strategy = ConflictStrategy::kManualReview;
  d.review_webhook = "https://example.invalid/hook";
  d.scoring_method = ScoringMethod::kFellegiSunter;
  d.ml_ensemble_config = CompiledMlEnsembleConfig{{{"name_sim", 1.5}, {"email_exact", 2.0}}, -1.0};
  d.custom_scoring_config = CompiledCustomScoringConfig{"email_exact * 0.5"};
  CompiledFellegiSunterPlan fs;
  fs.fields = {CompiledFsField{"email", FsComparatorType::kCosine, 1.0, 0.9, 0.01, 4.5, -2.25, "email"}};
  fs.match_threshold = 3.0; fs.possible_threshold = 1.0; fs.non_match_threshold = -1.0; fs.merge_threshold = 2.0;
  fs.max_composite = 4.5; fs.min_composite = -2.25;
  fs.em_training = CompiledEmTraining{25, 0.001, "random_sampling", 1000, 0.5};
  d.fellegi_sunter = fs;
  d.tie_breaking = {CompiledTieBreaker::kExactMatchPriority, CompiledTieBreaker::kEarliestTimestamp};
  d.clustering = CompiledClusteringConfig{ClusteringMethod::kGraph, 0.5, 0.0, UINT64_MAX};
  d.min_total_weight = 1.5;
  d.allow_single_field = {"email_exact"};
  p.reference_identifiers = {CompiledReferenceIdentifier{"duns", ReferenceIdType::kInternal, "D&B", "duns_number", 1.0}};
  p.relations = {CompiledRelation{"account", "customer", "account", "account_id", Cardinality::kManyToMany, true}};
  osmira_base::Value::Object obj; obj["z"] = osmira_base::Value(1); obj["a"] = osmira_base::Value(std::vector<osmira_base::Value>{osmira_base::Value(true), osmira_base::Value()});
  p.exclusions = {CompiledExclusion{CompiledExclusion::FieldValue{"status", "eq", osmira_base::Value(obj)}}, CompiledExclusion{CompiledExclusion::ExplicitPair{"A-1", "B-2"}}, CompiledExclusion{CompiledExclusion::CrossTenant{true}}};
  p.compliance = CompiledCompliance{{"gdpr"}, {"email"}, true, std::nullopt};
  p.hierarchy = CompiledHierarchy{"parent_id", 5, {"industry"}};
  p.audit = CompiledAudit{true, false, true};
  p.metadata = PlanMetadata{"Customers", std::nullopt, "data-team", {"core"}};
  p.governance = CompiledGovernance{true, false, {"owner"}, true, false};
  return p;
}

constexpr const char* kFullPlanJson =
    "{\"entity\":\"customer\",\"plan_hash\":\"\",\"identity_version\":\"1.2.0\",\"sources\":[{\"name\":\"crm\","
    "\"adapter\":\"postgres\",\"location\":\"public.customers\",\"id_field\":\"customer_id\","
    "\"field_mappings\":{\"full_name\":\"name\",\"mail\":\"email\"},\"temporal\":{\"valid_from_field\":\"valid_from\","
    "\"valid_to_field\":\"valid_to\",\"strategy\":\"bi_temporal\"},\"freshness\":{\"max_age_seconds\":86400,"
    "\"warn_after_seconds\":3600},\"schema\":{\"age\":{\"field_type\":\"integer\",\"pii\":false,"
    "\"nullable\":true},\"email\":{\"field_type\":\"string\",\"pii\":true,\"nullable\":false}},"
    "\"sampling\":{\"strategy\":\"timebased\",\"rate\":0.25},\"tags\":[\"gold\",\"eu\"],\"pii_fields\":[\"email\"],"
    "\"reliability\":0.9},{\"name\":\"web\",\"adapter\":\"unknown\",\"location\":\"unknown\","
    "\"id_field\":\"id\",\"field_mappings\":{},\"temporal\":null,\"freshness\":null,\"schema\":null,"
    "\"sampling\":null,\"tags\":[],\"pii_fields\":[],\"reliability\":null}],\"blocking\":{\"strategy\":\"ml_predicted\","
    "\"keys\":[{\"fields\":[\"email\"],\"transformations\":[\"normalize_email\"]},{\"fields\":[\"domain\","
    "\"last_name\"],\"transformations\":[\"normalize_domain\",\"lowercase\"]}],\"fallback_sample_rate\":0.01,"
    "\"lsh_bands\":20,\"lsh_rows\":5,\"neighborhood_window\":50,\"sort_fields\":[\"last_name\"]},"
    "\"match_graph\":{\"rules\":[{\"name\":\"email_exact\",\"rule_type\":{\"type\":\"exact\","
    "\"field\":\"email\",\"weight\":1.0,\"case_insensitive\":true,\"normalize\":false,"
    "\"normalizer\":\"email\"}},{\"name\":\"combo\",\"rule_type\":{\"type\":\"composite\","
    "\"operator\":\"or\",\"children\":[{\"name\":\"name_sim\",\"rule_type\":{\"type\":\"similarity\","
    "\"field\":\"name\",\"algorithm\":\"haversine\",\"threshold\":0.85,\"weight\":0.5,\"normalizer\":null}},"
    "{\"name\":\"inner\",\"rule_type\":{\"type\":\"composite\",\"operator\":\"and\",\"children\":[{\"name\":\"age_range\","
    "\"rule_type\":{\"type\":\"range\",\"field\":\"age\",\"tolerance\":2.0,\"weight\":0.25,"
    "\"normalizer\":null}},{\"name\":\"model\",\"rule_type\":{\"type\":\"ml\",\"model_id\":\"m-1\","
    "\"features\":[\"a\",\"b\"],\"threshold\":0.5,\"weight\":2.0}}]}},{\"name\":\"empty\","
    "\"rule_type\":{\"type\":\"composite\",\"operator\":\"and\",\"children\":[]}}]}}],\"leaf_count\":4},"
    "\"survivorship\":{\"default_strategy\":\"custom\",\"field_policies\":{\"email\":{\"strategy\":\"source_priority\","
    "\"source_priority\":[\"crm\",\"web\"],\"aggregate_fn\":null},\"tags\":{\"strategy\":\"aggregate\","
    "\"source_priority\":null,\"aggregate_fn\":\"Intersection\"}}},\"decision\":{\"match_threshold\":0.9,"
    "\"review_threshold\":0.7,\"reject_threshold\":null,\"conflict_strategy\":\"manual_review\","
    "\"review_webhook\":\"https://example.invalid/hook\",\"scoring_method\":\"fellegi_sunter\","
    "\"ml_ensemble_config\":{\"coefficients\":{\"email_exact\":2.0,\"name_sim\":1.5},"
    "\"bias\":-1.0},\"custom_scoring_config\":{\"expression\":\"email_exact * 0.5\"},"
    "\"fellegi_sunter\":{\"fields\":[{\"name\":\"email\",\"comparator\":\"cosine\",\"weight\":1.0,"
    "\"m_probability\":0.9,\"u_probability\":0.01,\"w_agree\":4.5,\"w_disagree\":-2.25,"
    "\"normalizer\":\"email\"}],\"match_threshold\":3.0,\"possible_threshold\":1.0,\"non_match_threshold\":-1.0,"
    "\"merge_threshold\":2.0,\"max_composite\":4.5,\"min_composite\":-2.25,\"em_training\":{\"max_iterations\":25,"
    "\"convergence_threshold\":0.001,\"estimate_u\":\"random_sampling\",\"max_random_pairs\":1000,"
    "\"prior_weight\":0.5}},\"tie_breaking\":[\"exact_match_priority\",\"earliest_timestamp\"],"
    "\"clustering\":{\"method\":\"graph\",\"min_edge_weight\":0.5,\"min_cluster_coherence\":0.0,"
    "\"max_cluster_size\":18446744073709551615},\"min_total_weight\":1.5,\"allow_single_field\":[\"email_exact\"]},"
    "\"reference_identifiers\":[{\"name\":\"duns\",\"id_type\":\"internal\",\"authority\":\"D&B\","
    "\"field\":\"duns_number\",\"match_weight\":1.0}],\"relations\":[{\"name\":\"account\","
    "\"from_entity\":\"customer\",\"to_entity\":\"account\",\"join_key\":\"account_id\","
    "\"cardinality\":\"many_to_many\",\"propagate_match\":true}],\"exclusions\":[{\"type\":\"field_value\","
    "\"field\":\"status\",\"operator\":\"eq\",\"value\":{\"a\":[true,null],\"z\":1}},{\"type\":\"explicit_pair\","
    "\"left_id\":\"A-1\",\"right_id\":\"B-2\"},{\"type\":\"cross_tenant\",\"enabled\":true}],"
    "\"compliance\":{\"frameworks\":[\"gdpr\"],\"pii_fields\":[\"email\"],\"audit_required\":true,"
    "\"retention_days\":null},\"hierarchy\":{\"parent_field\":\"parent_id\",\"max_depth\":5,"
    "\"inherited_fields\":[\"industry\"]},\"audit\":{\"log_all_comparisons\":true,\"log_decisions\":false,"
    "\"log_conflicts\":true},\"metadata\":{\"name\":\"Customers\",\"description\":null,"
    "\"owner\":\"data-team\",\"tags\":[\"core\"]},\"governance\":{\"require_freshness\":true,"
    "\"require_schema\":false,\"required_tags\":[\"owner\"],\"log_probabilities\":true,"
    "\"require_shadow_on_threshold_change\":false}}";

TEST(PlanJson, GoldenFullPlan) {
  const IdentityPlan plan = full_plan();
  EXPECT_EQ(plan_json(plan), kFullPlanJson);
  // The hash is SHA-256 over exactly that text.
  EXPECT_EQ(plan.compute_hash(), osmira_base::sha256_hex(kFullPlanJson));
  EXPECT_EQ(plan.compute_hash(), "cede118d3105eb8cc56258ecc960df90a30768996f485aaed8a45ca4747002c8");
}

TEST(PlanJson, EveryEnumerationAtItsLastValue) {
  const std::string json = plan_json(full_plan());
  for (const char* text : {"\"fellegi_sunter\"", "\"haversine\"", "\"cosine\"", "\"custom\"",
                           "\"ml_predicted\"", "\"normalize_domain\"", "\"manual_review\"",
                           "\"bi_temporal\"", "\"many_to_many\"", "\"internal\"", "\"or\"",
                           "\"graph\"", "\"earliest_timestamp\""}) {
    EXPECT_NE(json.find(text), std::string::npos) << text;
  }
}

TEST(PlanJson, MinimalPlanWritesEveryFieldWithNulls) {
  IdentityPlan plan;
  plan.entity = "e";
  plan.identity_version = "1";
  plan.decision.tie_breaking.clear();
  EXPECT_EQ(plan_json(plan),
            "{\"entity\":\"e\",\"plan_hash\":\"\",\"identity_version\":\"1\",\"sources\":[],"
            "\"blocking\":{\"strategy\":\"composite\",\"keys\":[],\"fallback_sample_rate\":null,"
            "\"lsh_bands\":null,\"lsh_rows\":null,\"neighborhood_window\":null,\"sort_fields\":[]},"
            "\"match_graph\":{\"rules\":[],\"leaf_count\":0},"
            "\"survivorship\":{\"default_strategy\":\"most_recent\",\"field_policies\":{}},"
            "\"decision\":{\"match_threshold\":0.0,\"review_threshold\":null,"
            "\"reject_threshold\":null,\"conflict_strategy\":\"prefer_high_confidence\","
            "\"review_webhook\":null,\"scoring_method\":\"weighted_sum\",\"ml_ensemble_config\":null,"
            "\"custom_scoring_config\":null,\"fellegi_sunter\":null,\"tie_breaking\":[],"
            "\"clustering\":null,\"min_total_weight\":0.0,\"allow_single_field\":[]},"
            "\"reference_identifiers\":[],\"relations\":[],\"exclusions\":[],"
            "\"compliance\":null,\"hierarchy\":null,\"audit\":null,\"metadata\":null,"
            "\"governance\":null}");
}

TEST(PlanJson, SmallRecords) {
  struct Row {
    std::string got;
    const char* want;
  };
  std::string s1, s2, s3, s4, s5, s6, s7;
  write_json(s1, CompiledRule{"r", {CompiledRuleType::Exact{"f", 1.0, false, false, std::nullopt}}});
  write_json(s2, CompiledMlEnsembleConfig{{}, 0.5});
  CompiledMlEnsembleConfig nan_coefficient{{{"a", std::nan("")}}, 0.0};
  write_json(s3, nan_coefficient);
  write_json(s4, FieldSurvivorshipPolicy{SurvivorshipStrategy::kMostComplete, std::nullopt, std::nullopt});
  write_json(s5, CompiledClusteringConfig{});
  write_json(s6, CompiledExclusion{CompiledExclusion::FieldValue{"f", "in", osmira_base::Value(
                                       std::vector<osmira_base::Value>{osmira_base::Value(1.5e-7),
                                                                       osmira_base::Value(1e16),
                                                                       osmira_base::Value("q\"\x01")})}});
  write_json(s7, CompiledFreshness{0, std::nullopt});
  const Row rows[] = {
      {s1, "{\"name\":\"r\",\"rule_type\":{\"type\":\"exact\",\"field\":\"f\",\"weight\":1.0,"
           "\"case_insensitive\":false,\"normalize\":false,\"normalizer\":null}}"},
      {s2, "{\"coefficients\":{},\"bias\":0.5}"},
      {s3, "{\"coefficients\":{\"a\":null},\"bias\":0.0}"},
      {s4, "{\"strategy\":\"most_complete\",\"source_priority\":null,\"aggregate_fn\":null}"},
      {s5, "{\"method\":\"simple\",\"min_edge_weight\":0.0,\"min_cluster_coherence\":0.0,"
           "\"max_cluster_size\":18446744073709551615}"},
      {s6, "{\"type\":\"field_value\",\"field\":\"f\",\"operator\":\"in\","
           "\"value\":[1.5e-7,1e+16,\"q\\\"\\u0001\"]}"},
      {s7, "{\"max_age_seconds\":0,\"warn_after_seconds\":null}"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.got, row.want);
}

TEST(PlanJson, TextEscapesOnlyQuotesBackslashesAndControlBytes) {
  using namespace std::string_literals;
  std::string out;
  write_json(out, CompiledCustomScoringConfig{"a/\x7f\xc3\xa9\xff\"\\\b\f\n\r\t\x1f\x00z"s});
  EXPECT_EQ(out, "{\"expression\":\"a/\x7f\xc3\xa9\xff\\\"\\\\\\b\\f\\n\\r\\t\\u001f\\u0000z\"}");
}

TEST(PlanJson, FellegiSunterBytesMatchTheTrainedParameters) {
  const IdentityPlan plan = full_plan();
  const std::string json = plan_json(plan);
  const std::string alone = write_trained_params(*plan.decision.fellegi_sunter);
  EXPECT_NE(json.find("\"fellegi_sunter\":" + alone + ",\"tie_breaking\""), std::string::npos);
}

CompiledRule leaf(const std::string& name) {
  return CompiledRule{name, {CompiledRuleType::Range{"f", 1.0, 1.0, std::nullopt}}};
}

CompiledRule composite(const std::string& name, std::vector<CompiledRule> children) {
  return CompiledRule{name, {CompiledRuleType::Composite{CompositeOperator::kAnd, std::move(children)}}};
}

TEST(PlanJson, LeafCount) {
  EXPECT_EQ(leaf_count({}), 0u);
  EXPECT_EQ(leaf_count({composite("c", {})}), 0u);
  EXPECT_EQ(leaf_count({composite("c", {leaf("a"), leaf("b"),
                                        composite("d", {leaf("x"), leaf("y"), leaf("z")})})}),
            5u);
  EXPECT_EQ(leaf_count({leaf("a"), composite("c", {leaf("b")}), leaf("d")}), 3u);
  // Deep nesting is counted and written without recursion.
  CompiledRule deep = leaf("bottom");
  for (int i = 0; i < 2000; ++i) {
    std::vector<CompiledRule> children;
    children.push_back(std::move(deep));
    children.push_back(leaf("l"));
    deep = composite("c", std::move(children));
  }
  EXPECT_EQ(leaf_count({deep}), 2001u);
  std::string json;
  write_json(json, deep);
  EXPECT_EQ(json.substr(json.size() - 5), "}}]}}");
  size_t opens = 0, closes = 0;
  for (char c : json) {
    opens += c == '{';
    closes += c == '}';
  }
  EXPECT_EQ(opens, closes);
}

TEST(PlanHash, StableAndSensitive) {
  IdentityPlan a = full_plan();
  // The same maps filled in another order give the same text and hash.
  IdentityPlan b = full_plan();
  b.sources[0].field_mappings.clear();
  b.sources[0].field_mappings.emplace("mail", "email");
  b.sources[0].field_mappings.emplace("full_name", "name");
  b.decision.ml_ensemble_config->coefficients.clear();
  b.decision.ml_ensemble_config->coefficients.emplace("name_sim", 1.5);
  b.decision.ml_ensemble_config->coefficients.emplace("email_exact", 2.0);
  EXPECT_EQ(plan_json(a), plan_json(b));
  EXPECT_EQ(a.compute_hash(), b.compute_hash());
  const std::string hash = a.compute_hash();
  EXPECT_EQ(hash.size(), 64u);
  EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), std::string::npos);
  // Hashing the finished plan, its hash now stored, gives another value.
  a.plan_hash = hash;
  EXPECT_NE(a.compute_hash(), hash);
  // Any change of content changes the hash.
  b.decision.match_threshold = 0.91;
  EXPECT_NE(b.compute_hash(), hash);
}

TEST(PlanJson, ScoringMethodAsDocumentValue) {
  EXPECT_EQ(scoring_method_value(ScoringMethod::kMlEnsemble), osmira_base::Value("ml_ensemble"));
  EXPECT_EQ(scoring_method_value(ScoringMethod::kFellegiSunter), osmira_base::Value("fellegi_sunter"));
}

}  // namespace
}  // namespace osmira_common::ir
