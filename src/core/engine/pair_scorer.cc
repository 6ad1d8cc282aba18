#include "core/engine/pair_scorer.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <variant>

#include "base/number_text.h"
#include "core/engine/log.h"
#include "core/engine/temporal.h"

namespace osmira_core::engine::detail {
namespace {

using osmira_base::fixed_number;
using osmira_common::ir::CompiledExclusion;
using osmira_common::ir::CompiledFsField;
using osmira_common::ir::ScoringMethod;
using types::Decision;

constexpr std::string_view kTarget = "osmira_core::engine";

// The smaller of two values, a NaN giving way to the other value (both NaN: NaN).
double min_ignoring_nan(double x, double y) {
  if (std::isnan(x)) return y;
  if (std::isnan(y)) return x;
  return std::min(x, y);
}

// min(1.0, v) that keeps a NaN: a configuration that yields NaN must end as no-merge.
double at_most_one(double v) { return v > 1.0 ? 1.0 : v; }

// e^s / (1 + e^s). Large scores overflow e^s; the probability is then 1.0.
double logistic_posterior(double score) {
  if (std::isnan(score)) return score;
  const double e = std::exp(score);
  const double p = e / (1.0 + e);
  return std::isnan(p) || p > 1.0 ? 1.0 : p;
}

bool holds_non_empty(const types::NormalizedEntity& e, std::string_view field) {
  const auto it = e.data.find(field);
  return it != e.data.end() && !it->second.empty();
}

}  // namespace

PairScorer::PairScorer(const EngineSettings& engine,
                       std::vector<const types::NormalizedEntity*> records, bool parallel)
    : engine_(engine),
      records_(std::move(records)),
      now_(osmira_base::DateTime::now()),
      program_(matching::RuleProgram::build(engine.rules)) {
  const size_t top = engine.rules.size();
  rule_names_.reserve(top);
  for (const auto& rule : engine.rules) rule_names_.push_back(rule->name());

  ml_coefficient_.assign(top, 0.0);
  if (engine.ml_coefficients) {
    for (size_t i = 0; i < top; ++i) {
      const auto it = engine.ml_coefficients->find(rule_names_[i]);
      if (it != engine.ml_coefficients->end()) ml_coefficient_[i] = it->second;
    }
  }
  allow_single_.assign(top, 0);
  for (size_t i = 0; i < top; ++i) {
    allow_single_[i] = std::find(engine.allow_single_field.begin(), engine.allow_single_field.end(),
                                 rule_names_[i]) != engine.allow_single_field.end();
  }
  if (engine.fs_plan) {
    for (const CompiledFsField& field : engine.fs_plan->fields) {
      const auto it = std::find(rule_names_.begin(), rule_names_.end(), field.name);
      fs_rule_.push_back(it == rule_names_.end() ? -1
                                                 : static_cast<int32_t>(it - rule_names_.begin()));
    }
  }
  for (const CompiledExclusion& exclusion : engine.exclusions) {
    if (const auto* pair = std::get_if<CompiledExclusion::ExplicitPair>(&exclusion.kind)) {
      explicit_pairs_.emplace_back(pair->left_id, pair->right_id);
    } else if (const auto* ct = std::get_if<CompiledExclusion::CrossTenant>(&exclusion.kind)) {
      cross_tenant_ = cross_tenant_ || ct->enabled;
    } else {
      has_field_value_exclusions_ = true;
    }
  }

  const size_t n = records_.size();
  leaf_count_ = program_.leaves().size();
  ref_count_ = engine.reference_identifiers.size();
  fs_count_ = fs_rule_.size();
  features_.resize(n * leaf_count_);
  reference_values_.resize(n * ref_count_);
  fs_present_.resize(n * fs_count_);
  reliability_.resize(n);
  excluded_alone_.resize(n);
  validity_.resize(n);
  const size_t chunks = (n + kPrepareChunk - 1) / kPrepareChunk;
  feature_blocks_.resize(chunks);
  if (parallel && chunks > 1) {
    tbb::parallel_for(size_t{0}, chunks, [this](size_t c) { prepare_chunk(c); });
  } else {
    for (size_t c = 0; c < chunks; ++c) prepare_chunk(c);
  }
}

void PairScorer::prepare_chunk(size_t c) {
  const size_t begin = c * kPrepareChunk;
  const size_t end = std::min(records_.size(), begin + kPrepareChunk);
  for (size_t i = begin; i < end; ++i) prepare(static_cast<uint32_t>(i));
  // The features' heap blocks (long texts, code points, bigrams) go into one allocation of
  // exactly their size, rather than staying one small heap block each.
  const std::span<matching::FieldFeature> features(features_.data() + begin * leaf_count_,
                                                   (end - begin) * leaf_count_);
  size_t bytes = 0;
  for (const matching::FieldFeature& f : features) bytes += f.block_bytes();
  if (bytes == 0) return;
  feature_blocks_[c] = std::make_unique_for_overwrite<char[]>(bytes);
  char* to = feature_blocks_[c].get();
  for (matching::FieldFeature& f : features) {
    const size_t size = f.block_bytes();
    f.move_block_to(to);
    to += size;
  }
}

void PairScorer::prepare(uint32_t i) {
  const types::NormalizedEntity& e = *records_[i];
  const auto leaves = program_.leaves();
  for (size_t k = 0; k < leaf_count_; ++k) leaves[k]->prepare(e, features_[i * leaf_count_ + k]);
  for (size_t k = 0; k < ref_count_; ++k) {
    const auto it = e.data.find(std::string_view(engine_.reference_identifiers[k].field));
    reference_values_[i * ref_count_ + k] = it == e.data.end() ? nullptr : &it->second;
  }
  for (size_t k = 0; k < fs_count_; ++k) {
    fs_present_[i * fs_count_ + k] = holds_non_empty(e, engine_.fs_plan->fields[k].name);
  }
  const auto rel = engine_.source_reliability.find(std::string_view(e.source_name));
  reliability_[i] = rel == engine_.source_reliability.end() ? 1.0 : rel->second;
  validity_[i] = static_cast<uint8_t>((e.valid_from ? kHasValidFrom : 0) |
                                      (e.valid_to ? kHasValidTo : 0));
  if (has_field_value_exclusions_) {
    excluded_alone_[i] = std::any_of(
        engine_.exclusions.begin(), engine_.exclusions.end(),
        [&](const CompiledExclusion& x) { return matches_exclusion(e, x); });
  }
}

PairScorer::Scratch PairScorer::make_scratch() const {
  Scratch scratch;
  scratch.outcomes.resize(rule_names_.size());
  if (engine_.scoring_method == ScoringMethod::kCustom && engine_.custom_expression) {
    for (std::string_view name : rule_names_) scratch.variables.emplace(name, 0.0);
  }
  return scratch;
}

std::optional<double> PairScorer::temporal_factor(uint32_t a, uint32_t b) const {
  // Pairs the gate lets through whatever the time: no end in latest-only mode; no bound at
  // all in point-in-time mode; in bi-temporal mode a record without bounds spans all time
  // and overlaps any interval.
  const uint8_t va = validity_[a];
  const uint8_t vb = validity_[b];
  switch (engine_.temporal_mode) {
    case osmira_common::ir::TemporalStrategy::kLatestOnly:
      if (((va | vb) & kHasValidTo) == 0) return 1.0;
      break;
    case osmira_common::ir::TemporalStrategy::kPointInTime:
      if ((va | vb) == 0) return 1.0;
      break;
    case osmira_common::ir::TemporalStrategy::kBiTemporal:
      if (va == 0 || vb == 0) return 1.0;
      break;
  }
  const temporal::TemporalResult t =
      temporal::TemporalMatcher::evaluate(engine_.temporal_mode, *records_[a], *records_[b], now_);
  if (t.state == temporal::TemporalState::kInvalid) return std::nullopt;
  return t.factor;
}

double PairScorer::fs_score(uint32_t a, uint32_t b,
                            std::span<const matching::RuleOutcome> outcomes) const {
  double score = 0.0;
  const auto& fields = engine_.fs_plan->fields;
  for (size_t f = 0; f < fs_count_; ++f) {
    if (!fs_present_[a * fs_count_ + f] || !fs_present_[b * fs_count_ + f]) continue;
    const double s = fs_rule_[f] < 0 ? 0.0 : outcomes[static_cast<size_t>(fs_rule_[f])].score;
    score += fields[f].w_disagree + s * (fields[f].w_agree - fields[f].w_disagree);
  }
  return score;
}

PairScorer::Verdict PairScorer::evaluate(uint32_t a, uint32_t b, double factor,
                                         const overrides::OverrideResolver& overrides,
                                         Scratch& scratch) const {
  const types::NormalizedEntity& ra = *records_[a];
  const types::NormalizedEntity& rb = *records_[b];
  Verdict v;
  v.temporal_factor = factor;

  // Exclusions. Every exclusion gives the same verdict, so only whether one applies matters.
  bool excluded = excluded_alone_[a] || excluded_alone_[b] ||
                  (cross_tenant_ && ra.tenant_id != rb.tenant_id);
  for (size_t k = 0; !excluded && k < explicit_pairs_.size(); ++k) {
    const auto& [left, right] = explicit_pairs_[k];
    excluded = (ra.external_id == left && rb.external_id == right) ||
               (ra.external_id == right && rb.external_id == left);
  }
  if (excluded) {
    v.reason = Reason::kExcluded;
    return v;
  }

  if (const auto kind = overrides.resolve(ra.id, rb.id)) {
    switch (*kind) {
      case overrides::OverrideKind::kSplit: v.reason = Reason::kManualSplit; break;
      case overrides::OverrideKind::kLock: v.reason = Reason::kManualLock; break;
      case overrides::OverrideKind::kMerge:
        v.reason = Reason::kManualMerge;
        v.decision = Decision::kMerge;
        v.confidence = 1.0;
        break;
    }
    return v;
  }

  for (size_t k = 0; k < ref_count_; ++k) {
    const std::string_view* va = reference_values_[a * ref_count_ + k];
    const std::string_view* vb = reference_values_[b * ref_count_ + k];
    if (va != nullptr && vb != nullptr && !va->empty() && *va == *vb) {
      v.reason = Reason::kReferenceId;
      v.reference_index = k;
      v.decision = Decision::kMerge;
      v.confidence = 1.0;
      v.posterior_probability = 1.0;
      return v;
    }
  }

  const double r = min_ignoring_nan(reliability_[a], reliability_[b]);

  const std::span<matching::RuleOutcome> outcomes(scratch.outcomes);
  program_.run(std::span<const matching::FieldFeature>(features_.data() + a * leaf_count_, leaf_count_),
               std::span<const matching::FieldFeature>(features_.data() + b * leaf_count_, leaf_count_),
               scratch.stack, outcomes, scratch.similarity);
  double total_score = 0.0;
  double total_weight = 0.0;
  for (const matching::RuleOutcome& o : outcomes) {
    const double w = o.weight * r;
    total_score += o.score * w;
    total_weight += w;
  }
  const auto weighted_sum = [&] {
    return total_weight > 0.0 ? total_score / total_weight * factor : 0.0;
  };

  double score = 0.0;
  bool fellegi_sunter = false;
  switch (engine_.scoring_method) {
    case ScoringMethod::kWeightedSum:
      score = weighted_sum();
      break;
    case ScoringMethod::kMlEnsemble:
      if (!engine_.ml_coefficients) {
        OSMIRA_LOG_WARN(engine_.events, kTarget,
                        "ML ensemble scoring selected but no ml_ensemble config provided, "
                        "falling back to weighted sum");
        score = weighted_sum();
      } else {
        double z = engine_.ml_bias;
        for (size_t i = 0; i < outcomes.size(); ++i) z += ml_coefficient_[i] * outcomes[i].score;
        score = at_most_one(1.0 / (1.0 + std::exp(-z))) * factor;
      }
      break;
    case ScoringMethod::kCustom:
      if (!engine_.custom_expression) {
        OSMIRA_LOG_WARN(engine_.events, kTarget,
                        "Custom scoring selected but no expression configured, falling back to "
                        "weighted sum");
        score = weighted_sum();
      } else {
        // A later rule of the same name replaces an earlier one's score.
        for (size_t i = 0; i < outcomes.size(); ++i) {
          scratch.variables.insert_or_assign(rule_names_[i], outcomes[i].score);
        }
        const osmira_base::Result<double> value =
            expression::evaluate(*engine_.custom_expression, scratch.variables);
        if (value.ok()) {
          const double x = *value;
          score = std::isnan(x) ? x : std::min(1.0, std::max(0.0, x)) * factor;
        } else {
          OSMIRA_LOG_ERROR(engine_.events, kTarget,
                           "Custom scoring expression evaluation failed: {}, falling back to "
                           "weighted sum",
                           value.error().message());
          score = weighted_sum();
        }
      }
      break;
    case ScoringMethod::kFellegiSunter:
      if (!engine_.fs_plan) {
        OSMIRA_LOG_WARN(engine_.events, kTarget,
                        "Fellegi-Sunter scoring selected but no config provided, falling back "
                        "to weighted sum");
        score = weighted_sum();
      } else {
        fellegi_sunter = true;
        score = fs_score(a, b, outcomes);  // the temporal factor is not applied
      }
      break;
  }

  if (engine_.min_total_weight > 0.0 && total_weight < engine_.min_total_weight) {
    bool allowed = false;
    for (size_t i = 0; i < outcomes.size() && !allowed; ++i) {
      allowed = outcomes[i].matched && allow_single_[i];
    }
    if (!allowed) score = 0.0;
  }

  v.confidence = score;
  const double match = fellegi_sunter ? engine_.fs_plan->match_threshold : engine_.match_threshold;
  const double review =
      fellegi_sunter ? engine_.fs_plan->possible_threshold : engine_.review_threshold;
  if (score >= match) {
    v.decision = Decision::kMerge;
  } else if (score >= review) {
    v.decision = Decision::kReview;
  } else {
    v.decision = Decision::kNoMerge;  // also for a NaN score
  }
  if (fellegi_sunter) v.posterior_probability = logistic_posterior(score);
  return v;
}

void PairScorer::tally(const Verdict& verdict, std::span<const matching::RuleOutcome> outcomes,
                       observability::PairTally& tally) const {
  tally.record_decision(verdict.decision);
  if (verdict.reason != Reason::kRules) return;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    tally.record_rule(i, outcomes[i].score, outcomes[i].matched);
  }
}

