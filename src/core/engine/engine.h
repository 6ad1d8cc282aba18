// The reconciliation engine: built once per reconcile call from a compiled identity plan, it
// evaluates pairs of entity records (temporal gate, exclusions, manual overrides, reference
// identifiers, match rules, scoring, thresholds) and reconciles whole batches of records,
// also incrementally against records that were reconciled before.
//
// Ownership and threads: the engine owns its rules, blocking strategies and expression
// program, all held in its settings. After construction it is only read, except for the
// Fellegi-Sunter parameter set, which training and the incremental driver may replace
// through `set_fs_plan` before a run. A run spreads pair evaluation over the worker pool; the
// engine, the records and the run's record index are shared read-only by the workers.
#pragma once

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "base/uuid.h"
#include "common/ir/enums.h"
#include "common/ir/fellegi_sunter.h"
#include "common/ir/plan.h"
#include "base/keyed_hash.h"
#include "core/engine/blocking/blocking.h"
#include "core/engine/clustering.h"
#include "core/engine/engine_settings.h"
#include "core/engine/expression.h"
#include "core/engine/matching.h"
#include "core/engine/observability.h"
#include "core/engine/overrides.h"
#include "core/engine/types.h"

namespace osmira_core::engine {

// Keyed per process (base/keyed_hash.h): callers choose the identifiers.
using EntityIdSet = boost::unordered_flat_set<osmira_base::Uuid, osmira_base::KeyedUuidHash>;

// What a pair evaluation gives the telemetry.
struct PairTelemetry {
  std::string decision_name;  // "merge", "review" or "nomerge"
  std::vector<types::RuleResult> rule_results;
};

// The result of `reconcile_pair_with_telemetry`: both parts absent when the temporal gate
// drops the pair; otherwise the telemetry part, and the decision only for merge or review.
struct PairReconciliation {
  std::optional<PairTelemetry> telemetry;
  std::optional<types::MatchDecision> decision;
};

// The result of a reconcile run: merge and review decisions in decision order, and the
// run's telemetry.
struct ReconcileOutput {
  std::vector<types::MatchDecision> decisions;
  observability::ReconciliationTelemetry telemetry;
  // What the run prepared per record and no longer needs. Releasing it frees millions of
  // small blocks, so it is handed over rather than released at the end of the run: the
  // caller may let it go on another thread while it goes on with the decisions (or simply
  // drop it). It refers to nothing else.
  std::shared_ptr<void> working_state;
  // The run's index of its records (identifier -> standing record), for the caller to reuse
  // with the same records (clustering, golden records) instead of building it again.
  std::shared_ptr<const RecordIndex> record_index;
};

class ReconciliationEngine {
 public:
  // Copies what the engine needs from the plan, compiles the rules and the custom scoring
  // expression. Never fails: an expression that does not compile is logged and left out,
  // and pair evaluation then falls back to the weighted sum. The engine's log events, also
  // those of its runs and of training, go to `events` (which must outlive the engine; null:
  // nowhere).
  static ReconciliationEngine from_plan(const osmira_common::ir::IdentityPlan& plan,
                                        log::Events* events = nullptr);

  // One rule object for one compiled rule (composites with their children, built without
  // recursion). Never fails.
  static std::unique_ptr<matching::MatchRule> compile_rule(
      const osmira_common::ir::CompiledRule& rule);

  // True when `exclusion` is a field-value exclusion whose condition holds for `record`.
  static bool matches_exclusion(const types::NormalizedEntity& record,
                                const osmira_common::ir::CompiledExclusion& exclusion);

  // The verdict on the pair (a, b), scored with the given temporal factor. Every decision,
  // no-merge included, is returned; `blocking_key` is absent.
  types::MatchDecision evaluate_pair(const types::NormalizedEntity& a,
                                     const types::NormalizedEntity& b,
                                     const overrides::OverrideResolver& overrides,
                                     double temporal_factor) const;

  // The temporal gate (against the current time, read once per call), then `evaluate_pair`.
  PairReconciliation reconcile_pair_with_telemetry(const types::NormalizedEntity& a,
                                                   const types::NormalizedEntity& b,
                                                   const overrides::OverrideResolver& overrides) const;

  // Blocks the records, evaluates every candidate pair (large blocks cut into pieces, all
  // pieces in parallel, then the sorted-neighbourhood pass), and returns the merge and review
  // decisions in decision order with the run's telemetry. A pair that several blocks share
  // is evaluated once and counted in the telemetry once per block. Of several records that
  // carry one identifier only the last takes part (clustering.h). The temporal gate
  // compares with one reading of the clock, taken when the run starts. Results do not depend
  // on the number of workers. Once `cancel` (when given) is raised, the run throws
  // osmira_base::Cancelled from its next piece of work on any worker, handing what it held
  // (the decisions written so far among it) over with the exception (Cancelled::left).
  ReconcileOutput reconcile_with_telemetry(
      std::span<const types::NormalizedEntity> records,
      std::span<const overrides::ManualOverride> overrides,
      const osmira_base::CancelFlag* cancel = nullptr) const;

  // As `reconcile_with_telemetry`, but a pair whose two identifiers are both in `existing`
  // is never evaluated.
  ReconcileOutput reconcile_incremental_with_telemetry(
      std::span<const types::NormalizedEntity> records, const EntityIdSet& existing,
      std::span<const overrides::ManualOverride> overrides,
      const osmira_base::CancelFlag* cancel = nullptr) const;

  // Clustering of a run's decisions with the engine's clustering settings (clustering.h).
  std::vector<Cluster> cluster_decisions(std::span<const types::NormalizedEntity> records,
                                         std::span<const types::MatchDecision> decisions) const;
  std::vector<Cluster> cluster_decisions_incremental(
      std::span<const types::NormalizedEntity> records,
      std::span<const types::MatchDecision> decisions,
      std::span<const std::vector<osmira_base::Uuid>> existing_clusters) const;
  ClusteringSettings clustering_settings() const;

  // Largest block that is not reported as oversized.
  static constexpr uint64_t kMaxBlockSize = EngineSettings::kMaxBlockSize;

  // The engine's configuration, as `from_plan` filled it.
  const EngineSettings& settings() const { return settings_; }

  // Replaces the Fellegi-Sunter parameters (trained ones, or those of an earlier run); the
  // next run scores with them.
  void set_fs_plan(std::optional<osmira_common::ir::CompiledFellegiSunterPlan> plan) {
    settings_.fs_plan = std::move(plan);
  }

 private:
  ReconcileOutput run(std::span<const types::NormalizedEntity> records, const EntityIdSet* existing,
                      std::span<const overrides::ManualOverride> overrides,
                      const osmira_base::CancelFlag* cancel) const;

  EngineSettings settings_;
};

}  // namespace osmira_core::engine
