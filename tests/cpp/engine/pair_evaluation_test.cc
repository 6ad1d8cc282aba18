#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include "core/engine/engine.h"
#include "core/engine/temporal.h"
#include "engine_test_support.h"

namespace osmira_core::engine {
namespace {

namespace ir = osmira_common::ir;
using osmira_base::DateTime;
using overrides::ManualOverride;
using overrides::OverrideKind;
using overrides::OverrideResolver;
using temporal::TemporalMatcher;
using temporal::TemporalResult;
using temporal::TemporalState;
using testing::entity;
using testing::plan_with;
using types::Decision;
using types::MatchDecision;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- Temporal gate ------------------------------------------------------------------------

TEST(TemporalMatcher, Table) {
  const DateTime now{1'800'000'000, 500};
  const DateTime second_ago{now.seconds - 1, now.nanos};
  const DateTime later{now.seconds + 1, 0};
  struct Row {
    ir::TemporalStrategy mode;
    std::optional<DateTime> a_from, a_to, b_from, b_to;
    TemporalResult want;
  };
  const TemporalResult valid{TemporalState::kValid, 1.0};
  const TemporalResult invalid{TemporalState::kInvalid, 0.0};
  const TemporalResult disjoint{TemporalState::kDisjoint, 0.0};
  using S = ir::TemporalStrategy;
  const Row rows[] = {
      {S::kLatestOnly, {}, second_ago, {}, {}, invalid},
      {S::kLatestOnly, {}, {}, {}, second_ago, invalid},
      {S::kLatestOnly, {}, now, {}, later, valid},  // exactly now is still valid
      {S::kLatestOnly, later, {}, later, {}, valid},  // valid_from is not looked at
      {S::kPointInTime, second_ago, later, {}, {}, valid},
      {S::kPointInTime, later, {}, {}, {}, invalid},
      {S::kPointInTime, {}, {}, {}, second_ago, invalid},
      {S::kPointInTime, now, now, now, now, valid},
      {S::kBiTemporal, second_ago, second_ago, later, later, disjoint},
      {S::kBiTemporal, later, {}, {}, second_ago, disjoint},
      {S::kBiTemporal, second_ago, now, now, later, valid},  // touching intervals overlap
      {S::kBiTemporal, {}, {}, {}, {}, valid},
  };
  for (const Row& row : rows) {
    auto a = entity(1, {});
    auto b = entity(2, {});
    a.valid_from = row.a_from;
    a.valid_to = row.a_to;
    b.valid_from = row.b_from;
    b.valid_to = row.b_to;
    EXPECT_EQ(TemporalMatcher::evaluate(row.mode, a, b, now), row.want)
        << osmira_common::enum_text(row.mode);
  }
}

TEST(ReconcilePair, OutdatedRecordIsDroppedWithoutTelemetry) {
  const auto engine = ReconciliationEngine::from_plan(plan_with({testing::exact_rule("e", "f")}));
  auto a = entity(1, {{"f", "x"}});
  auto b = entity(2, {{"f", "x"}});
  a.valid_to = DateTime{DateTime::now().seconds - 1, 0};
  const PairReconciliation dropped = engine.reconcile_pair_with_telemetry(a, b, {});
  EXPECT_FALSE(dropped.telemetry);
  EXPECT_FALSE(dropped.decision);

  a.valid_to.reset();
  const PairReconciliation kept = engine.reconcile_pair_with_telemetry(a, b, {});
  ASSERT_TRUE(kept.telemetry);
  EXPECT_EQ(kept.telemetry->decision_name, "merge");
  ASSERT_EQ(kept.telemetry->rule_results.size(), 1u);
  ASSERT_TRUE(kept.decision);
  EXPECT_EQ(kept.decision->temporal_adjustment, std::optional<double>(1.0));
  EXPECT_FALSE(kept.decision->blocking_key);
}

TEST(ReconcilePair, GateAgreesWithTheTemporalMatcher) {
  // Pair evaluation settles pairs without bounds from per-record flags; every combination
  // of bounds must give what the matcher itself gives. The bounds lie far from now, so the
  // clock reading does not matter.
  const DateTime past{946'684'800, 0};      // 2000
  const DateTime future{4'102'444'800, 0};  // 2100
  using Bounds = std::pair<std::optional<DateTime>, std::optional<DateTime>>;
  const Bounds variants[] = {{}, {past, {}}, {{}, past}, {future, {}}, {{}, future},
                             {past, future}, {future, past}, {past, past}};
  for (const auto mode : {ir::TemporalStrategy::kLatestOnly, ir::TemporalStrategy::kPointInTime,
                          ir::TemporalStrategy::kBiTemporal}) {
    ir::IdentityPlan plan = plan_with({testing::exact_rule("e", "f")});
    ir::ResolvedSource source;
    source.name = "crm";
    source.temporal = ir::TemporalConfig{"from", std::nullopt, mode};
    plan.sources = {source};
    plan.decision.review_threshold = 0.0;  // every evaluated pair returns a decision
    const auto engine = ReconciliationEngine::from_plan(plan);
    for (const Bounds& va : variants) {
      for (const Bounds& vb : variants) {
        auto a = entity(1, {{"f", "x"}});
        auto b = entity(2, {{"f", "x"}});
        std::tie(a.valid_from, a.valid_to) = va;
        std::tie(b.valid_from, b.valid_to) = vb;
        const TemporalResult want = TemporalMatcher::evaluate(mode, a, b);
        const PairReconciliation got = engine.reconcile_pair_with_telemetry(a, b, {});
        const std::string where = std::string(osmira_common::enum_text(mode)) + " " +
                                  std::to_string(&va - variants) + "/" + std::to_string(&vb - variants);
        if (want.state == TemporalState::kInvalid) {
          EXPECT_FALSE(got.telemetry) << where;
          EXPECT_FALSE(got.decision) << where;
        } else {
          ASSERT_TRUE(got.decision) << where;
          EXPECT_EQ(got.decision->temporal_adjustment, std::optional<double>(want.factor)) << where;
        }
      }
    }
  }
}

TEST(ReconcilePair, NoMergeKeepsOnlyTheTelemetryPart) {
  const auto engine = ReconciliationEngine::from_plan(plan_with({testing::exact_rule("e", "f")}));
  const PairReconciliation r =
      engine.reconcile_pair_with_telemetry(entity(1, {{"f", "x"}}), entity(2, {{"f", "y"}}), {});
  ASSERT_TRUE(r.telemetry);
  EXPECT_EQ(r.telemetry->decision_name, "nomerge");
  EXPECT_EQ(r.telemetry->rule_results.size(), 1u);
  EXPECT_FALSE(r.decision);
}

TEST(ReconcilePair, DisjointIntervalsScoreWithFactorZeroExceptFellegiSunter) {
  ir::IdentityPlan plan = plan_with({testing::exact_rule("e", "f")});
  plan.sources = {};
  ir::ResolvedSource s;
  s.name = "crm";
  s.temporal = ir::TemporalConfig{"from", std::nullopt, ir::TemporalStrategy::kBiTemporal};
  plan.sources.push_back(s);
  auto a = entity(1, {{"f", "x"}});
  auto b = entity(2, {{"f", "x"}});
  a.valid_to = DateTime{100, 0};
  b.valid_from = DateTime{200, 0};

  for (const auto method : {ir::ScoringMethod::kWeightedSum, ir::ScoringMethod::kMlEnsemble,
                            ir::ScoringMethod::kCustom}) {
    ir::IdentityPlan p = plan;
    p.decision.scoring_method = method;
    p.decision.ml_ensemble_config = ir::CompiledMlEnsembleConfig{{{"e", 5.0}}, 0.0};
    p.decision.custom_scoring_config = ir::CompiledCustomScoringConfig{"e"};
    p.decision.review_threshold = 0.0;
    const auto engine = ReconciliationEngine::from_plan(p);
    const PairReconciliation r = engine.reconcile_pair_with_telemetry(a, b, {});
    ASSERT_TRUE(r.decision) << osmira_common::enum_text(method);  // review at threshold 0
    EXPECT_EQ(r.decision->confidence, 0.0);
    EXPECT_EQ(r.decision->temporal_adjustment, std::optional<double>(0.0));
  }

  ir::IdentityPlan fs = plan;
  fs.decision.scoring_method = ir::ScoringMethod::kFellegiSunter;
  fs.decision.fellegi_sunter = ir::CompiledFellegiSunterPlan{};
  fs.decision.fellegi_sunter->fields = {testing::fs_field("e", 4.0, -2.0)};
  fs.decision.fellegi_sunter->fields[0].name = "f";
  fs.match_graph.rules[0].name = "f";
  fs.decision.fellegi_sunter->match_threshold = 3.0;
  const auto engine = ReconciliationEngine::from_plan(fs);
  const PairReconciliation r = engine.reconcile_pair_with_telemetry(a, b, {});
  ASSERT_TRUE(r.decision);
  EXPECT_EQ(r.decision->confidence, 4.0);  // not scaled
  EXPECT_EQ(r.decision->temporal_adjustment, std::optional<double>(0.0));
}

// ---- Exclusions ---------------------------------------------------------------------------

ir::CompiledExclusion field_value(std::string field, std::string op, osmira_base::Value value) {
  return ir::CompiledExclusion{ir::CompiledExclusion::FieldValue{std::move(field), std::move(op), std::move(value)}};
}

TEST(MatchesExclusion, Table) {
  using osmira_base::Value;
  struct Row {
    ir::CompiledExclusion exclusion;
    std::optional<std::string> value;  // the record's "status" (absent: the record lacks it)
    bool want;
  };
  const Row rows[] = {
      {field_value("status", "is_empty", Value()), std::nullopt, true},
      // An empty text is a value: "is_empty" only applies to a record without the field,
      // and the comparisons see the empty text.
      {field_value("status", "is_empty", Value()), "", false},
      {field_value("status", "eq", Value("")), "", true},
      {field_value("status", "ne", Value("test")), "", true},
      {field_value("status", "contains", Value("")), "", true},
      {field_value("status", "contains", Value("t")), "", false},
      {field_value("status", "is_empty", Value()), "x", false},
      {field_value("status", "eq", Value("test")), "test", true},
      {field_value("status", "==", Value("test")), "test", true},
      {field_value("status", "eq", Value("test")), "Test", false},
      {field_value("status", "eq", Value(5)), "5", false},  // only string values compare
      {field_value("status", "ne", Value("test")), "live", true},
      {field_value("status", "!=", Value("test")), "test", false},
      {field_value("status", "ne", Value(true)), "live", false},
      {field_value("status", "contains", Value("es")), "test", true},
      {field_value("status", "contains", Value("")), "test", true},
      {field_value("status", "contains", Value("x")), "test", false},
      {field_value("status", "eq", Value("test")), std::nullopt, false},
      {field_value("status", "gt", Value("a")), "b", false},
      {ir::CompiledExclusion{ir::CompiledExclusion::CrossTenant{true}}, "x", false},
      {ir::CompiledExclusion{ir::CompiledExclusion::ExplicitPair{"a", "b"}}, "x", false},
  };
  for (const Row& row : rows) {
    auto e = entity(1, {});
    if (row.value) e.data.insert_or_assign("status", *row.value);
    EXPECT_EQ(ReconciliationEngine::matches_exclusion(e, row.exclusion), row.want)
        << row.exclusion.type_name() << " " << row.value.value_or("<absent>");
  }
}

// An engine whose single exact rule merges every pair with equal "f".
ir::IdentityPlan merging_plan() { return plan_with({testing::exact_rule("e", "f")}); }

void expect_excluded(const MatchDecision& d, double factor) {
  EXPECT_EQ(d.decision, Decision::kNoMerge);
  EXPECT_EQ(d.confidence, 0.0);
  EXPECT_EQ(d.matched_on, std::vector<std::string>{"EXCLUDED"});
  EXPECT_TRUE(d.rule_results.empty());
  EXPECT_FALSE(d.posterior_probability);
  EXPECT_EQ(d.temporal_adjustment, std::optional<double>(factor));
}

TEST(EvaluatePair, Exclusions) {
  ir::IdentityPlan plan = merging_plan();
  plan.exclusions = {ir::CompiledExclusion{ir::CompiledExclusion::ExplicitPair{"left", "right"}}};
  auto a = entity(1, {{"f", "x"}}, "left");
  auto b = entity(2, {{"f", "x"}}, "right");
  {
    const auto engine = ReconciliationEngine::from_plan(plan);
    expect_excluded(engine.evaluate_pair(a, b, {}, 1.0), 1.0);
    expect_excluded(engine.evaluate_pair(b, a, {}, 0.0), 0.0);  // either order
    b.external_id = "other";
    EXPECT_EQ(engine.evaluate_pair(a, b, {}, 1.0).decision, Decision::kMerge);
  }
  plan.exclusions = {ir::CompiledExclusion{ir::CompiledExclusion::CrossTenant{false}}};
  b.tenant_id = testing::id(99);
  EXPECT_EQ(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0).decision,
            Decision::kMerge);
  plan.exclusions = {ir::CompiledExclusion{ir::CompiledExclusion::CrossTenant{true}}};
  expect_excluded(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0), 1.0);
  b.tenant_id = a.tenant_id;
  EXPECT_EQ(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0).decision,
            Decision::kMerge);
  plan.exclusions = {field_value("f", "eq", osmira_base::Value("x"))};
  expect_excluded(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0), 1.0);
}

