// The identity spec as typed records: what a user wrote in the YAML document, with every
// default applied and every alternative form resolved. The spec reader (spec_reader.h)
// builds an IdentitySpec; the spec compiler turns it into an identity plan. Records are plain
// values that own everything they hold; fields are in declaration order, which is also the
// order of their YAML keys in messages and in the positional (sequence) form.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/value.h"
#include "common/enum_table.h"
#include "common/ir/enums.h"

#define OSMIRA_ENUM_NS_ osmira_common::spec
namespace osmira_common::spec {

// Enumerations that only the spec knows (the shared ones live in common/ir/enums.h).
OSMIRA_ENUM(AdapterType,
            (kSnowflake, kBigquery, kRedshift, kDatabricks, kPostgres, kPandas, kCsv, kDbt, kFile,
             kWebhook, kApi),
            "snowflake", "bigquery", "redshift", "databricks", "postgres", "pandas", "csv", "dbt",
            "file", "webhook", "api")
OSMIRA_ENUM(SamplingStrategy, (kRandom, kStratified, kTimeBased), "random", "stratified",
            "time_based")
OSMIRA_ENUM(AggregateFunction, (kMax, kMin, kSum, kAvg, kUnion, kIntersection), "max", "min",
            "sum", "avg", "union", "intersection")
OSMIRA_ENUM(TieBreaker, (kExactMatchPriority, kLowestEntityId, kEarliestTimestamp),
            "exact_match_priority", "lowest_entity_id", "earliest_timestamp")
OSMIRA_ENUM(ClusteringMethodSpec, (kSimple, kGraph), "simple", "graph")
OSMIRA_ENUM(ScoringStrategy, (kFellegiSunter), "fellegi_sunter")
OSMIRA_ENUM(FsComparator, (kExact, kJaroWinkler, kLevenshtein, kSoundex, kMetaphone, kCosine),
            "exact", "jaro_winkler", "levenshtein", "soundex", "metaphone", "cosine")

// Display names: the capitalised variant names ("Postgres", "TimeBased", "Max"). The plan
// holds an adapter and a sampling strategy as their display name lower-cased, and an aggregate
// function as its display name.
std::string_view display_name(AdapterType value);
std::string_view display_name(SamplingStrategy value);
std::string_view display_name(AggregateFunction value);

// ---- Root parts -----------------------------------------------------------------------------

struct MetadataSpec {
  std::optional<std::string> name;
  std::optional<std::string> description;
  std::optional<std::string> owner;
  std::vector<std::string> tags;
};

struct GovernanceSpec {
  bool require_freshness = false;
  bool require_schema = false;
  std::vector<std::string> required_tags;
  bool log_probabilities = false;
  bool require_shadow_on_threshold_change = false;
};

// ---- Entity, compliance, hierarchy, relations -----------------------------------------------

struct ComplianceSpec {
  std::vector<std::string> frameworks;
  std::vector<std::string> pii_fields;
  bool audit_required = false;
  std::optional<uint32_t> retention_days;
};

struct HierarchySpec {
  std::string parent_field;
  uint8_t depth = 5;
  std::vector<std::string> inheritance;
};

struct EntitySpec {
  std::string name;
  std::optional<std::string> description;
  std::optional<ComplianceSpec> compliance;
  std::optional<HierarchySpec> hierarchy;
};

struct RelationSpec {
  std::string name;
  std::string from_entity;
  std::string to_entity;
  std::string join_key;
  ir::Cardinality cardinality = ir::Cardinality::kOneToOne;
  bool propagate_match = false;
};

// ---- Sources --------------------------------------------------------------------------------

struct FieldSchema {
  std::string type;
  bool pii = false;
  bool nullable = false;
};

struct SamplingSpec {
  SamplingStrategy strategy = SamplingStrategy::kRandom;
  double rate = 1.0;
};

struct TemporalSpec {
  std::string valid_from;
  std::optional<std::string> valid_to;
  ir::TemporalStrategy strategy = ir::TemporalStrategy::kLatestOnly;
};

// The keys from which a freshness is read; converted into FreshnessSpec right away.
struct FreshnessRaw {
  std::optional<std::string> max_age;
  std::optional<uint32_t> max_age_hours;
  std::optional<std::string> warn_after;
  std::optional<uint32_t> warn_after_hours;
};

// Maximum age and warning age as duration texts ("36h", "2d"); an hours count is turned
// into "<n>h" when no text was given.
struct FreshnessSpec {
  std::string max_age;
  std::optional<std::string> warn_after;
};

// One source declaration. The modern keys (adapter, location, primary_key) and the legacy
// ones (system, table, id) are kept as written; the resolved_* accessors choose between them.
// The maps are ordered by key so that everything derived from them is the same on every run.
struct SourceSpec {
  std::string name;
  std::optional<AdapterType> adapter;
  std::optional<std::string> location;
  std::optional<std::string> primary_key;
  std::optional<std::map<std::string, FieldSchema>> schema;
  std::optional<SamplingSpec> sampling;
  std::vector<std::string> tags;
  std::optional<std::string> system;
  std::optional<std::string> table;
  std::optional<std::string> id;
  std::map<std::string, std::string> attributes;
  std::optional<TemporalSpec> temporal;
  std::optional<FreshnessSpec> freshness;
  std::optional<double> reliability;

