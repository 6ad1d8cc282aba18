// Engine construction and the single-pair operations. The batch and incremental runs are in
// reconcile.cc; the pair-evaluation core they share with `evaluate_pair` is in pair_scorer.cc.
#include "core/engine/engine.h"

#include <utility>
#include <variant>

#include "core/engine/blocking/lsh.h"
#include "core/engine/blocking/plan_blocking.h"
#include "core/engine/log.h"
#include "core/engine/pair_scorer.h"

namespace osmira_core::engine {
namespace {

using osmira_common::ir::BlockingStrategy;
using osmira_common::ir::CompiledExclusion;
using osmira_common::ir::CompiledRule;
using osmira_common::ir::CompiledRuleType;
using osmira_common::ir::IdentityPlan;
using osmira_common::ir::SimilarityAlgorithm;

constexpr std::string_view kTarget = "osmira_core::engine";
// The compiler's target: an invalid custom expression is reported for the compiler too, as
// the one place that compiles it is here.
constexpr std::string_view kCompilerTarget = "osmira_core::engine::compiler";
constexpr uint64_t kDefaultLshBands = 20;
constexpr uint64_t kDefaultLshRows = 5;

// Every non-composite kind; a composite is assembled from its compiled children.
std::unique_ptr<matching::MatchRule> compile_leaf(const CompiledRule& rule) {
  using namespace matching;
  const std::string& name = rule.name;
  if (const auto* x = std::get_if<CompiledRuleType::Exact>(&rule.rule_type.kind)) {
    return std::make_unique<ExactMatch>(name, x->field, x->normalizer, x->weight,
                                        x->case_insensitive, x->normalize);
  }
  if (const auto* s = std::get_if<CompiledRuleType::Similarity>(&rule.rule_type.kind)) {
    switch (s->algorithm) {
      case SimilarityAlgorithm::kJaroWinkler:
        return std::make_unique<FuzzyStringMatch>(name, s->field, s->normalizer, s->threshold,
                                                  s->weight);
      case SimilarityAlgorithm::kLevenshtein:
        return std::make_unique<LevenshteinMatch>(name, s->field, s->normalizer, s->threshold,
                                                  s->weight);
      case SimilarityAlgorithm::kSoundex:
        return std::make_unique<SoundexMatch>(name, s->field, s->threshold, s->weight);
      case SimilarityAlgorithm::kMetaphone:
        return std::make_unique<MetaphoneMatch>(name, s->field, s->threshold, s->weight);
      case SimilarityAlgorithm::kCosine:
        return std::make_unique<CosineMatch>(name, s->field, s->threshold, s->weight);
      case SimilarityAlgorithm::kHaversine:
        return std::make_unique<HaversineMatch>(name, s->field, s->threshold, s->weight);
    }
  }
  if (const auto* r = std::get_if<CompiledRuleType::Range>(&rule.rule_type.kind)) {
    // A normalizer given to a range rule has no effect.
    return std::make_unique<RangeMatch>(name, r->field, r->tolerance, r->weight);
  }
  const auto& ml = std::get<CompiledRuleType::Ml>(rule.rule_type.kind);
  return std::make_unique<MlMatch>(name, ml.model_id, ml.features, ml.threshold, ml.weight);
}

}  // namespace

std::unique_ptr<matching::MatchRule> ReconciliationEngine::compile_rule(const CompiledRule& rule) {
  // Depth-first with an explicit stack: a composite is built once all of its children are.
  struct Frame {
    const CompiledRule* rule;
    const CompiledRuleType::Composite* composite;  // null for leaves
    size_t next_child = 0;
    std::vector<std::unique_ptr<matching::MatchRule>> children;
  };
  const auto frame_for = [](const CompiledRule& r) {
    return Frame{&r, std::get_if<CompiledRuleType::Composite>(&r.rule_type.kind), 0, {}};
  };
  std::vector<Frame> stack;
  stack.push_back(frame_for(rule));
  while (true) {
    Frame& frame = stack.back();
    if (frame.composite != nullptr && frame.next_child < frame.composite->children.size()) {
      const CompiledRule& child = frame.composite->children[frame.next_child++];
      stack.push_back(frame_for(child));
      continue;
    }
    std::unique_ptr<matching::MatchRule> built;
    if (frame.composite != nullptr) {
      built = std::make_unique<matching::CompositeMatch>(std::move(frame.children),
                                                         frame.rule->name, frame.composite->op);
    } else {
      built = compile_leaf(*frame.rule);
    }
    stack.pop_back();
    if (stack.empty()) return built;
    stack.back().children.push_back(std::move(built));
  }
}

ReconciliationEngine ReconciliationEngine::from_plan(const IdentityPlan& plan, log::Events* events) {
  ReconciliationEngine engine;
  EngineSettings& s = engine.settings_;
  s.events = events;
  const auto& decision = plan.decision;

  s.rules.reserve(plan.match_graph.rules.size());
  for (const CompiledRule& rule : plan.match_graph.rules) {
    s.rules.push_back(compile_rule(rule));
  }

  s.blocking_strategies.push_back(
      std::make_unique<blocking::PlanBlocking>(plan.blocking.keys));
  if (plan.blocking.strategy == BlockingStrategy::kLsh) {
    std::vector<std::string> fields;
    for (const auto& key : plan.blocking.keys) {
      fields.insert(fields.end(), key.fields.begin(), key.fields.end());
    }
    const uint64_t bands = plan.blocking.lsh_bands.value_or(kDefaultLshBands);
    const uint64_t rows = plan.blocking.lsh_rows.value_or(kDefaultLshRows);
    auto lsh = blocking::lsh::LshBlocking::create(std::move(fields), bands, rows);
    if (lsh.ok()) {
      s.blocking_strategies.push_back(
          std::make_unique<blocking::lsh::LshBlocking>(std::move(lsh).value()));
    } else {
      // Band and row counts this large would exhaust memory on the first record; the
      // engine blocks by the plan's keys alone rather than failing.
      OSMIRA_LOG_ERROR(events, kTarget, "LSH blocking left out: {}", lsh.error().message());
    }
  }

  if (decision.custom_scoring_config) {
    auto program = expression::compile_expression(decision.custom_scoring_config->expression);
    if (program.ok()) {
      s.custom_expression = std::move(program).value();
    } else {
      OSMIRA_LOG_ERROR(events, kCompilerTarget, "Invalid custom scoring expression: {}",
                       program.error().message());
      OSMIRA_LOG_ERROR(events, kTarget, "Failed to compile custom scoring expression: {}",
                       program.error().message());
    }
  }

  s.neighborhood_window = plan.blocking.neighborhood_window;
  s.sort_fields = plan.blocking.sort_fields;
  s.fs_plan = decision.fellegi_sunter;
  s.reference_identifiers = plan.reference_identifiers;
  s.exclusions = plan.exclusions;
  s.allow_single_field = decision.allow_single_field;
  s.tie_breaking = decision.tie_breaking;
  if (decision.clustering) {
    s.clustering_method = decision.clustering->method;
    s.min_edge_weight = decision.clustering->min_edge_weight;
    s.min_cluster_coherence = decision.clustering->min_cluster_coherence;
    s.max_cluster_size = decision.clustering->max_cluster_size;
  }
  for (const auto& source : plan.sources) {
    s.source_reliability.insert_or_assign(source.name, source.reliability);
  }
  s.match_threshold = decision.match_threshold;
  s.review_threshold = decision.review_threshold.value_or(decision.match_threshold);
  s.max_block_size = EngineSettings::kMaxBlockSize;
  if (decision.ml_ensemble_config) {
    s.ml_coefficients.emplace();
    for (const auto& [name, coefficient] : decision.ml_ensemble_config->coefficients) {
      s.ml_coefficients->insert_or_assign(name, coefficient);
    }
    s.ml_bias = decision.ml_ensemble_config->bias;
  }
  s.min_total_weight = decision.min_total_weight;
  s.log_probabilities = plan.governance && plan.governance->log_probabilities;
  for (const auto& source : plan.sources) {
    if (source.temporal) {
      s.temporal_mode = source.temporal->strategy;
      break;
    }
  }
  s.scoring_method = decision.scoring_method;
  return engine;
}

bool ReconciliationEngine::matches_exclusion(const types::NormalizedEntity& record,
                                             const CompiledExclusion& exclusion) {
  return engine::matches_exclusion(record, exclusion);
}

bool matches_exclusion(const types::NormalizedEntity& record, const CompiledExclusion& exclusion) {
  const auto* rule = std::get_if<CompiledExclusion::FieldValue>(&exclusion.kind);
  if (rule == nullptr) return false;
  const auto it = record.data.find(std::string_view(rule->field));
  // Only a missing field is empty: an empty text is a value like any other.
  if (it == record.data.end()) return rule->op == "is_empty";
  const std::string_view value = it->second;
  const std::string* wanted = rule->value.string();
  if (wanted == nullptr) return false;
  if (rule->op == "eq" || rule->op == "==") return value == *wanted;
  if (rule->op == "ne" || rule->op == "!=") return value != *wanted;
  if (rule->op == "contains") return value.find(*wanted) != std::string::npos;
  return false;
}

types::MatchDecision ReconciliationEngine::evaluate_pair(
    const types::NormalizedEntity& a, const types::NormalizedEntity& b,
    const overrides::OverrideResolver& overrides, double temporal_factor) const {
  const detail::PairScorer scorer(settings_, {&a, &b}, false);
  detail::PairScorer::Scratch scratch = scorer.make_scratch();
  const auto verdict = scorer.evaluate(0, 1, temporal_factor, overrides, scratch);
  return scorer.decision(0, 1, verdict, scratch);
}

PairReconciliation ReconciliationEngine::reconcile_pair_with_telemetry(
    const types::NormalizedEntity& a, const types::NormalizedEntity& b,
    const overrides::OverrideResolver& overrides) const {
  const detail::PairScorer scorer(settings_, {&a, &b}, false);
  PairReconciliation out;
  const std::optional<double> factor = scorer.temporal_factor(0, 1);
  if (!factor) return out;
  detail::PairScorer::Scratch scratch = scorer.make_scratch();
  const auto verdict = scorer.evaluate(0, 1, *factor, overrides, scratch);
  out.telemetry = PairTelemetry{std::string(types::decision_telemetry_key(verdict.decision)),
                                scorer.rule_results(0, 1, verdict, scratch)};
  if (verdict.decision != types::Decision::kNoMerge) {
    out.decision = scorer.decision(0, 1, verdict, scratch);
  }
  return out;
}

ClusteringSettings ReconciliationEngine::clustering_settings() const {
  ClusteringSettings settings;
  settings.method = settings_.clustering_method;
  settings.min_edge_weight = settings_.min_edge_weight;
  settings.min_cluster_coherence = settings_.min_cluster_coherence;
  settings.max_cluster_size = settings_.max_cluster_size;
  return settings;
}

std::vector<Cluster> ReconciliationEngine::cluster_decisions(
    std::span<const types::NormalizedEntity> records,
    std::span<const types::MatchDecision> decisions) const {
  return engine::cluster_decisions(clustering_settings(), records, decisions);
}

std::vector<Cluster> ReconciliationEngine::cluster_decisions_incremental(
    std::span<const types::NormalizedEntity> records,
    std::span<const types::MatchDecision> decisions,
    std::span<const std::vector<osmira_base::Uuid>> existing_clusters) const {
  return engine::cluster_decisions_incremental(records, decisions, existing_clusters);
}

}  // namespace osmira_core::engine