// ---- Overrides and reference identifiers --------------------------------------------------

ManualOverride manual(OverrideKind kind, uint32_t first, std::optional<uint32_t> second,
                      bool active = true) {
  ManualOverride o;
  o.kind = kind;
  o.active = active;
  o.first_id = testing::id(first);
  if (second) o.second_id = testing::id(*second);
  return o;
}

TEST(EvaluatePair, ManualOverrides) {
  const auto engine = ReconciliationEngine::from_plan(merging_plan());
  const auto a = entity(1, {{"f", "x"}});
  const auto b = entity(2, {{"f", "y"}});
  struct Row {
    std::vector<ManualOverride> list;
    Decision decision;
    double confidence;
    std::string token;  // empty: the rules decided
  };
  const Row rows[] = {
      {{manual(OverrideKind::kMerge, 2, 1), manual(OverrideKind::kSplit, 1, 2)}, Decision::kNoMerge, 0.0, "MANUAL_SPLIT"},
      {{manual(OverrideKind::kMerge, 1, 2), manual(OverrideKind::kLock, 2, 1)}, Decision::kNoMerge, 0.0, "MANUAL_LOCK"},
      {{manual(OverrideKind::kLock, 1, 2), manual(OverrideKind::kSplit, 1, 2)}, Decision::kNoMerge, 0.0, "MANUAL_SPLIT"},
      {{manual(OverrideKind::kMerge, 2, 1)}, Decision::kMerge, 1.0, "MANUAL_MERGE"},
      {{manual(OverrideKind::kMerge, 1, 2, false)}, Decision::kNoMerge, 0.0, ""},
      {{manual(OverrideKind::kMerge, 1, std::nullopt)}, Decision::kNoMerge, 0.0, ""},
      {{manual(OverrideKind::kMerge, 1, 3)}, Decision::kNoMerge, 0.0, ""},
  };
  for (const Row& row : rows) {
    const OverrideResolver resolver(row.list);
    const MatchDecision d = engine.evaluate_pair(a, b, resolver, 1.0);
    EXPECT_EQ(d.decision, row.decision) << row.token;
    EXPECT_EQ(d.confidence, row.confidence) << row.token;
    if (row.token.empty()) {
      EXPECT_EQ(d.rule_results.size(), 1u);
    } else {
      EXPECT_EQ(d.matched_on, std::vector<std::string>{row.token});
      EXPECT_TRUE(d.rule_results.empty());
      EXPECT_FALSE(d.posterior_probability);
    }
  }
}

