// The pair-evaluation core shared by `evaluate_pair` and the reconcile runs.
//
// A `PairScorer` is built for one list of records at the start of a run. It does every
// per-record piece of pair evaluation once: each leaf rule's prepared field value
// (normalised text, phonetic codes, bigram counts, parsed numbers), the source reliability,
// the reference-identifier values, the field-value exclusions and the presence of the
// Fellegi-Sunter fields. It also resolves, once per run, what the rule loop and the scoring
// methods look up by name (ML coefficients, the rule behind each Fellegi-Sunter field,
// the allow-single-field list). Evaluating a pair then touches only these tables and a
// per-worker scratch area: no lock, no hash look-up of a field, and no allocation unless
// the pair is decided merge or review and its decision has to be written out.
//
// The clock the temporal gate compares validity bounds with is read once, when the scorer is
// built: every pair of a run is gated against the same instant.
//
// The scorer reads the engine's settings and the records; both must outlive it and stay
// unchanged.
// `evaluate`, `temporal_factor` and the writers are const and safe to call from many
// threads at once, each with its own Scratch.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/time.h"
#include "core/engine/engine_settings.h"
#include "core/engine/expression.h"
#include "core/engine/matching.h"
#include "core/engine/observability.h"
#include "core/engine/overrides.h"
#include "core/engine/similarity.h"
#include "core/engine/types.h"

namespace osmira_core::engine::detail {

class PairScorer {
 public:
  // Why a pair got its decision.
  enum class Reason { kRules, kExcluded, kManualSplit, kManualLock, kManualMerge, kReferenceId };

  struct Verdict {
    types::Decision decision = types::Decision::kNoMerge;
    double confidence = 0.0;
    std::optional<double> posterior_probability;
    Reason reason = Reason::kRules;
    size_t reference_index = 0;  // kReferenceId: which identifier matched
    double temporal_factor = 1.0;
  };

  // Per-worker working memory, handed down to the leaf comparisons so that nothing on the
  // pair path reaches thread-local storage; the outcomes of the last evaluated pair stay in
  // `outcomes`. Movable, not copyable.
  struct Scratch {
    std::vector<matching::RuleOutcome> stack;
    std::vector<matching::RuleOutcome> outcomes;  // one per top-level rule
    expression::Variables variables;
    SimilarityScratch similarity;
  };

  // Prepares every record; `parallel` spreads the preparation over the worker pool.
  PairScorer(const EngineSettings& engine, std::vector<const types::NormalizedEntity*> records,
             bool parallel);

  size_t size() const { return records_.size(); }
  const types::NormalizedEntity& record(uint32_t i) const { return *records_[i]; }
  // The record matches a field-value exclusion on its own.
  bool excluded_alone(uint32_t i) const { return excluded_alone_[i] != 0; }
  // Names of the top-level rules, in rule order (views of the engine's rule names).
  std::span<const std::string_view> rule_names() const { return rule_names_; }

  Scratch make_scratch() const;

  // The temporal gate: the factor the pair is scored with, or nothing when it is dropped.
  std::optional<double> temporal_factor(uint32_t a, uint32_t b) const;

  // Decides the pair (a, b); for Reason::kRules the rule outcomes are left in
  // `scratch.outcomes`.
  Verdict evaluate(uint32_t a, uint32_t b, double temporal_factor,
                   const overrides::OverrideResolver& overrides, Scratch& scratch) const;

  // Records an evaluated pair in a worker's tally; `outcomes` are the pair's top-level rule
  // outcomes (read only when the rules ran). The Scratch form takes those of the pair last
  // evaluated with it.
  void tally(const Verdict& verdict, std::span<const matching::RuleOutcome> outcomes,
             observability::PairTally& tally) const;
  void tally(const Verdict& verdict, const Scratch& scratch, observability::PairTally& tally) const {
    this->tally(verdict, scratch.outcomes, tally);
  }

  // The rule results of a pair whose top-level rule outcomes are `outcomes` (empty unless
  // the rules ran), with the Fellegi-Sunter explanations when the engine logs
  // probabilities. The Scratch forms take the outcomes of the pair last evaluated with it.
  std::vector<types::RuleResult> rule_results(uint32_t a, uint32_t b, const Verdict& verdict,
                                              std::span<const matching::RuleOutcome> outcomes) const;
  std::vector<types::RuleResult> rule_results(uint32_t a, uint32_t b, const Verdict& verdict,
                                              const Scratch& scratch) const {
    return rule_results(a, b, verdict, scratch.outcomes);
  }

  // The full decision for the pair; `blocking_key` absent. A run keeps only a pair's
  // verdict and outcomes while it evaluates, and writes the decision out once it knows the
  // decision is kept.
  types::MatchDecision decision(uint32_t a, uint32_t b, const Verdict& verdict,
                                std::span<const matching::RuleOutcome> outcomes) const;
  types::MatchDecision decision(uint32_t a, uint32_t b, const Verdict& verdict,
                                const Scratch& scratch) const {
    return decision(a, b, verdict, scratch.outcomes);
  }

 private:
  // Records are prepared by chunks of this many; each chunk's feature blocks share one
  // allocation.
  static constexpr size_t kPrepareChunk = 256;
  void prepare(uint32_t i);
  void prepare_chunk(size_t c);
  double fs_score(uint32_t a, uint32_t b, std::span<const matching::RuleOutcome> outcomes) const;

  const EngineSettings& engine_;  // the engine's settings
  std::vector<const types::NormalizedEntity*> records_;
  osmira_base::DateTime now_;  // the temporal gate's reference instant
  matching::RuleProgram program_;

  // Run-level look-ups.
  std::vector<std::string_view> rule_names_;
  std::vector<double> ml_coefficient_;      // per top-level rule; 0.0 when not in the map
  std::vector<uint8_t> allow_single_;       // per top-level rule: named in allow_single_field
  std::vector<int32_t> fs_rule_;            // per FS field: first rule of that name, or -1
  std::vector<std::pair<std::string_view, std::string_view>> explicit_pairs_;
  bool cross_tenant_ = false;  // an enabled cross-tenant exclusion exists
  bool has_field_value_exclusions_ = false;

  // Per-record tables, `stride` entries per record.
  size_t leaf_count_ = 0;
  std::vector<matching::FieldFeature> features_;      // leaf_count_ per record
  // Per chunk of records, the heap blocks of its features (null when it has none).
  std::vector<std::unique_ptr<char[]>> feature_blocks_;
  size_t ref_count_ = 0;
  std::vector<const std::string_view*> reference_values_;  // ref_count_ per record; null: absent
  size_t fs_count_ = 0;
  std::vector<uint8_t> fs_present_;                   // fs_count_ per record: non-empty value
  std::vector<double> reliability_;
  std::vector<uint8_t> excluded_alone_;
  // Which validity bounds a record carries (kHasValidFrom | kHasValidTo), so that the
  // temporal gate settles the usual pair, with no bounds, without touching the records.
  static constexpr uint8_t kHasValidFrom = 1;
  static constexpr uint8_t kHasValidTo = 2;
  std::vector<uint8_t> validity_;
};

}  // namespace osmira_core::engine::detail