std::vector<types::RuleResult> PairScorer::rule_results(
    uint32_t a, uint32_t b, const Verdict& verdict,
    std::span<const matching::RuleOutcome> outcomes) const {
  std::vector<types::RuleResult> results;
  if (verdict.reason != Reason::kRules) return results;
  results.reserve(outcomes.size());
  for (size_t i = 0; i < outcomes.size(); ++i) {
    results.push_back(engine_.rules[i]->result(outcomes[i]));
  }
  if (engine_.fs_plan && engine_.log_probabilities) {
    const auto& fields = engine_.fs_plan->fields;
    for (size_t f = 0; f < fs_count_; ++f) {
      const CompiledFsField& field = fields[f];
      if (fs_rule_[f] < 0) continue;  // no result to carry the text
      std::string text;
      if (fs_present_[a * fs_count_ + f] && fs_present_[b * fs_count_ + f]) {
        const double s = outcomes[static_cast<size_t>(fs_rule_[f])].score;
        const double contribution = field.w_disagree + s * (field.w_agree - field.w_disagree);
        text = field.name + ": score=" + fixed_number(s, 2) + ", w=" +
               fixed_number(contribution, 2) + " (agree=" + fixed_number(field.w_agree, 2) +
               ", disagree=" + fixed_number(field.w_disagree, 2) + ")";
      } else {
        text = field.name + ": SKIPPED (missing data), w=0.00 (agree=" +
               fixed_number(field.w_agree, 2) + ", disagree=" + fixed_number(field.w_disagree, 2) +
               ")";
      }
      results[static_cast<size_t>(fs_rule_[f])].explanation = std::move(text);
    }
  }
  return results;
}