TEST(EvaluatePair, ReferenceIdentifiers) {
  ir::IdentityPlan plan = merging_plan();
  plan.reference_identifiers = {ir::CompiledReferenceIdentifier{"ssn", ir::ReferenceIdType::kExternal, std::nullopt, "ssn_field", 0.0},
                                ir::CompiledReferenceIdentifier{"passport", ir::ReferenceIdType::kExternal, std::nullopt, "pp", 0.0}};
  const auto engine = ReconciliationEngine::from_plan(plan);
  auto a = entity(1, {{"f", "x"}, {"ssn_field", ""}, {"pp", "P1"}});
  auto b = entity(2, {{"f", "y"}, {"ssn_field", ""}, {"pp", "P1"}});
  const MatchDecision d = engine.evaluate_pair(a, b, {}, 0.0);
  EXPECT_EQ(d.decision, Decision::kMerge);
  EXPECT_EQ(d.confidence, 1.0);
  EXPECT_EQ(d.posterior_probability, std::optional<double>(1.0));
  EXPECT_EQ(d.matched_on, std::vector<std::string>{"REF_ID:passport"});
  EXPECT_TRUE(d.rule_results.empty());
  EXPECT_EQ(d.temporal_adjustment, std::optional<double>(0.0));

  // Empty values never match: evaluation goes on with the rules.
  b.data.insert_or_assign("pp", "P2");
  const MatchDecision rules = engine.evaluate_pair(a, b, {}, 1.0);
  EXPECT_EQ(rules.decision, Decision::kNoMerge);
  EXPECT_EQ(rules.rule_results.size(), 1u);
}

