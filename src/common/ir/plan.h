// The identity plan: the compiled, typed form of an identity spec that the spec compiler
// builds and the reconciliation engine reads, with its compact JSON form and its hash.
//
// Records are plain values in field order; the JSON writer emits every field, in that
// order, with null for absent optionals (`write_json` overloads below). The plan's maps are
// ordered by key (ascending byte order), so a plan's JSON text, and with it its hash, is the
// same on every run and in every process.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/value.h"
#include "common/ir/enums.h"
#include "common/ir/fellegi_sunter.h"

namespace osmira_common::ir {

// A map from text to a value inside the plan, iterated (and written) in key order.
template <typename V>
using PlanMap = std::map<std::string, V, std::less<>>;

// ---- Sources ------------------------------------------------------------------------------

struct TemporalConfig {
  std::string valid_from_field;
  std::optional<std::string> valid_to_field;
  TemporalStrategy strategy = TemporalStrategy::kLatestOnly;

  bool operator==(const TemporalConfig&) const = default;
};

struct CompiledFreshness {
  uint64_t max_age_seconds = 0;
  std::optional<uint64_t> warn_after_seconds;

  bool operator==(const CompiledFreshness&) const = default;
};

struct CompiledFieldSchema {
  std::string field_type;
  bool pii = false;
  bool nullable = false;

  bool operator==(const CompiledFieldSchema&) const = default;
};

struct CompiledSampling {
  std::string strategy;  // "random", "stratified" or "timebased"
  double rate = 0.0;

  bool operator==(const CompiledSampling&) const = default;
};

struct ResolvedSource {
  std::string name;
  std::string adapter;
  std::string location;
  std::string id_field;
  PlanMap<std::string> field_mappings;
  std::optional<TemporalConfig> temporal;
  std::optional<CompiledFreshness> freshness;
  std::optional<PlanMap<CompiledFieldSchema>> schema;
  std::optional<CompiledSampling> sampling;
  std::vector<std::string> tags;
  std::vector<std::string> pii_fields;
  double reliability = 1.0;  // the engine scales rule weights by it

  bool operator==(const ResolvedSource&) const = default;
};

// ---- Blocking -----------------------------------------------------------------------------

struct BlockingKey {
  std::vector<std::string> fields;
  std::vector<BlockingTransformation> transformations;

  bool operator==(const BlockingKey&) const = default;
};

struct CompiledBlocking {
  BlockingStrategy strategy = BlockingStrategy::kComposite;
  std::vector<BlockingKey> keys;
  std::optional<double> fallback_sample_rate;
  std::optional<uint64_t> lsh_bands;
  std::optional<uint64_t> lsh_rows;
  std::optional<uint64_t> neighborhood_window;  // absent: no sorted-neighbourhood pass
  std::vector<std::string> sort_fields;

  bool operator==(const CompiledBlocking&) const = default;
};

// ---- Match graph --------------------------------------------------------------------------

struct CompiledRule;

// The kind of a compiled rule and its parameters; written as an object whose first member
// is "type" (the variant's name) followed by the variant's members.
struct CompiledRuleType {
  struct Exact {
    std::string field;
    double weight = 0.0;
    bool case_insensitive = false;
    bool normalize = false;
    std::optional<std::string> normalizer;

    bool operator==(const Exact&) const = default;
  };
  struct Similarity {
    std::string field;
    SimilarityAlgorithm algorithm = SimilarityAlgorithm::kJaroWinkler;
    double threshold = 0.0;
    double weight = 0.0;
    std::optional<std::string> normalizer;

    bool operator==(const Similarity&) const = default;
  };
  struct Range {
    std::string field;
    double tolerance = 0.0;
    double weight = 0.0;
    std::optional<std::string> normalizer;

    bool operator==(const Range&) const = default;
  };
  struct Composite {
    CompositeOperator op = CompositeOperator::kAnd;  // written as "operator"
    std::vector<CompiledRule> children;

    bool operator==(const Composite&) const;
  };
  struct Ml {
    std::string model_id;
    std::vector<std::string> features;
    double threshold = 0.0;
    double weight = 0.0;

    bool operator==(const Ml&) const = default;
  };

  std::variant<Exact, Similarity, Range, Composite, Ml> kind;