types::MatchDecision PairScorer::decision(uint32_t a, uint32_t b, const Verdict& verdict,
                                          std::span<const matching::RuleOutcome> outcomes) const {
  types::MatchDecision d;
  d.entity_a_id = records_[a]->id;
  d.entity_b_id = records_[b]->id;
  d.decision = verdict.decision;
  d.confidence = verdict.confidence;
  d.posterior_probability = verdict.posterior_probability;
  d.temporal_adjustment = verdict.temporal_factor;
  switch (verdict.reason) {
    case Reason::kRules:
      d.rule_results = rule_results(a, b, verdict, outcomes);
      for (size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].matched) d.matched_on.emplace_back(rule_names_[i]);
      }
      break;
    case Reason::kExcluded: d.matched_on.emplace_back("EXCLUDED"); break;
    case Reason::kManualSplit: d.matched_on.emplace_back("MANUAL_SPLIT"); break;
    case Reason::kManualLock: d.matched_on.emplace_back("MANUAL_LOCK"); break;
    case Reason::kManualMerge: d.matched_on.emplace_back("MANUAL_MERGE"); break;
    case Reason::kReferenceId:
      d.matched_on.push_back("REF_ID:" + engine_.reference_identifiers[verdict.reference_index].name);
      break;
  }
  return d;
}

}  // namespace osmira_core::engine::detail