// ---- Rule loop and scoring ----------------------------------------------------------------

TEST(EvaluatePair, RuleLoopResultsAndMatchedOn) {
  ir::IdentityPlan plan = plan_with({testing::exact_rule("email", "email", 2.0),
                                     testing::exact_rule("phone", "phone", 1.0),
                                     testing::range_rule("age", "age", 2.0, 1.0)});
  const auto engine = ReconciliationEngine::from_plan(plan);
  const auto a = entity(1, {{"email", "a@x"}, {"phone", "1"}, {"age", "30"}});
  const auto b = entity(2, {{"email", "a@x"}, {"phone", "2"}, {"age", "31"}});
  const MatchDecision d = engine.evaluate_pair(a, b, {}, 1.0);
  EXPECT_EQ(d.entity_a_id, a.id);
  EXPECT_EQ(d.entity_b_id, b.id);
  ASSERT_EQ(d.rule_results.size(), 3u);
  EXPECT_EQ(d.rule_results[0].explanation, "Exact match on field email");
  EXPECT_EQ(d.rule_results[1].explanation, "No match on field phone");
  EXPECT_EQ(d.rule_results[2].explanation, "Range match on field age (diff within 2)");
  EXPECT_EQ(d.matched_on, (std::vector<std::string>{"email", "age"}));
  EXPECT_DOUBLE_EQ(d.confidence, 3.0 / 4.0);
  EXPECT_EQ(d.decision, Decision::kReview);
  EXPECT_FALSE(d.posterior_probability);
  EXPECT_FALSE(d.blocking_key);
}

