#include "core/engine/engine.h"

#include <gtest/gtest.h>

#include <typeinfo>

#include "core/engine/blocking/lsh.h"
#include "core/engine/blocking/plan_blocking.h"
#include "engine_test_support.h"

namespace osmira_core::engine {
namespace {

namespace ir = osmira_common::ir;
using testing::entity;
using testing::plan_with;

ir::ResolvedSource source(std::string name, double reliability,
                          std::optional<ir::TemporalStrategy> temporal = std::nullopt) {
  ir::ResolvedSource s;
  s.name = std::move(name);
  s.reliability = reliability;
  if (temporal) s.temporal = ir::TemporalConfig{"valid_from", std::nullopt, *temporal};
  return s;
}

TEST(FromPlan, LshStrategyFollowsThePlanKeysWithDefaults) {
  ir::IdentityPlan plan = plan_with({});
  plan.blocking.strategy = ir::BlockingStrategy::kLsh;
  plan.blocking.keys = {testing::blocking_key({"first_name", "zip"}), testing::blocking_key({"zip"})};
  const ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  ASSERT_EQ(engine.settings().blocking_strategies.size(), 2u);
  const auto* keys = dynamic_cast<const blocking::PlanBlocking*>(engine.settings().blocking_strategies[0].get());
  ASSERT_NE(keys, nullptr);
  EXPECT_EQ(keys->keys(), plan.blocking.keys);
  const auto* lsh = dynamic_cast<const blocking::lsh::LshBlocking*>(engine.settings().blocking_strategies[1].get());
  ASSERT_NE(lsh, nullptr);
  EXPECT_EQ(lsh->bands(), 20u);
  EXPECT_EQ(lsh->rows(), 5u);
  EXPECT_EQ(lsh->fields(), (std::vector<std::string>{"first_name", "zip", "zip"}));

  plan.blocking.lsh_bands = 4;
  plan.blocking.lsh_rows = 2;
  const ReconciliationEngine custom = ReconciliationEngine::from_plan(plan);
  const auto* lsh2 = dynamic_cast<const blocking::lsh::LshBlocking*>(custom.settings().blocking_strategies[1].get());
  ASSERT_NE(lsh2, nullptr);
  EXPECT_EQ(lsh2->bands(), 4u);
  EXPECT_EQ(lsh2->rows(), 2u);
}

TEST(FromPlan, OtherStrategiesKeepOnlyThePlanKeys) {
  for (const auto strategy : {ir::BlockingStrategy::kSingle, ir::BlockingStrategy::kComposite,
                              ir::BlockingStrategy::kMlPredicted}) {
    ir::IdentityPlan plan = plan_with({});
    plan.blocking.strategy = strategy;
    const ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
    ASSERT_EQ(engine.settings().blocking_strategies.size(), 1u);
    const auto* keys = dynamic_cast<const blocking::PlanBlocking*>(engine.settings().blocking_strategies[0].get());
    ASSERT_NE(keys, nullptr);
    EXPECT_TRUE(keys->keys().empty());
  }
}

TEST(FromPlan, ImpossibleLshSizesLeaveThePlanKeysOnly) {
  ir::IdentityPlan plan = plan_with({});
  plan.blocking.strategy = ir::BlockingStrategy::kLsh;
  plan.blocking.keys = {testing::blocking_key({"name"})};
  plan.blocking.lsh_bands = uint64_t{1} << 40;
  plan.blocking.lsh_rows = uint64_t{1} << 40;
  const ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  EXPECT_EQ(engine.settings().blocking_strategies.size(), 1u);
}

TEST(FromPlan, ThresholdsAndScoringSettings) {
  ir::IdentityPlan plan = plan_with({});
  plan.decision.match_threshold = 0.9;
  plan.decision.review_threshold.reset();
  plan.decision.scoring_method = ir::ScoringMethod::kMlEnsemble;
  plan.decision.ml_ensemble_config = ir::CompiledMlEnsembleConfig{{{"a", 0.5}, {"b", -1.0}}, 0.25};
  plan.decision.min_total_weight = 2.0;
  plan.decision.allow_single_field = {"email"};
  plan.decision.tie_breaking = {ir::CompiledTieBreaker::kEarliestTimestamp};
  plan.blocking.neighborhood_window = 7;
  plan.blocking.sort_fields = {"last_name"};
  const ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  EXPECT_EQ(engine.settings().match_threshold, 0.9);
  EXPECT_EQ(engine.settings().review_threshold, 0.9);  // falls back to the merge threshold
  EXPECT_EQ(engine.settings().scoring_method, ir::ScoringMethod::kMlEnsemble);
  ASSERT_TRUE(engine.settings().ml_coefficients);
  EXPECT_EQ(engine.settings().ml_coefficients->size(), 2u);
  EXPECT_EQ(engine.settings().ml_coefficients->find(std::string_view("b"))->second, -1.0);
  EXPECT_EQ(engine.settings().ml_bias, 0.25);
  EXPECT_EQ(engine.settings().min_total_weight, 2.0);
  EXPECT_EQ(engine.settings().allow_single_field, std::vector<std::string>{"email"});
  EXPECT_EQ(engine.settings().tie_breaking, plan.decision.tie_breaking);
  EXPECT_EQ(engine.settings().neighborhood_window, std::optional<uint64_t>(7));
  EXPECT_EQ(engine.settings().sort_fields, std::vector<std::string>{"last_name"});
  EXPECT_EQ(engine.settings().max_block_size, 1000u);
  EXPECT_FALSE(engine.settings().log_probabilities);
  EXPECT_FALSE(engine.settings().clustering_method);
  EXPECT_FALSE(engine.settings().fs_plan);
  EXPECT_FALSE(engine.settings().custom_expression);

  plan.decision.review_threshold = 0.4;
  plan.governance = ir::CompiledGovernance{};
  plan.governance->log_probabilities = true;
  plan.decision.clustering = ir::CompiledClusteringConfig{ir::ClusteringMethod::kGraph, 0.3, 0.6, 12};
  plan.decision.fellegi_sunter = ir::CompiledFellegiSunterPlan{};
  plan.decision.fellegi_sunter->match_threshold = 3.0;
  const ReconciliationEngine more = ReconciliationEngine::from_plan(plan);
  EXPECT_EQ(more.settings().review_threshold, 0.4);
  EXPECT_TRUE(more.settings().log_probabilities);
  EXPECT_EQ(more.settings().clustering_method, ir::ClusteringMethod::kGraph);
  EXPECT_EQ(more.settings().min_edge_weight, 0.3);
  EXPECT_EQ(more.settings().min_cluster_coherence, 0.6);
  EXPECT_EQ(more.settings().max_cluster_size, 12u);
  EXPECT_EQ(more.clustering_settings().method, ir::ClusteringMethod::kGraph);
  ASSERT_TRUE(more.settings().fs_plan);
  EXPECT_EQ(more.settings().fs_plan->match_threshold, 3.0);
}

TEST(FromPlan, SourcesGiveReliabilityAndTemporalMode) {
  ir::IdentityPlan plan = plan_with({});
  plan.sources = {source("a", 0.5), source("b", 1.0, ir::TemporalStrategy::kPointInTime),
                  source("c", 0.7, ir::TemporalStrategy::kBiTemporal), source("a", 0.9)};
  const ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  EXPECT_EQ(engine.settings().temporal_mode, ir::TemporalStrategy::kPointInTime);
  EXPECT_EQ(engine.settings().source_reliability.size(), 3u);
  EXPECT_EQ(engine.settings().source_reliability.find(std::string_view("a"))->second, 0.9);

  const ReconciliationEngine plain = ReconciliationEngine::from_plan(plan_with({}));
  EXPECT_EQ(plain.settings().temporal_mode, ir::TemporalStrategy::kLatestOnly);
}

TEST(FromPlan, CustomExpressionIsCompiledWhateverTheScoringMethod) {
  ir::IdentityPlan plan = plan_with({testing::exact_rule("a", "f")});
  plan.decision.custom_scoring_config = ir::CompiledCustomScoringConfig{"a * 0.5 + 0.5"};
  EXPECT_TRUE(ReconciliationEngine::from_plan(plan).settings().custom_expression);

  // An expression that does not compile leaves the engine without a program; custom
  // scoring then falls back to the weighted sum.
  plan.decision.scoring_method = ir::ScoringMethod::kCustom;
  plan.decision.custom_scoring_config = ir::CompiledCustomScoringConfig{"(a + "};
  const ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  EXPECT_FALSE(engine.settings().custom_expression);
  const auto a = entity(1, {{"f", "x"}});
  const auto b = entity(2, {{"f", "y"}});
  const auto d = engine.evaluate_pair(a, b, {}, 1.0);
  EXPECT_EQ(d.confidence, 0.0);
  EXPECT_EQ(d.decision, types::Decision::kNoMerge);
}

TEST(CompileRule, EveryKind) {
  using namespace matching;
  struct Row {
    ir::CompiledRule rule;
    RuleKind kind;
  };
  using ir::SimilarityAlgorithm;
  std::vector<Row> rows;
  rows.push_back({testing::exact_rule("r", "f", 2.0, true, true, "email"), RuleKind::kExact});
  rows.push_back({testing::similarity_rule("r", "f", SimilarityAlgorithm::kJaroWinkler, 0.8, 2.0, "name"), RuleKind::kFuzzy});
  rows.push_back({testing::similarity_rule("r", "f", SimilarityAlgorithm::kLevenshtein, 0.8, 2.0, "name"), RuleKind::kLevenshtein});
  rows.push_back({testing::similarity_rule("r", "f", SimilarityAlgorithm::kSoundex, 0.8, 2.0, "name"), RuleKind::kSoundex});
  rows.push_back({testing::similarity_rule("r", "f", SimilarityAlgorithm::kMetaphone, 0.8, 2.0), RuleKind::kMetaphone});
  rows.push_back({testing::similarity_rule("r", "f", SimilarityAlgorithm::kCosine, 0.8, 2.0), RuleKind::kCosine});
  rows.push_back({testing::similarity_rule("r", "f", SimilarityAlgorithm::kHaversine, 12.5, 2.0), RuleKind::kHaversine});
  rows.push_back({testing::range_rule("r", "f", 3.0, 2.0), RuleKind::kRange});
  rows.push_back({testing::ml_rule("r", 2.0), RuleKind::kMl});
  rows.push_back({testing::composite_rule("r", ir::CompositeOperator::kOr, {}), RuleKind::kComposite});
  for (const Row& row : rows) {
    const auto rule = ReconciliationEngine::compile_rule(row.rule);
    EXPECT_EQ(rule->kind(), row.kind);
    EXPECT_EQ(rule->name(), "r");
    if (const auto* f = dynamic_cast<const FieldRule*>(rule.get())) {
      EXPECT_EQ(f->field(), "f");
      EXPECT_EQ(f->weight(), 2.0);
    }
  }
  const auto exact = ReconciliationEngine::compile_rule(rows[0].rule);
  const auto& e = dynamic_cast<const ExactMatch&>(*exact);
  EXPECT_EQ(e.normalizer(), std::optional<std::string>("email"));
  EXPECT_TRUE(e.case_insensitive());
  EXPECT_TRUE(e.normalize());
  const auto fuzzy = ReconciliationEngine::compile_rule(rows[1].rule);
  EXPECT_EQ(dynamic_cast<const FuzzyStringMatch&>(*fuzzy).normalizer(), std::optional<std::string>("name"));
  EXPECT_EQ(dynamic_cast<const FuzzyStringMatch&>(*fuzzy).threshold(), 0.8);
  const auto haversine = ReconciliationEngine::compile_rule(rows[6].rule);
  EXPECT_EQ(dynamic_cast<const HaversineMatch&>(*haversine).max_distance_km(), 12.5);
  const auto range = ReconciliationEngine::compile_rule(rows[7].rule);
  EXPECT_EQ(dynamic_cast<const RangeMatch&>(*range).tolerance(), 3.0);
  const auto ml = ReconciliationEngine::compile_rule(rows[8].rule);
  EXPECT_EQ(dynamic_cast<const MlMatch&>(*ml).model_id(), "model-1");
  EXPECT_EQ(dynamic_cast<const MlMatch&>(*ml).features(), (std::vector<std::string>{"a", "b"}));
}

TEST(CompileRule, CompositeKeepsChildOrderAndWeighsOne) {
  const ir::CompiledRule plan_rule = testing::composite_rule(
      "addr", ir::CompositeOperator::kAnd,
      {testing::exact_rule("addr_city", "city", 7.0), testing::exact_rule("addr_zip", "zip", 7.0)});
  const auto rule = ReconciliationEngine::compile_rule(plan_rule);
  const auto& composite = dynamic_cast<const matching::CompositeMatch&>(*rule);
  ASSERT_EQ(composite.children().size(), 2u);
  EXPECT_EQ(composite.children()[0]->name(), "addr_city");
  EXPECT_EQ(composite.children()[1]->name(), "addr_zip");
  EXPECT_EQ(composite.op(), ir::CompositeOperator::kAnd);
  const auto a = entity(1, {{"city", "x"}, {"zip", "1"}});
  const auto b = entity(2, {{"city", "x"}, {"zip", "2"}});
  EXPECT_EQ(rule->evaluate(a, b).weight, 1.0);
}

}  // namespace
}  // namespace osmira_core::engine