  // "exact", "similarity", "range", "composite" or "ml".
  std::string_view type_name() const;
  bool operator==(const CompiledRuleType&) const = default;
};

struct CompiledRule {
  std::string name;
  CompiledRuleType rule_type;

  bool operator==(const CompiledRule&) const = default;
};

inline bool CompiledRuleType::Composite::operator==(const Composite& other) const {
  return op == other.op && children == other.children;
}

struct MatchGraph {
  std::vector<CompiledRule> rules;
  uint64_t leaf_count = 0;  // see leaf_count() below

  bool operator==(const MatchGraph&) const = default;
};

// Number of leaf rules: every rule counts 1 except a composite, which counts the sum of its
// children's counts (0 without children), to any depth. Iterative.
uint64_t leaf_count(const std::vector<CompiledRule>& rules);

// ---- Decision configuration ---------------------------------------------------------------

struct CompiledMlEnsembleConfig {
  PlanMap<double> coefficients;  // per rule name
  double bias = 0.0;

  bool operator==(const CompiledMlEnsembleConfig&) const = default;
};

struct CompiledCustomScoringConfig {
  std::string expression;

  bool operator==(const CompiledCustomScoringConfig&) const = default;
};

struct CompiledClusteringConfig {
  ClusteringMethod method = ClusteringMethod::kSimple;
  double min_edge_weight = 0.0;
  double min_cluster_coherence = 0.0;
  uint64_t max_cluster_size = UINT64_MAX;

  bool operator==(const CompiledClusteringConfig&) const = default;
};

struct DecisionConfig {
  double match_threshold = 0.0;
  std::optional<double> review_threshold;  // absent: the engine takes match_threshold
  std::optional<double> reject_threshold;
  ConflictStrategy conflict_strategy = ConflictStrategy::kPreferHighConfidence;
  std::optional<std::string> review_webhook;
  ScoringMethod scoring_method = ScoringMethod::kWeightedSum;
  std::optional<CompiledMlEnsembleConfig> ml_ensemble_config;
  std::optional<CompiledCustomScoringConfig> custom_scoring_config;
  std::optional<CompiledFellegiSunterPlan> fellegi_sunter;
  std::vector<CompiledTieBreaker> tie_breaking = {CompiledTieBreaker::kLowestEntityId};
  std::optional<CompiledClusteringConfig> clustering;
  double min_total_weight = 0.0;
  std::vector<std::string> allow_single_field;

  bool operator==(const DecisionConfig&) const = default;
};

// ---- Survivorship, references, relations, exclusions, governance --------------------------

struct FieldSurvivorshipPolicy {
  SurvivorshipStrategy strategy = SurvivorshipStrategy::kMostRecent;
  std::optional<std::vector<std::string>> source_priority;  // most preferred first
  // "Max", "Min", "Sum", "Avg", "Union" or "Intersection".
  std::optional<std::string> aggregate_fn;

  bool operator==(const FieldSurvivorshipPolicy&) const = default;
};

struct SurvivorshipPolicy {
  SurvivorshipStrategy default_strategy = SurvivorshipStrategy::kMostRecent;
  PlanMap<FieldSurvivorshipPolicy> field_policies;  // by data field name

  bool operator==(const SurvivorshipPolicy&) const = default;
};

struct CompiledReferenceIdentifier {
  std::string name;
  ReferenceIdType id_type = ReferenceIdType::kExternal;
  std::optional<std::string> authority;
  std::string field;
  double match_weight = 0.0;

  bool operator==(const CompiledReferenceIdentifier&) const = default;
};

struct CompiledRelation {
  std::string name;
  std::string from_entity;
  std::string to_entity;
  std::string join_key;
  Cardinality cardinality = Cardinality::kOneToOne;
  bool propagate_match = false;

  bool operator==(const CompiledRelation&) const = default;
};

// A pair that must never merge; written as an object whose first member is "type".
struct CompiledExclusion {
  struct FieldValue {
    std::string field;
    std::string op;  // written as "operator"
    osmira_base::Value value;

    bool operator==(const FieldValue&) const = default;
  };
  struct ExplicitPair {
    std::string left_id;
    std::string right_id;

    bool operator==(const ExplicitPair&) const = default;
  };
  struct CrossTenant {
    bool enabled = false;

    bool operator==(const CrossTenant&) const = default;
  };

  std::variant<FieldValue, ExplicitPair, CrossTenant> kind;