TEST(EvaluatePair, WeightedSumScalesByTheFactorAndHandlesZeroWeight) {
  const auto engine = ReconciliationEngine::from_plan(
      plan_with({testing::exact_rule("e", "f"),
                 testing::similarity_rule("j", "g", ir::SimilarityAlgorithm::kJaroWinkler, 0.5),
                 testing::similarity_rule("l", "g", ir::SimilarityAlgorithm::kLevenshtein, 0.5),
                 testing::range_rule("r", "h", 1.0)}));
  const auto a = entity(1, {{"f", "x"}, {"g", "abc"}, {"h", "1"}});
  const auto b = entity(2, {{"f", "x"}, {"g", "abc"}, {"h", "1"}});
  EXPECT_EQ(engine.evaluate_pair(a, b, {}, 0.5).confidence, 0.5);
  // Every rule missing data: every weight 0, score 0.
  const auto empty = entity(3, {});
  const MatchDecision d = engine.evaluate_pair(a, empty, {}, 1.0);
  EXPECT_EQ(d.confidence, 0.0);
  EXPECT_EQ(d.decision, Decision::kNoMerge);
}

TEST(EvaluatePair, SourceReliability) {
  // The reliability scales the weights: visible through the minimum-weight rule.
  ir::IdentityPlan plan = merging_plan();
  plan.decision.min_total_weight = 0.6;
  struct Row {
    double ra, rb;
    bool kept;
  };
  const Row rows[] = {{0.5, 1.0, false}, {0.7, 0.9, true}, {0.5, kNaN, false}, {kNaN, 0.7, true},
                      {1.0, 1.0, true}};
  for (const Row& row : rows) {
    plan.sources.clear();
    ir::ResolvedSource sa, sb;
    sa.name = "a";
    sa.reliability = row.ra;
    sb.name = "b";
    sb.reliability = row.rb;
    plan.sources = {sa, sb};
    const auto engine = ReconciliationEngine::from_plan(plan);
    const auto a = entity(1, {{"f", "x"}}, "", "a");
    const auto b = entity(2, {{"f", "x"}}, "", "b");
    EXPECT_EQ(engine.evaluate_pair(a, b, {}, 1.0).confidence, row.kept ? 1.0 : 0.0)
        << row.ra << " " << row.rb;
  }
  // Both NaN: the total weight is NaN, and the weighted sum gives 0.
  ir::ResolvedSource s;
  s.name = "a";
  s.reliability = kNaN;
  plan.sources = {s};
  plan.decision.min_total_weight = 0.0;
  const auto engine = ReconciliationEngine::from_plan(plan);
  const auto a = entity(1, {{"f", "x"}}, "", "a");
  const auto b = entity(2, {{"f", "x"}}, "", "unknown");  // unknown source counts 1.0
  EXPECT_EQ(engine.evaluate_pair(a, b, {}, 1.0).confidence, 1.0);
  EXPECT_EQ(engine.evaluate_pair(a, a, {}, 1.0).confidence, 0.0);
}

