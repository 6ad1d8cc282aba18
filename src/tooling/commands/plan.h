// The execution-plan analysis: a static report of how a reconciliation with a spec would
// run (sources, the eight execution stages, match strategies, survivorship, blocking and
// risk flags), read from the spec's document tree alone. Every missing or ill-typed value
// falls back to a default; only YAML that does not parse is an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/value.h"

namespace vintrel_core::commands::plan {

// The outermost message of a plan request whose YAML text does not parse.
inline constexpr std::string_view kParseFailure = "Failed to parse YAML for plan generation";

struct PlanSource {
  std::string name;
  std::string system;
  uint64_t field_count = 0;  // keys of the source's "attributes" mapping
};

struct ExecutionStage {
  uint64_t stage = 0;  // 1 to 8
  std::string name;
  std::string description;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

struct MatchStrategySummary {
  std::string rule_name;
  std::string match_type;
  std::string field;
  std::optional<std::string> algorithm;
  std::optional<double> threshold;
  double weight = 0.0;
  uint64_t evaluation_order = 0;  // 3 for exact rules, 4 for all others
};

struct SurvivorshipSummary {
  std::string field;
  std::string strategy;
  std::optional<std::vector<std::string>> source_priority;
};

struct BlockingKeySummary {
  std::string name;
  std::string transformation;
};

struct BlockingAnalysis {
  std::string strategy;
  std::vector<BlockingKeySummary> keys;
  std::string estimated_reduction;
  std::vector<std::string> warnings;
};

struct RiskFlag {
  std::string severity;  // "critical", "high", "medium" or "low"
  std::string code;
  std::string message;
  std::string recommendation;
};

struct PlanResult {
  std::string entity;
  std::string identity_version;
  std::string plan_hash;  // document hash of the whole parsed spec
  std::vector<PlanSource> sources;
  std::vector<ExecutionStage> execution_stages;
  std::vector<MatchStrategySummary> match_strategies;
  std::vector<SurvivorshipSummary> survivorship_summary;
  BlockingAnalysis blocking_analysis;
  std::vector<RiskFlag> risk_flags;
  std::string summary;  // nine lines joined by "\n"
};

// Analyses an already parsed spec. Never fails.
PlanResult generate_plan_from_tree(const osmira_base::Value& doc);

// Parses `yaml_text` and analyses it; a text that does not parse gives kParseFailure.
osmira_base::Result<PlanResult> generate_plan(std::string_view yaml_text);

// The result as a document tree: one object per record keyed by field name, absent
// optional values as null, weights and thresholds as floats, counts as unsigned integers.
osmira_base::Value to_value(const PlanResult& plan);

}  // namespace vintrel_core::commands::plan