  // "field_value", "explicit_pair" or "cross_tenant".
  std::string_view type_name() const;
  bool operator==(const CompiledExclusion&) const = default;
};

struct CompiledHierarchy {
  std::string parent_field;
  uint8_t max_depth = 0;
  std::vector<std::string> inherited_fields;

  bool operator==(const CompiledHierarchy&) const = default;
};

struct CompiledCompliance {
  std::vector<std::string> frameworks;
  std::vector<std::string> pii_fields;
  bool audit_required = false;
  std::optional<uint32_t> retention_days;

  bool operator==(const CompiledCompliance&) const = default;
};

struct CompiledAudit {
  bool log_all_comparisons = false;
  bool log_decisions = false;
  bool log_conflicts = false;

  bool operator==(const CompiledAudit&) const = default;
};

struct PlanMetadata {
  std::optional<std::string> name;
  std::optional<std::string> description;
  std::optional<std::string> owner;
  std::vector<std::string> tags;

  bool operator==(const PlanMetadata&) const = default;
};

struct CompiledGovernance {
  bool require_freshness = false;
  bool require_schema = false;
  std::vector<std::string> required_tags;
  // Under Fellegi–Sunter scoring, add per-field weight explanations to each pair's result.
  bool log_probabilities = false;
  bool require_shadow_on_threshold_change = false;

  bool operator==(const CompiledGovernance&) const = default;
};

// ---- The plan root ------------------------------------------------------------------------

struct IdentityPlan {
  std::string entity;
  std::string plan_hash;  // empty while the hash is taken
  std::string identity_version;
  std::vector<ResolvedSource> sources;
  CompiledBlocking blocking;
  MatchGraph match_graph;
  SurvivorshipPolicy survivorship;
  DecisionConfig decision;
  std::vector<CompiledReferenceIdentifier> reference_identifiers;
  std::vector<CompiledRelation> relations;
  std::vector<CompiledExclusion> exclusions;
  std::optional<CompiledCompliance> compliance;
  std::optional<CompiledHierarchy> hierarchy;
  std::optional<CompiledAudit> audit;
  std::optional<PlanMetadata> metadata;
  std::optional<CompiledGovernance> governance;

  // 64 lowercase hexadecimal digits of SHA-256 over the plan's compact JSON, written with
  // `plan_hash` as it stands (the compiler calls this with it empty, then stores the result).
  std::string compute_hash() const;

  bool operator==(const IdentityPlan&) const = default;
};

// ---- JSON writing -------------------------------------------------------------------------

// Each appends the record's compact JSON object to `out`.
void write_json(std::string& out, const TemporalConfig& v);
void write_json(std::string& out, const CompiledFreshness& v);
void write_json(std::string& out, const CompiledFieldSchema& v);
void write_json(std::string& out, const CompiledSampling& v);
void write_json(std::string& out, const ResolvedSource& v);
void write_json(std::string& out, const BlockingKey& v);
void write_json(std::string& out, const CompiledBlocking& v);
void write_json(std::string& out, const CompiledRule& v);  // nested composites iteratively
void write_json(std::string& out, const MatchGraph& v);
void write_json(std::string& out, const CompiledMlEnsembleConfig& v);
void write_json(std::string& out, const CompiledCustomScoringConfig& v);
void write_json(std::string& out, const CompiledClusteringConfig& v);
void write_json(std::string& out, const DecisionConfig& v);
void write_json(std::string& out, const FieldSurvivorshipPolicy& v);
void write_json(std::string& out, const SurvivorshipPolicy& v);
void write_json(std::string& out, const CompiledReferenceIdentifier& v);
void write_json(std::string& out, const CompiledRelation& v);
void write_json(std::string& out, const CompiledExclusion& v);
void write_json(std::string& out, const CompiledHierarchy& v);
void write_json(std::string& out, const CompiledCompliance& v);
void write_json(std::string& out, const CompiledAudit& v);
void write_json(std::string& out, const PlanMetadata& v);
void write_json(std::string& out, const CompiledGovernance& v);
void write_json(std::string& out, const IdentityPlan& v);

// The whole plan's compact JSON text.
std::string plan_json(const IdentityPlan& plan);

// A scoring method as a document-tree string ("weighted_sum", ...), for telemetry.
osmira_base::Value scoring_method_value(ScoringMethod method);

}  // namespace osmira_common::ir