TEST(EvaluatePair, MlEnsemble) {
  ir::IdentityPlan plan = plan_with({testing::exact_rule("e", "f"), testing::exact_rule("g", "g")});
  plan.decision.scoring_method = ir::ScoringMethod::kMlEnsemble;
  const auto a = entity(1, {{"f", "x"}, {"g", "y"}});
  const auto b = entity(2, {{"f", "x"}, {"g", "z"}});

  // No configuration: weighted sum.
  EXPECT_EQ(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0).confidence, 0.5);

  plan.decision.ml_ensemble_config = ir::CompiledMlEnsembleConfig{{}, 0.0};
  EXPECT_EQ(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 0.5).confidence, 0.25);

  plan.decision.ml_ensemble_config = ir::CompiledMlEnsembleConfig{{{"e", 2.0}, {"g", 7.0}}, -0.5};
  const double z = -0.5 + 2.0 * 1.0 + 7.0 * 0.0;
  EXPECT_DOUBLE_EQ(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0).confidence,
                   1.0 / (1.0 + std::exp(-z)));

  plan.decision.ml_ensemble_config = ir::CompiledMlEnsembleConfig{{{"e", kNaN}}, 0.0};
  const MatchDecision nan = ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0);
  EXPECT_TRUE(std::isnan(nan.confidence));
  EXPECT_EQ(nan.decision, Decision::kNoMerge);
}

TEST(EvaluatePair, CustomExpression) {
  ir::IdentityPlan plan = plan_with({testing::exact_rule("e", "f"), testing::exact_rule("g", "g")});
  plan.decision.scoring_method = ir::ScoringMethod::kCustom;
  const auto a = entity(1, {{"f", "x"}, {"g", "y"}});
  const auto b = entity(2, {{"f", "x"}, {"g", "z"}});
  struct Row {
    std::optional<std::string> expression;
    double factor;
    double want;
  };
  const Row rows[] = {
      {std::nullopt, 1.0, 0.5},   // not configured: weighted sum
      {"e * 1.7", 1.0, 1.0},      // capped at 1
      {"0 - 2", 1.0, 0.0},        // floored at 0
      {"e * 0.5 + g", 0.5, 0.25}, // scaled by the factor
      {"e +", 1.0, 0.5},          // fails when evaluated: weighted sum
      {"missing + 0.25", 1.0, 0.25},
  };
  for (const Row& row : rows) {
    if (row.expression) {
      plan.decision.custom_scoring_config = ir::CompiledCustomScoringConfig{*row.expression};
    } else {
      plan.decision.custom_scoring_config.reset();
    }
    EXPECT_DOUBLE_EQ(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, row.factor).confidence,
                     row.want)
        << row.expression.value_or("<none>");
  }
  // A later rule of the same name replaces an earlier one's score.
  ir::IdentityPlan twice = plan_with({testing::exact_rule("e", "f"), testing::exact_rule("e", "g")});
  twice.decision.scoring_method = ir::ScoringMethod::kCustom;
  twice.decision.custom_scoring_config = ir::CompiledCustomScoringConfig{"e"};
  EXPECT_EQ(ReconciliationEngine::from_plan(twice).evaluate_pair(a, b, {}, 1.0).confidence, 0.0);
}

