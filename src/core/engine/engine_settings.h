// What a reconciliation engine is configured with: the compiled rules, blocking strategies,
// scoring method and thresholds, exclusions and clustering settings. `from_plan` fills one
// from a compiled identity plan; the engine keeps it and hands it, read-only, to the pair
// scorer of every run, so the scorer depends on these settings and not on the engine.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/ir/enums.h"
#include "common/ir/fellegi_sunter.h"
#include "common/ir/plan.h"
#include "core/engine/blocking/blocking.h"
#include "core/engine/expression.h"
#include "core/engine/log.h"
#include "core/engine/matching.h"
#include "core/engine/types.h"

namespace osmira_core::engine {

using NumberByName =
    boost::unordered_flat_map<std::string, double, types::StringHash, std::equal_to<>>;

struct EngineSettings {
  // Largest block that is not reported as oversized.
  static constexpr uint64_t kMaxBlockSize = 1000;

  std::optional<uint64_t> neighborhood_window;  // sorted-neighbourhood window
  std::vector<std::string> sort_fields;         // sorted-neighbourhood key fields
  // The Fellegi-Sunter parameters; replaced only through `ReconciliationEngine::set_fs_plan`.
  std::optional<osmira_common::ir::CompiledFellegiSunterPlan> fs_plan;
  std::vector<std::unique_ptr<matching::MatchRule>> rules;  // plan order
  std::vector<std::unique_ptr<blocking::BlockingStrategy>> blocking_strategies;
  std::vector<osmira_common::ir::CompiledReferenceIdentifier> reference_identifiers;
  std::vector<osmira_common::ir::CompiledExclusion> exclusions;
  std::vector<std::string> allow_single_field;
  std::vector<osmira_common::ir::CompiledTieBreaker> tie_breaking;
  std::optional<expression::Program> custom_expression;
  double min_edge_weight = 0.0;
  double min_cluster_coherence = 0.0;
  uint64_t max_cluster_size = UINT64_MAX;
  std::optional<osmira_common::ir::ClusteringMethod> clustering_method;
  NumberByName source_reliability;
  double match_threshold = 0.0;
  double review_threshold = 0.0;
  uint64_t max_block_size = kMaxBlockSize;
  std::optional<NumberByName> ml_coefficients;  // rule name -> coefficient
  double ml_bias = 0.0;
  double min_total_weight = 0.0;
  bool log_probabilities = false;
  osmira_common::ir::TemporalStrategy temporal_mode =
      osmira_common::ir::TemporalStrategy::kLatestOnly;
  osmira_common::ir::ScoringMethod scoring_method = osmira_common::ir::ScoringMethod::kWeightedSum;
  // Where the call that built the engine collects its log events (thread-safe; null: none).
  // The call owns it and keeps it alive for as long as the engine.
  log::Events* events = nullptr;
};

// True when `exclusion` is a field-value exclusion whose condition holds for `record`.
bool matches_exclusion(const types::NormalizedEntity& record,
                       const osmira_common::ir::CompiledExclusion& exclusion);

}  // namespace osmira_core::engine