  // The adapter's name in lower case, else `system` as written, else "unknown".
  std::string resolved_adapter() const;
  // `location`, else `table`, else "unknown".
  std::string resolved_location() const;
  // `primary_key`, else `id`, else "id".
  std::string resolved_primary_key() const;
  // Names of the schema entries flagged pii, in ascending byte order of the names.
  std::vector<std::string> pii_fields() const;
};

// ---- Reference identifiers and blocking -----------------------------------------------------

struct ConditionSpec {
  std::string field;
  std::string op;  // the YAML key "operator"
  std::optional<osmira_base::Value> value;
};

struct ReferenceIdentifierSpec {
  std::string name;
  ir::ReferenceIdType id_type = ir::ReferenceIdType::kExternal;  // the YAML key "type"
  std::optional<std::string> authority;
  std::string field;
  double match_weight = 1.0;
  std::vector<ConditionSpec> conditions;
};

struct BlockingFallback {
  bool enabled = false;
  std::optional<double> sample_rate;
};

struct BlockingSpec {
  ir::BlockingStrategy strategy = ir::BlockingStrategy::kComposite;
  std::vector<std::vector<std::string>> keys;
  std::optional<BlockingFallback> fallback;
};

// ---- Match rules ----------------------------------------------------------------------------

struct ExactMatchOptions {
  bool case_insensitive = false;
  bool normalize = false;
  std::optional<std::string> normalizer;
};

struct SimilarityOptions {
  bool transliterate = false;
  bool ignore_titles = false;
  bool ignore_suffixes = false;
};

struct RuleSpec;

// `field` holds the YAML "field" (or "fields"): one text or a non-empty list, always a list
// here.
struct ExactRule {
  std::string name;
  std::vector<std::string> field;
  double weight = 1.0;
  std::optional<ExactMatchOptions> options;
};

struct SimilarityRule {
  std::string name;
  std::vector<std::string> field;
  ir::SimilarityAlgorithm algorithm = ir::SimilarityAlgorithm::kJaroWinkler;
  double threshold = 0.0;
  double weight = 1.0;
  std::optional<std::string> locale;
  std::optional<SimilarityOptions> options;
  std::optional<std::string> normalizer;
};

struct RangeRule {
  std::string name;
  std::vector<std::string> field;
  double tolerance = 0.0;
  double weight = 1.0;
  std::optional<std::string> normalizer;
};

struct CompositeRule {
  std::string name;
  ir::CompositeOperator op = ir::CompositeOperator::kAnd;  // the YAML key "operator"
  std::vector<RuleSpec> children;
};

struct MlRule {
  std::string name;
  std::string model;
  std::vector<std::string> features;
  double threshold = 0.0;
  double weight = 1.0;
};

// A match rule: one of five kinds, chosen by the rule's "type" key.
struct RuleSpec {
  using Exact = ExactRule;
  using Similarity = SimilarityRule;
  using Range = RangeRule;
  using Composite = CompositeRule;
  using Ml = MlRule;

  std::variant<Exact, Similarity, Range, Composite, Ml> rule;