ir::IdentityPlan fs_plan() {
  ir::IdentityPlan plan = plan_with({testing::exact_rule("email", "email"),
                                     testing::similarity_rule("name", "name", ir::SimilarityAlgorithm::kJaroWinkler, 0.9)});
  plan.decision.scoring_method = ir::ScoringMethod::kFellegiSunter;
  ir::CompiledFellegiSunterPlan fs;
  fs.fields = {testing::fs_field("email", 5.0, -3.0), testing::fs_field("name", 2.0, -1.0),
               testing::fs_field("phone", 4.0, -0.5)};
  fs.match_threshold = 4.0;
  fs.possible_threshold = 1.0;
  plan.decision.fellegi_sunter = fs;
  return plan;
}

TEST(EvaluatePair, FellegiSunter) {
  const auto engine = ReconciliationEngine::from_plan(fs_plan());
  // email agrees (s = 1), name disagrees completely (s = 0), phone present in one record only
  // (not counted), and the phone field has no rule (s would be 0).
  const auto a = entity(1, {{"email", "a@x"}, {"name", "abc"}, {"phone", "1"}});
  const auto b = entity(2, {{"email", "a@x"}, {"name", "xyz"}});
  const MatchDecision d = engine.evaluate_pair(a, b, {}, 0.5);
  EXPECT_EQ(d.confidence, 5.0 + -1.0);  // the factor is not applied
  EXPECT_EQ(d.decision, Decision::kMerge);
  ASSERT_TRUE(d.posterior_probability);
  EXPECT_DOUBLE_EQ(*d.posterior_probability, std::exp(4.0) / (1.0 + std::exp(4.0)));

  // A field without a rule counts with s = 0 when both records hold it.
  const auto c = entity(3, {{"email", "b@x"}, {"name", "xyz"}, {"phone", "2"}});
  const auto e = entity(4, {{"email", "b@x"}, {"name", "xyz"}, {"phone", "3"}});
  const MatchDecision both = engine.evaluate_pair(c, e, {}, 1.0);
  EXPECT_EQ(both.confidence, 5.0 + 2.0 - 0.5);
  // Below the possible threshold 1.0: -3 + 2.
  const MatchDecision low = engine.evaluate_pair(b, c, {}, 1.0);
  EXPECT_EQ(low.confidence, -1.0);
  EXPECT_EQ(low.decision, Decision::kNoMerge);
  // Between the thresholds: 5 - 1 - 0.5.
  const auto h = entity(5, {{"email", "b@x"}, {"name", "abc"}, {"phone", "9"}});
  const MatchDecision review = engine.evaluate_pair(c, h, {}, 1.0);
  EXPECT_EQ(review.confidence, 3.5);
  EXPECT_EQ(review.decision, Decision::kReview);
}

TEST(EvaluatePair, FellegiSunterPosteriorAndFallback) {
  struct Row {
    double w_agree;
    double want_score;
    std::optional<double> posterior;
    Decision decision;
  };
  const Row rows[] = {
      {0.0, 0.0, 0.5, Decision::kNoMerge},
      {1000.0, 1000.0, 1.0, Decision::kMerge},
      {-1000.0, -1000.0, 0.0, Decision::kNoMerge},
      {4.0, 4.0, std::exp(4.0) / (1.0 + std::exp(4.0)), Decision::kMerge},  // inclusive
  };
  for (const Row& row : rows) {
    ir::IdentityPlan plan = fs_plan();
    plan.decision.fellegi_sunter->fields = {testing::fs_field("email", row.w_agree, 0.0)};
    const auto engine = ReconciliationEngine::from_plan(plan);
    const auto a = entity(1, {{"email", "a@x"}});
    const MatchDecision d = engine.evaluate_pair(a, a, {}, 1.0);
    EXPECT_EQ(d.confidence, row.want_score);
    EXPECT_EQ(d.posterior_probability, row.posterior) << row.w_agree;
    EXPECT_EQ(d.decision, row.decision);
  }
  // NaN weights: NaN score, no merge.
  ir::IdentityPlan nan_plan = fs_plan();
  nan_plan.decision.fellegi_sunter->fields = {testing::fs_field("email", kNaN, 0.0)};
  const auto a = entity(1, {{"email", "a@x"}});
  const MatchDecision nan = ReconciliationEngine::from_plan(nan_plan).evaluate_pair(a, a, {}, 1.0);
  EXPECT_TRUE(std::isnan(nan.confidence));
  EXPECT_EQ(nan.decision, Decision::kNoMerge);

  // Without FS parameters: weighted sum with the plan's thresholds, no posterior.
  ir::IdentityPlan fallback = fs_plan();
  fallback.decision.fellegi_sunter.reset();
  const auto b = entity(2, {{"email", "a@x"}, {"name", "abc"}});
  const auto c = entity(3, {{"email", "a@x"}, {"name", "abc"}});
  const MatchDecision w = ReconciliationEngine::from_plan(fallback).evaluate_pair(b, c, {}, 1.0);
  EXPECT_EQ(w.confidence, 1.0);
  EXPECT_EQ(w.decision, Decision::kMerge);
  EXPECT_FALSE(w.posterior_probability);
}

