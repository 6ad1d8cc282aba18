// The key tables of every spec record, the readers of the keys with forms of their own
// (sources, rules, exclusions, scoring, a rule's field list, freshness) and the entry point.
#include "common/spec/spec_reader.h"

#include <array>

#include "base/yaml_events.h"
#include "common/spec/reader.h"

namespace osmira_common::spec {
namespace detail {

// Forward declarations of every table, so that each is known before any reader is
// instantiated for it.
#define SPEC_RECORD(T) template <> struct Record<T>;
SPEC_RECORD(MetadataSpec)
SPEC_RECORD(GovernanceSpec)
SPEC_RECORD(ComplianceSpec)
SPEC_RECORD(HierarchySpec)
SPEC_RECORD(EntitySpec)
SPEC_RECORD(RelationSpec)
SPEC_RECORD(FieldSchema)
SPEC_RECORD(SamplingSpec)
SPEC_RECORD(TemporalSpec)
SPEC_RECORD(FreshnessRaw)
SPEC_RECORD(SourceSpec)
SPEC_RECORD(ConditionSpec)
SPEC_RECORD(ReferenceIdentifierSpec)
SPEC_RECORD(BlockingFallback)
SPEC_RECORD(BlockingSpec)
SPEC_RECORD(ExactMatchOptions)
SPEC_RECORD(SimilarityOptions)
SPEC_RECORD(ExactRule)
SPEC_RECORD(SimilarityRule)
SPEC_RECORD(RangeRule)
SPEC_RECORD(CompositeRule)
SPEC_RECORD(MlRule)
SPEC_RECORD(ThresholdsSpec)
SPEC_RECORD(ReviewQueueSpec)
SPEC_RECORD(AuditSpec)
SPEC_RECORD(ClusteringSpec)
SPEC_RECORD(MlEnsembleConfig)
SPEC_RECORD(CustomScoringConfig)
SPEC_RECORD(FsFieldSpec)
SPEC_RECORD(FsThresholds)
SPEC_RECORD(FsTrainingConfig)
SPEC_RECORD(ScoringSpec)
SPEC_RECORD(DecisionSpec)
SPEC_RECORD(SurvivorshipOverride)
SPEC_RECORD(SurvivorshipSpec)
SPEC_RECORD(FieldValueExclusion)
SPEC_RECORD(ExplicitPairExclusion)
SPEC_RECORD(CrossTenantExclusion)
SPEC_RECORD(IdentitySpec)
#undef SPEC_RECORD

// Readers of keys with forms of their own.
ReadStatus read(Direct& d, RuleSpec& out);
ReadStatus decode(const Node& n, RuleSpec& out);
ReadStatus read(Direct& d, ExclusionSpec& out);
ReadStatus decode(const Node& n, FreshnessSpec& out);
ReadStatus read_sources(Direct& d, IdentitySpec& spec);
ReadStatus read_scoring(Direct& d, DecisionSpec& decision);
template <auto M>
ReadStatus decode_field_list(const Node& n, ClassOf<M>& rule);

constexpr Need kReq = Need::kRequired;
constexpr Need kDef = Need::kDefault;
constexpr Need kOpt = Need::kOptional;

// A buffered key that may be left off the end of the sequence form, and one that may not.
constexpr bool kMayEnd = true;
constexpr bool kMustGive = false;

// Declares Record<T> with its expecting texts and its key table.
#define SPEC_TABLE(T, expecting, short_sequence, ...)                          \
  template <>                                                                  \
  struct Record<T> {                                                           \
    static constexpr std::string_view kExpecting = expecting;                  \
    static constexpr std::string_view kShortSequence = short_sequence;         \
    static std::span<const Field<T>> fields() {                                \
      static constexpr Field<T> kFields[] = {__VA_ARGS__};                     \
      return kFields;                                                          \
    }                                                                          \
  };

// ---- Root parts (read directly) -------------------------------------------------------------

SPEC_TABLE(MetadataSpec, "struct MetadataSpec", "",
           direct_field<&MetadataSpec::name>("name", kOpt),
           direct_field<&MetadataSpec::description>("description", kOpt),
           direct_field<&MetadataSpec::owner>("owner", kOpt),
           direct_field<&MetadataSpec::tags>("tags", kDef))

SPEC_TABLE(GovernanceSpec, "struct GovernanceSpec", "",
           direct_field<&GovernanceSpec::require_freshness>("require_freshness", kDef),
           direct_field<&GovernanceSpec::require_schema>("require_schema", kDef),
           direct_field<&GovernanceSpec::required_tags>("required_tags", kDef),
           direct_field<&GovernanceSpec::log_probabilities>("log_probabilities", kDef),
           direct_field<&GovernanceSpec::require_shadow_on_threshold_change>(
               "require_shadow_on_threshold_change", kDef))

// ---- Entity, compliance, hierarchy, relations (read directly) -------------------------------

SPEC_TABLE(ComplianceSpec, "struct ComplianceSpec", "",
           direct_field<&ComplianceSpec::frameworks>("frameworks", kDef),
           direct_field<&ComplianceSpec::pii_fields>("pii_fields", kDef),
           direct_field<&ComplianceSpec::audit_required>("audit_required", kDef),
           direct_field<&ComplianceSpec::retention_days>("retention_days", kOpt))

SPEC_TABLE(HierarchySpec, "struct HierarchySpec", "",
           direct_field<&HierarchySpec::parent_field>("parent_field", kReq),
           direct_field<&HierarchySpec::depth>("depth", kDef),
           direct_field<&HierarchySpec::inheritance>("inheritance", kDef))

SPEC_TABLE(EntitySpec, "struct EntitySpec", "",
           direct_field<&EntitySpec::name>("name", kReq),
           direct_field<&EntitySpec::description>("description", kOpt),
           direct_field<&EntitySpec::compliance>("compliance", kOpt),
           direct_field<&EntitySpec::hierarchy>("hierarchy", kOpt))

SPEC_TABLE(RelationSpec, "struct RelationSpec", "",
           direct_field<&RelationSpec::name>("name", kReq),
           direct_field<&RelationSpec::from_entity>("from_entity", kReq),
           direct_field<&RelationSpec::to_entity>("to_entity", kReq),
           direct_field<&RelationSpec::join_key>("join_key", kReq),
           direct_field<&RelationSpec::cardinality>("cardinality", kReq),
           direct_field<&RelationSpec::propagate_match>("propagate_match", kDef))

// ---- Sources (buffered) ---------------------------------------------------------------------

SPEC_TABLE(FieldSchema, "struct FieldSchema", "struct FieldSchema with 3 elements",
           buffered_field<&FieldSchema::type>("type", kReq, kMustGive),
           buffered_field<&FieldSchema::pii>("pii", kDef, kMayEnd),
           buffered_field<&FieldSchema::nullable>("nullable", kDef, kMayEnd))

SPEC_TABLE(SamplingSpec, "struct SamplingSpec", "struct SamplingSpec with 2 elements",
           buffered_field<&SamplingSpec::strategy>("strategy", kReq, kMustGive),
           buffered_field<&SamplingSpec::rate>("rate", kDef, kMayEnd))

SPEC_TABLE(TemporalSpec, "struct TemporalSpec", "struct TemporalSpec with 3 elements",
           buffered_field<&TemporalSpec::valid_from>("valid_from", kReq, kMustGive),
           buffered_field<&TemporalSpec::valid_to>("valid_to", kOpt, kMustGive),
           buffered_field<&TemporalSpec::strategy>("strategy", kDef, kMayEnd))

SPEC_TABLE(FreshnessRaw, "struct FreshnessRaw", "struct FreshnessRaw with 4 elements",
           buffered_field<&FreshnessRaw::max_age>("max_age", kOpt, kMustGive),
           buffered_field<&FreshnessRaw::max_age_hours>("max_age_hours", kOpt, kMustGive),
           buffered_field<&FreshnessRaw::warn_after>("warn_after", kOpt, kMustGive),
           buffered_field<&FreshnessRaw::warn_after_hours>("warn_after_hours", kOpt, kMustGive))

SPEC_TABLE(SourceSpec, "struct SourceSpec", "",
           buffered_field<&SourceSpec::name>("name", kDef, kMayEnd),
           buffered_field<&SourceSpec::adapter>("adapter", kOpt, kMayEnd),
           buffered_field<&SourceSpec::location>("location", kOpt, kMayEnd),
           buffered_field<&SourceSpec::primary_key>("primary_key", kOpt, kMayEnd),
           buffered_field<&SourceSpec::schema>("schema", kOpt, kMayEnd),
           buffered_field<&SourceSpec::sampling>("sampling", kOpt, kMayEnd),
           buffered_field<&SourceSpec::tags>("tags", kDef, kMayEnd),
           buffered_field<&SourceSpec::system>("system", kOpt, kMayEnd),
           buffered_field<&SourceSpec::table>("table", kOpt, kMayEnd),
           buffered_field<&SourceSpec::id>("id", kOpt, kMayEnd),
           buffered_field<&SourceSpec::attributes>("attributes", kDef, kMayEnd),
           buffered_field<&SourceSpec::temporal>("temporal", kOpt, kMayEnd),
           buffered_field<&SourceSpec::freshness>("freshness", kOpt, kMayEnd),
           buffered_field<&SourceSpec::reliability>("reliability", kOpt, kMayEnd))

// ---- Reference identifiers and blocking (read directly) -------------------------------------

SPEC_TABLE(ConditionSpec, "struct ConditionSpec", "",
           direct_field<&ConditionSpec::field>("field", kReq),
           direct_field<&ConditionSpec::op>("operator", kReq),
           direct_field<&ConditionSpec::value>("value", kOpt))

SPEC_TABLE(ReferenceIdentifierSpec, "struct ReferenceIdentifierSpec", "",
           direct_field<&ReferenceIdentifierSpec::name>("name", kReq),
           direct_field<&ReferenceIdentifierSpec::id_type>("type", kReq),
           direct_field<&ReferenceIdentifierSpec::authority>("authority", kOpt),
           direct_field<&ReferenceIdentifierSpec::field>("field", kReq),
           direct_field<&ReferenceIdentifierSpec::match_weight>("match_weight", kDef),
           direct_field<&ReferenceIdentifierSpec::conditions>("conditions", kDef))

SPEC_TABLE(BlockingFallback, "struct BlockingFallback", "",
           direct_field<&BlockingFallback::enabled>("enabled", kDef),
           direct_field<&BlockingFallback::sample_rate>("sample_rate", kOpt))

SPEC_TABLE(BlockingSpec, "struct BlockingSpec", "",
           direct_field<&BlockingSpec::strategy>("strategy", kDef),
           direct_field<&BlockingSpec::keys>("keys", kDef),
           direct_field<&BlockingSpec::fallback>("fallback", kOpt))

// ---- Match rules (buffered) -----------------------------------------------------------------

SPEC_TABLE(ExactMatchOptions, "struct ExactMatchOptions", "",
           buffered_field<&ExactMatchOptions::case_insensitive>("case_insensitive", kDef, kMayEnd),
           buffered_field<&ExactMatchOptions::normalize>("normalize", kDef, kMayEnd),
           buffered_field<&ExactMatchOptions::normalizer>("normalizer", kOpt, kMayEnd))

SPEC_TABLE(SimilarityOptions, "struct SimilarityOptions", "",
           buffered_field<&SimilarityOptions::transliterate>("transliterate", kDef, kMayEnd),
           buffered_field<&SimilarityOptions::ignore_titles>("ignore_titles", kDef, kMayEnd),
           buffered_field<&SimilarityOptions::ignore_suffixes>("ignore_suffixes", kDef, kMayEnd))

// The rule's "field", also accepted as "fields".
template <auto M>
constexpr Field<ClassOf<M>> field_list() {
  return Field<ClassOf<M>>{"field", "fields", kReq, kMustGive, nullptr, &decode_field_list<M>};
}

SPEC_TABLE(ExactRule, "struct variant RuleSpec::Exact",
           "struct variant RuleSpec::Exact with 4 elements",
           buffered_field<&ExactRule::name>("name", kReq, kMustGive),
           field_list<&ExactRule::field>(),
           buffered_field<&ExactRule::weight>("weight", kDef, kMayEnd),
           buffered_field<&ExactRule::options>("options", kOpt, kMayEnd))

SPEC_TABLE(SimilarityRule, "struct variant RuleSpec::Similarity",
           "struct variant RuleSpec::Similarity with 8 elements",
           buffered_field<&SimilarityRule::name>("name", kReq, kMustGive),
           field_list<&SimilarityRule::field>(),
           buffered_field<&SimilarityRule::algorithm>("algorithm", kReq, kMustGive),
           buffered_field<&SimilarityRule::threshold>("threshold", kReq, kMustGive),
           buffered_field<&SimilarityRule::weight>("weight", kDef, kMayEnd),
           buffered_field<&SimilarityRule::locale>("locale", kOpt, kMustGive),
           buffered_field<&SimilarityRule::options>("options", kOpt, kMayEnd),
           buffered_field<&SimilarityRule::normalizer>("normalizer", kOpt, kMayEnd))

SPEC_TABLE(RangeRule, "struct variant RuleSpec::Range",
           "struct variant RuleSpec::Range with 5 elements",
           buffered_field<&RangeRule::name>("name", kReq, kMustGive),
           field_list<&RangeRule::field>(),
           buffered_field<&RangeRule::tolerance>("tolerance", kReq, kMustGive),
           buffered_field<&RangeRule::weight>("weight", kDef, kMayEnd),
           buffered_field<&RangeRule::normalizer>("normalizer", kOpt, kMayEnd))

SPEC_TABLE(CompositeRule, "struct variant RuleSpec::Composite",
           "struct variant RuleSpec::Composite with 3 elements",
           buffered_field<&CompositeRule::name>("name", kReq, kMustGive),
           buffered_field<&CompositeRule::op>("operator", kReq, kMustGive),
           buffered_field<&CompositeRule::children>("children", kReq, kMustGive))

SPEC_TABLE(MlRule, "struct variant RuleSpec::Ml", "struct variant RuleSpec::Ml with 5 elements",
           buffered_field<&MlRule::name>("name", kReq, kMustGive),
           buffered_field<&MlRule::model>("model", kReq, kMustGive),
           buffered_field<&MlRule::features>("features", kReq, kMustGive),
           buffered_field<&MlRule::threshold>("threshold", kReq, kMustGive),
           buffered_field<&MlRule::weight>("weight", kDef, kMayEnd))

// ---- Decision (read directly) and scoring (buffered) ----------------------------------------

SPEC_TABLE(ThresholdsSpec, "struct ThresholdsSpec", "",
           direct_field<&ThresholdsSpec::match>("match", kReq),
           direct_field<&ThresholdsSpec::review>("review", kOpt),
           direct_field<&ThresholdsSpec::reject>("reject", kOpt))

SPEC_TABLE(ReviewQueueSpec, "struct ReviewQueueSpec", "",
           direct_field<&ReviewQueueSpec::enabled>("enabled", kDef),
           direct_field<&ReviewQueueSpec::webhook>("webhook", kOpt),
           direct_field<&ReviewQueueSpec::sla_hours>("sla_hours", kOpt))

SPEC_TABLE(AuditSpec, "struct AuditSpec", "",
           direct_field<&AuditSpec::log_all_comparisons>("log_all_comparisons", kDef),
           direct_field<&AuditSpec::log_decisions>("log_decisions", kDef),
           direct_field<&AuditSpec::log_conflicts>("log_conflicts", kDef))

// A clustering method, noting that the section named one.
ReadStatus read_clustering_method(Direct& d, ClusteringSpec& out) {
  SPEC_TRY(read(d, out.method));
  out.method_given = true;
  return ReadStatus();
}

SPEC_TABLE(ClusteringSpec, "struct ClusteringSpec", "",
           Field<ClusteringSpec>{"method", {}, kDef, false, &read_clustering_method, nullptr},
           direct_field<&ClusteringSpec::min_edge_weight>("min_edge_weight", kOpt),
           direct_field<&ClusteringSpec::min_cluster_coherence>("min_cluster_coherence", kOpt),
           direct_field<&ClusteringSpec::max_cluster_size>("max_cluster_size", kOpt))

SPEC_TABLE(MlEnsembleConfig, "struct MlEnsembleConfig", "",
           buffered_field<&MlEnsembleConfig::coefficients>("coefficients", kDef, kMayEnd),
           buffered_field<&MlEnsembleConfig::bias>("bias", kDef, kMayEnd))

SPEC_TABLE(CustomScoringConfig, "struct CustomScoringConfig", "",
           buffered_field<&CustomScoringConfig::expression>("expression", kDef, kMayEnd))

SPEC_TABLE(FsFieldSpec, "struct FsFieldSpec", "struct FsFieldSpec with 6 elements",
           buffered_field<&FsFieldSpec::name>("name", kReq, kMustGive),
           buffered_field<&FsFieldSpec::comparator>("comparator", kReq, kMustGive),
           buffered_field<&FsFieldSpec::weight>("weight", kDef, kMayEnd),
           buffered_field<&FsFieldSpec::m_probability>("m_probability", kReq, kMustGive),
           buffered_field<&FsFieldSpec::u_probability>("u_probability", kReq, kMustGive),
           buffered_field<&FsFieldSpec::normalizer>("normalizer", kOpt, kMayEnd))

SPEC_TABLE(FsThresholds, "struct FsThresholds", "struct FsThresholds with 4 elements",
           buffered_field<&FsThresholds::match>("match", kReq, kMustGive),
           buffered_field<&FsThresholds::possible>("possible", kReq, kMustGive),
           buffered_field<&FsThresholds::non_match>("non_match", kReq, kMustGive),
           buffered_field<&FsThresholds::merge>("merge", kOpt, kMayEnd))

SPEC_TABLE(FsTrainingConfig, "struct FsTrainingConfig", "",
           buffered_field<&FsTrainingConfig::method>("method", kDef, kMayEnd),
           buffered_field<&FsTrainingConfig::max_iterations>("max_iterations", kDef, kMayEnd),
           buffered_field<&FsTrainingConfig::convergence_threshold>("convergence_threshold", kDef,
                                                                    kMayEnd),
           buffered_field<&FsTrainingConfig::estimate_u>("estimate_u", kOpt, kMayEnd),
           buffered_field<&FsTrainingConfig::max_random_pairs>("max_random_pairs", kDef, kMayEnd),
           buffered_field<&FsTrainingConfig::prior_weight>("prior_weight", kDef, kMayEnd))

SPEC_TABLE(ScoringSpec, "struct ScoringSpec", "struct ScoringSpec with 8 elements",
           buffered_field<&ScoringSpec::method>("method", kDef, kMayEnd),
           buffered_field<&ScoringSpec::normalization>("normalization", kOpt, kMustGive),
           buffered_field<&ScoringSpec::ml_ensemble>("ml_ensemble", kOpt, kMayEnd),
           buffered_field<&ScoringSpec::custom>("custom", kOpt, kMayEnd),
           buffered_field<&ScoringSpec::strategy>("strategy", kOpt, kMayEnd),
           buffered_field<&ScoringSpec::fields>("fields", kOpt, kMayEnd),
           buffered_field<&ScoringSpec::thresholds>("thresholds", kOpt, kMayEnd),
           buffered_field<&ScoringSpec::training>("training", kOpt, kMayEnd))

SPEC_TABLE(DecisionSpec, "struct DecisionSpec", "",
           (Field<DecisionSpec>{"scoring", {}, kOpt, false, &read_scoring, nullptr}),
           direct_field<&DecisionSpec::thresholds>("thresholds", kReq),
           direct_field<&DecisionSpec::conflict_strategy>("conflict_strategy", kDef),
           direct_field<&DecisionSpec::review_queue>("review_queue", kOpt),
           direct_field<&DecisionSpec::audit>("audit", kOpt),
           direct_field<&DecisionSpec::tie_breaking>("tie_breaking", kOpt),
           direct_field<&DecisionSpec::clustering>("clustering", kOpt),
           direct_field<&DecisionSpec::min_total_weight>("min_total_weight", kOpt),
           direct_field<&DecisionSpec::allow_single_field>("allow_single_field", kOpt))

// ---- Survivorship (read directly) and exclusions (buffered) ---------------------------------

SPEC_TABLE(SurvivorshipOverride, "struct SurvivorshipOverride", "",
           direct_field<&SurvivorshipOverride::field>("field", kReq),
           direct_field<&SurvivorshipOverride::strategy>("strategy", kReq),
           direct_field<&SurvivorshipOverride::priority>("priority", kDef),
           direct_field<&SurvivorshipOverride::function>("function", kOpt))

SPEC_TABLE(SurvivorshipSpec, "struct SurvivorshipSpec", "",
           direct_field<&SurvivorshipSpec::default_strategy>("default", kDef),
           direct_field<&SurvivorshipSpec::overrides>("overrides", kDef))

SPEC_TABLE(FieldValueExclusion, "struct variant ExclusionSpec::FieldValue",
           "struct variant ExclusionSpec::FieldValue with 3 elements",
           buffered_field<&FieldValueExclusion::field>("field", kReq, kMustGive),
           buffered_field<&FieldValueExclusion::op>("operator", kReq, kMustGive),
           buffered_field<&FieldValueExclusion::value>("value", kReq, kMustGive))

SPEC_TABLE(ExplicitPairExclusion, "struct variant ExclusionSpec::ExplicitPair",
           "struct variant ExclusionSpec::ExplicitPair with 3 elements",
           buffered_field<&ExplicitPairExclusion::source>("source", kReq, kMustGive),
           buffered_field<&ExplicitPairExclusion::left_id_field>("left_id_field", kReq, kMustGive),
           buffered_field<&ExplicitPairExclusion::right_id_field>("right_id_field", kReq,
                                                                   kMustGive))

SPEC_TABLE(CrossTenantExclusion, "struct variant ExclusionSpec::CrossTenant", "",
           buffered_field<&CrossTenantExclusion::enabled>("enabled", kDef, kMayEnd))

// ---- Root -----------------------------------------------------------------------------------

SPEC_TABLE(IdentitySpec, "struct IdentitySpec", "",
           direct_field<&IdentitySpec::api_version>("api_version", kReq),
           direct_field<&IdentitySpec::identity_version>("identity_version", kReq),
           direct_field<&IdentitySpec::metadata>("metadata", kOpt),
           direct_field<&IdentitySpec::entity>("entity", kReq),
           (Field<IdentitySpec>{"sources", {}, kReq, false, &read_sources, nullptr}),
           direct_field<&IdentitySpec::reference_identifiers>("reference_identifiers", kOpt),
           direct_field<&IdentitySpec::blocking>("blocking", kOpt),
           direct_field<&IdentitySpec::rules>("rules", kDef),
           direct_field<&IdentitySpec::survivorship>("survivorship", kOpt),
           direct_field<&IdentitySpec::exclusions>("exclusions", kOpt),
           direct_field<&IdentitySpec::relations>("relations", kOpt),
           direct_field<&IdentitySpec::decision>("decision", kReq),
           direct_field<&IdentitySpec::governance>("governance", kOpt))

#undef SPEC_TABLE

// ---- Keys with forms of their own -----------------------------------------------------------

constexpr std::array<std::string_view, 5> kRuleKinds = {"exact", "similarity", "range",
                                                        "composite", "ml"};
constexpr std::array<std::string_view, 3> kExclusionKinds = {"field_value", "explicit_pair",
                                                             "cross_tenant"};

// The variant's record from the content left after the "type" entry.
template <typename V, typename U>
ReadStatus decode_variant(const Node& content, U& out) {
  V value;
  SPEC_TRY(decode_record(content, value));
  out = V(std::move(value));
  return ReadStatus();
}

ReadStatus decode_rule_content(size_t kind, const Node& content, RuleSpec& out) {
  switch (kind) {
    case 0: return decode_variant<ExactRule>(content, out.rule);
    case 1: return decode_variant<SimilarityRule>(content, out.rule);
    case 2: return decode_variant<RangeRule>(content, out.rule);
    case 3: return decode_variant<CompositeRule>(content, out.rule);
    default: return decode_variant<MlRule>(content, out.rule);
  }
}

// A rule of the root list: taken whole (failures there carry the rule's own path), then
// interpreted (failures there carry the path and position of the list).
ReadStatus read(Direct& d, RuleSpec& out) {
  size_t kind = 0;
  Node content;
  SPEC_TRY(take_tagged(d, kRuleKinds, "internally tagged enum RuleSpec", kind, content));
  return decode_rule_content(kind, content, out);
}

// A child of a composite rule.
ReadStatus decode(const Node& n, RuleSpec& out) {
  size_t kind = 0;
  Node content;
  SPEC_TRY(untag(n, kRuleKinds, "internally tagged enum RuleSpec", kind, content));
  return decode_rule_content(kind, content, out);
}

ReadStatus read(Direct& d, ExclusionSpec& out) {
  size_t kind = 0;
  Node content;
  SPEC_TRY(take_tagged(d, kExclusionKinds, "internally tagged enum ExclusionSpec", kind, content));
  switch (kind) {
    case 0: return decode_variant<FieldValueExclusion>(content, out.exclusion);
    case 1: return decode_variant<ExplicitPairExclusion>(content, out.exclusion);
    default: return decode_variant<CrossTenantExclusion>(content, out.exclusion);
  }
}

// One text, or a non-empty list of texts.
ReadStatus decode_field_or_fields(const Node& n, std::vector<std::string>& out) {
  if (n.kind == Node::Kind::kString) {
    out.assign(1, n.text);
    return ReadStatus();
  }
  if (n.kind == Node::Kind::kSeq) {
    bool all_texts = true;
    for (const Node& item : n.items) all_texts = all_texts && item.kind == Node::Kind::kString;
    if (all_texts) {
      if (n.items.empty()) return ReadStatus::fail("fields array cannot be empty");
      out.clear();
      for (const Node& item : n.items) out.push_back(item.text);
      return ReadStatus();
    }
  }
  return ReadStatus::fail("data did not match any variant of untagged enum FieldOrFields");
}

template <auto M>
ReadStatus decode_field_list(const Node& n, ClassOf<M>& rule) {
  return decode_field_or_fields(n, rule.*M);
}

// "<n>h" for an hours count.
std::string hours_text(uint32_t hours) { return std::to_string(hours) + "h"; }

ReadStatus decode(const Node& n, FreshnessSpec& out) {
  FreshnessRaw raw;
  SPEC_TRY(decode_record(n, raw));
  if (raw.max_age) {
    out.max_age = *raw.max_age;
  } else if (raw.max_age_hours) {
    out.max_age = hours_text(*raw.max_age_hours);
  } else {
    return ReadStatus::fail("max_age or max_age_hours is required");
  }
  if (raw.warn_after) {
    out.warn_after = raw.warn_after;
  } else if (raw.warn_after_hours) {
    out.warn_after = hours_text(*raw.warn_after_hours);
  } else {
    out.warn_after.reset();
  }
  return ReadStatus();
}

// "sources": a mapping from source name to declaration (ordered by name, each named by its
// key), else a list of declarations. When neither form reads, only the alternative's own
// message is reported.
ReadStatus read_sources(Direct& d, IdentitySpec& spec) {
  Node node;
  SPEC_TRY(take(d, node));
  if (node.kind == Node::Kind::kMap) {
    std::map<std::string, SourceSpec> by_name;
    bool ok = true;
    for (const NodeEntry& entry : node.entries) {
      std::string name;
      SourceSpec source;
      if (!decode(entry.key, name).ok() || !decode(entry.value, source).ok()) {
        ok = false;
        break;
      }
      by_name.insert_or_assign(std::move(name), std::move(source));
    }
    if (ok) {
      spec.sources.clear();
      for (auto& [name, source] : by_name) {
        source.name = name;
        spec.sources.push_back(std::move(source));
      }
      return ReadStatus();
    }
  }
  if (node.kind == Node::Kind::kSeq) {
    std::vector<SourceSpec> list;
    if (decode(node, list).ok()) {
      spec.sources = std::move(list);
      return ReadStatus();
    }
  }
  return ReadStatus::fail("data did not match any variant of untagged enum SourcesFormat");
}

// "decision.scoring": none for a null; else a ScoringSpec mapping (or sequence), else the
// text of a scoring method.
ReadStatus read_scoring(Direct& d, DecisionSpec& decision) {
  bool present = false;
  Node node;
  SPEC_TRY(read_optional(d, present, [&](Direct& at) { return take(at, node); }));
  if (!present) {
    decision.scoring.reset();
    return ReadStatus();
  }
  ScoringSpec scoring;
  if (decode(node, scoring).ok()) {
    decision.scoring = std::move(scoring);
    return ReadStatus();
  }
  if (node.kind == Node::Kind::kString) {
    auto method = enum_from_text<ir::ScoringMethod>(node.text);
    if (!method) {
      return ReadStatus::fail(unknown_variant(node.text, enum_names<ir::ScoringMethod>()));
    }
    decision.scoring = ScoringSpec{};
    decision.scoring->method = *method;
    return ReadStatus();
  }
  return ReadStatus::fail("data did not match any variant of untagged enum ScoringFormat");
}

// The Error of a failure: its final message, kind and location.
osmira_base::Error to_error(const ReadFailure& f) {
  const Problem& p = f.problem;
  const bool has_path = !f.verbatim && f.fixed && f.path != ".";
  std::string message;
  if (f.verbatim) {
    message = p.body;
  } else {
    if (has_path) message = f.path + ": ";
    message += p.body;
    if (f.mark && (f.mark->line != 0 || f.mark->column != 0)) {
      message += osmira_base::yaml::position_suffix(*f.mark);
    }
  }
  osmira_base::Error error(std::move(message));
  error.set_kind(p.kind, p.subject, p.detail);
  if (f.mark) {
    error.set_location(osmira_base::ErrorLocation{f.mark->line + 1, f.mark->column + 1, f.mark->index,
                                                  has_path ? f.path : std::string()});
  }
  return error;
}

}  // namespace detail

// Values of unrecognised keys are skipped whatever their depth, but libyaml's scanner takes
// time quadratic in the nesting depth of flow collections, so a hostile text of a million
// brackets would keep the reader busy for minutes. Nesting beyond this depth anywhere in
// the document ends the read with "recursion limit exceeded" instead.
constexpr size_t kMaxDocumentDepth = 10000;

SpecReadResult read_identity_spec(std::string_view text) {
  osmira_base::yaml::Loader loader(text, kMaxDocumentDepth);
  std::optional<osmira_base::yaml::Document> document = loader.next_document();
  if (!document) {  // the loader always yields a first document; kept for safety
    return osmira_base::Error("EOF while parsing a value");
  }
  detail::ReadState state;
  state.document = &*document;
  state.repetition_limit = static_cast<uint64_t>(document->events.size()) * 100;
  size_t pos = 0;
  detail::Direct root(&state, &pos, detail::Path{}, detail::kMaxDepth, false);
  IdentitySpec spec;
  detail::ReadStatus status = detail::read(root, spec);
  if (!status.ok()) return detail::to_error(status.failure());
  if (document->error) {  // the root read well but the text goes on into a syntax error
    const detail::Event* unused = nullptr;
    size_t end = document->events.size();
    detail::Direct at_end(&state, &end, detail::Path{}, detail::kMaxDepth, false);
    detail::ReadStatus s = at_end.peek(unused);
    return detail::to_error(s.failure());
  }
  if (loader.next_document()) {
    return osmira_base::Error("deserializing from YAML containing more than one document is not supported");
  }
  return spec;
}

}  // namespace osmira_common::spec