  const std::string& name() const;
};

// ---- Decision and scoring -------------------------------------------------------------------

struct ThresholdsSpec {
  double match = 0.0;
  std::optional<double> review;
  std::optional<double> reject;
};

struct ReviewQueueSpec {
  bool enabled = false;
  std::optional<std::string> webhook;
  std::optional<uint32_t> sla_hours;
};

struct AuditSpec {
  bool log_all_comparisons = false;
  bool log_decisions = false;
  bool log_conflicts = false;
};

struct ClusteringSpec {
  ClusteringMethodSpec method = ClusteringMethodSpec::kSimple;
  bool method_given = false;  // the section names its method (the compiler needs to know)
  std::optional<double> min_edge_weight;
  std::optional<double> min_cluster_coherence;
  std::optional<uint64_t> max_cluster_size;
};

struct MlEnsembleConfig {
  std::map<std::string, double> coefficients;  // ordered by rule name
  double bias = 0.0;
};

struct CustomScoringConfig {
  std::string expression;
};

struct FsFieldSpec {
  std::string name;
  FsComparator comparator = FsComparator::kExact;
  double weight = 1.0;
  double m_probability = 0.0;
  double u_probability = 0.0;
  std::optional<std::string> normalizer;
};

struct FsThresholds {
  double match = 0.0;
  double possible = 0.0;
  double non_match = 0.0;
  std::optional<double> merge;
};

// The training method used when "training" names none: "manual".
std::string default_training_method();

struct FsTrainingConfig {
  std::string method = default_training_method();
  uint64_t max_iterations = 25;
  double convergence_threshold = 0.001;
  std::optional<std::string> estimate_u;
  uint64_t max_random_pairs = 1000000;
  double prior_weight = 0.7;
};

struct ScoringSpec {
  ir::ScoringMethod method = ir::ScoringMethod::kWeightedSum;
  std::optional<std::string> normalization;
  std::optional<MlEnsembleConfig> ml_ensemble;
  std::optional<CustomScoringConfig> custom;
  std::optional<ScoringStrategy> strategy;
  std::optional<std::vector<FsFieldSpec>> fields;
  std::optional<FsThresholds> thresholds;
  std::optional<FsTrainingConfig> training;
};

struct DecisionSpec {
  std::optional<ScoringSpec> scoring;
  ThresholdsSpec thresholds;
  ir::ConflictStrategy conflict_strategy = ir::ConflictStrategy::kPreferHighConfidence;
  std::optional<ReviewQueueSpec> review_queue;
  std::optional<AuditSpec> audit;
  std::optional<std::vector<TieBreaker>> tie_breaking;
  std::optional<ClusteringSpec> clustering;
  std::optional<double> min_total_weight;
  std::optional<std::vector<std::string>> allow_single_field;
};

// ---- Survivorship and exclusions ------------------------------------------------------------

struct SurvivorshipOverride {
  std::string field;
  ir::SurvivorshipStrategy strategy = ir::SurvivorshipStrategy::kMostRecent;
  std::vector<std::string> priority;
  std::optional<AggregateFunction> function;
};

struct SurvivorshipSpec {
  ir::SurvivorshipStrategy default_strategy = ir::SurvivorshipStrategy::kMostRecent;  // "default"
  std::vector<SurvivorshipOverride> overrides;
};

struct FieldValueExclusion {
  std::string field;
  std::string op;  // the YAML key "operator"
  osmira_base::Value value;
};

struct ExplicitPairExclusion {
  std::string source;
  std::string left_id_field;
  std::string right_id_field;
};

struct CrossTenantExclusion {
  bool enabled = false;
};

// A rule that forbids merging: one of three kinds, chosen by the entry's "type" key.
struct ExclusionSpec {
  using FieldValue = FieldValueExclusion;
  using ExplicitPair = ExplicitPairExclusion;
  using CrossTenant = CrossTenantExclusion;

  std::variant<FieldValue, ExplicitPair, CrossTenant> exclusion;
};

// ---- Root -----------------------------------------------------------------------------------

struct IdentitySpec {
  std::string api_version;
  std::string identity_version;
  std::optional<MetadataSpec> metadata;
  EntitySpec entity;
  std::vector<SourceSpec> sources;
  std::optional<std::vector<ReferenceIdentifierSpec>> reference_identifiers;
  std::optional<BlockingSpec> blocking;
  std::vector<RuleSpec> rules;
  std::optional<SurvivorshipSpec> survivorship;
  std::optional<std::vector<ExclusionSpec>> exclusions;
  std::optional<std::vector<RelationSpec>> relations;
  DecisionSpec decision;
  std::optional<GovernanceSpec> governance;
};

}  // namespace osmira_common::spec
#undef OSMIRA_ENUM_NS_