TEST(EvaluatePair, ProbabilityExplanations) {
  ir::IdentityPlan plan = fs_plan();
  plan.governance = ir::CompiledGovernance{};
  plan.governance->log_probabilities = true;
  plan.decision.scoring_method = ir::ScoringMethod::kWeightedSum;  // whatever the method
  const auto engine = ReconciliationEngine::from_plan(plan);
  const auto a = entity(1, {{"email", "a@x"}, {"name", "MARTHA"}});
  const auto b = entity(2, {{"email", "a@x"}});
  const MatchDecision d = engine.evaluate_pair(a, b, {}, 1.0);
  ASSERT_EQ(d.rule_results.size(), 2u);
  EXPECT_EQ(d.rule_results[0].explanation,
            "email: score=1.00, w=5.00 (agree=5.00, disagree=-3.00)");
  EXPECT_EQ(d.rule_results[1].explanation,
            "name: SKIPPED (missing data), w=0.00 (agree=2.00, disagree=-1.00)");
  const auto c = entity(3, {{"email", "a@y"}, {"name", "MARHTA"}});
  const MatchDecision e = engine.evaluate_pair(a, c, {}, 1.0);
  // s = 0.9611..., contribution -1 + s * 3 = 1.8833...
  EXPECT_EQ(e.rule_results[1].explanation,
            "name: score=0.96, w=1.88 (agree=2.00, disagree=-1.00)");
  EXPECT_EQ(e.rule_results[0].explanation,
            "email: score=0.00, w=-3.00 (agree=5.00, disagree=-3.00)");

  plan.governance->log_probabilities = false;
  const MatchDecision plain = ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0);
  EXPECT_EQ(plain.rule_results[0].explanation, "Exact match on field email");
}

TEST(EvaluatePair, MinimumTotalWeight) {
  ir::IdentityPlan plan = plan_with({testing::exact_rule("email", "email"),
                                     testing::exact_rule("phone", "phone")});
  plan.decision.min_total_weight = 2.0;
  const auto a = entity(1, {{"email", "a@x"}});
  const auto b = entity(2, {{"email", "a@x"}, {"phone", "1"}});
  // Total weight 1.0 < 2.0; the matched rule is not listed: score 0.
  const MatchDecision dropped = ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0);
  EXPECT_EQ(dropped.confidence, 0.0);
  EXPECT_EQ(dropped.decision, Decision::kNoMerge);
  EXPECT_EQ(dropped.matched_on, std::vector<std::string>{"email"});  // unchanged
  plan.decision.allow_single_field = {"email"};
  const MatchDecision kept = ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0);
  EXPECT_EQ(kept.confidence, 1.0);
  EXPECT_EQ(kept.decision, Decision::kMerge);
}

TEST(EvaluatePair, ThresholdsAreInclusiveAndReviewNeedsItsOwnThreshold) {
  ir::IdentityPlan plan = plan_with({testing::exact_rule("e", "f"), testing::exact_rule("g", "g")});
  const auto a = entity(1, {{"f", "x"}, {"g", "y"}});
  const auto b = entity(2, {{"f", "x"}, {"g", "z"}});
  plan.decision.match_threshold = 0.5;
  EXPECT_EQ(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0).decision, Decision::kMerge);
  plan.decision.match_threshold = 0.6;
  plan.decision.review_threshold = 0.5;
  EXPECT_EQ(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0).decision, Decision::kReview);
  plan.decision.review_threshold.reset();
  EXPECT_EQ(ReconciliationEngine::from_plan(plan).evaluate_pair(a, b, {}, 1.0).decision, Decision::kNoMerge);
}

}  // namespace
}  // namespace osmira_core::engine
