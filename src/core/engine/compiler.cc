#include "core/engine/compiler.h"

#include <cmath>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/unicode.h"
#include "core/engine/log.h"

namespace osmira_core::engine::compiler {
namespace {

namespace ir = osmira_common::ir;
namespace spec = osmira_common::spec;

constexpr const char* kLogTarget = "osmira_core::engine::compiler";

// Fellegi–Sunter probabilities are kept inside these bounds so that neither log weight
// takes the logarithm of 0.
constexpr double kMinProbability = 0.0001;
constexpr double kMaxProbability = 0.9999;

constexpr uint64_t kNeighborhoodWindow = 50;

// ---- Enumerations that the spec and the plan spell separately -------------------------------

ir::FsComparatorType fs_comparator(spec::FsComparator c) {
  switch (c) {
    case spec::FsComparator::kExact: return ir::FsComparatorType::kExact;
    case spec::FsComparator::kJaroWinkler: return ir::FsComparatorType::kJaroWinkler;
    case spec::FsComparator::kLevenshtein: return ir::FsComparatorType::kLevenshtein;
    case spec::FsComparator::kSoundex: return ir::FsComparatorType::kSoundex;
    case spec::FsComparator::kMetaphone: return ir::FsComparatorType::kMetaphone;
    case spec::FsComparator::kCosine: return ir::FsComparatorType::kCosine;
  }
  return ir::FsComparatorType::kExact;
}

// The similarity algorithm of a non-exact comparator.
ir::SimilarityAlgorithm similarity_algorithm(spec::FsComparator c) {
  switch (c) {
    case spec::FsComparator::kLevenshtein: return ir::SimilarityAlgorithm::kLevenshtein;
    case spec::FsComparator::kSoundex: return ir::SimilarityAlgorithm::kSoundex;
    case spec::FsComparator::kMetaphone: return ir::SimilarityAlgorithm::kMetaphone;
    case spec::FsComparator::kCosine: return ir::SimilarityAlgorithm::kCosine;
    case spec::FsComparator::kExact:
    case spec::FsComparator::kJaroWinkler: break;
  }
  return ir::SimilarityAlgorithm::kJaroWinkler;
}

ir::CompiledTieBreaker tie_breaker(spec::TieBreaker t) {
  switch (t) {
    case spec::TieBreaker::kExactMatchPriority: return ir::CompiledTieBreaker::kExactMatchPriority;
    case spec::TieBreaker::kLowestEntityId: return ir::CompiledTieBreaker::kLowestEntityId;
    case spec::TieBreaker::kEarliestTimestamp: return ir::CompiledTieBreaker::kEarliestTimestamp;
  }
  return ir::CompiledTieBreaker::kLowestEntityId;
}

ir::ClusteringMethod clustering_method(spec::ClusteringMethodSpec m) {
  return m == spec::ClusteringMethodSpec::kGraph ? ir::ClusteringMethod::kGraph
                                                 : ir::ClusteringMethod::kSimple;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// An unsigned decimal number with an optional leading "+", the whole text and nothing else;
// none for anything else, a lone sign, no digits, or a value beyond 64 bits.
std::optional<uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

uint64_t saturating_multiply(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<uint64_t>::max();
  return product;
}

// ---- Steps of compile -----------------------------------------------------------------------

ir::ResolvedSource resolve_source(const spec::SourceSpec& s) {
  ir::ResolvedSource r;
  r.name = s.name;
  r.adapter = s.resolved_adapter();
  r.location = s.resolved_location();
  r.id_field = s.resolved_primary_key();
  r.field_mappings = ir::PlanMap<std::string>(s.attributes.begin(), s.attributes.end());
  if (s.temporal) {
    r.temporal = ir::TemporalConfig{s.temporal->valid_from, s.temporal->valid_to,
                                    s.temporal->strategy};
  }
  if (s.freshness) {
    ir::CompiledFreshness f;
    f.max_age_seconds = SpecCompiler::parse_duration(s.freshness->max_age);
    if (s.freshness->warn_after) {
      f.warn_after_seconds = SpecCompiler::parse_duration(*s.freshness->warn_after);
    }
    r.freshness = f;
  }
  if (s.schema) {
    ir::PlanMap<ir::CompiledFieldSchema> schema;
    for (const auto& [name, field] : *s.schema) {
      schema.insert_or_assign(name, ir::CompiledFieldSchema{field.type, field.pii, field.nullable});
    }
    r.schema = std::move(schema);
  }
  if (s.sampling) {
    // The variant's name in lower case, with no separator: "timebased".
    r.sampling = ir::CompiledSampling{ascii_lower(spec::display_name(s.sampling->strategy)),
                                      s.sampling->rate};
  }
  r.tags = s.tags;
  r.pii_fields = s.pii_fields();
  r.reliability = s.reliability.value_or(1.0);
  return r;
}

ir::CompiledBlocking compile_blocking(const std::optional<spec::BlockingSpec>& blocking) {
  ir::CompiledBlocking b;
  if (!blocking) return b;  // composite, no keys, no window
  b.strategy = blocking->strategy;
  b.keys.reserve(blocking->keys.size());
  for (const std::vector<std::string>& fields : blocking->keys) {
    b.keys.push_back(ir::BlockingKey{fields, SpecCompiler::infer_transformations(fields)});
  }
  if (blocking->fallback) b.fallback_sample_rate = blocking->fallback->sample_rate;
  b.neighborhood_window = kNeighborhoodWindow;
  return b;
}

// The rule a Fellegi–Sunter field gets when no spec rule has its name.
ir::CompiledRule fs_field_rule(const spec::FsFieldSpec& field) {
  if (field.comparator == spec::FsComparator::kExact) {
    return {field.name,
            {ir::CompiledRuleType::Exact{field.name, field.weight, false, false, field.normalizer}}};
  }
  return {field.name,
          {ir::CompiledRuleType::Similarity{field.name, similarity_algorithm(field.comparator), 0.0,
                                            field.weight, field.normalizer}}};
}

ir::SurvivorshipPolicy compile_survivorship(const std::optional<spec::SurvivorshipSpec>& s) {
  ir::SurvivorshipPolicy policy;
  if (!s) return policy;  // most_recent, no field policies
  policy.default_strategy = s->default_strategy;
  for (const spec::SurvivorshipOverride& o : s->overrides) {
    ir::FieldSurvivorshipPolicy field;
    field.strategy = o.strategy;
    if (!o.priority.empty()) field.source_priority = o.priority;
    if (o.function) field.aggregate_fn = std::string(spec::display_name(*o.function));
    policy.field_policies.insert_or_assign(o.field, std::move(field));
  }
  return policy;
}

double clamp_probability(double p) {
  // Lower bound first, then upper; fmax/fmin send a NaN to the bound rather than keep it.
  return std::fmin(std::fmax(p, kMinProbability), kMaxProbability);
}

bool was_clamped(double original, double clamped) {
  return std::fabs(clamped - original) > std::numeric_limits<double>::epsilon();
}

ir::CompiledFsField compile_fs_field(const spec::FsFieldSpec& f, log::Events* events) {
  ir::CompiledFsField out;
  out.name = f.name;
  out.comparator = fs_comparator(f.comparator);
  out.weight = f.weight;
  out.normalizer = f.normalizer;
  const double m = clamp_probability(f.m_probability);
  const double u = clamp_probability(f.u_probability);
  if (was_clamped(f.m_probability, m) || was_clamped(f.u_probability, u)) {
    OSMIRA_LOG_WARN(events, kLogTarget,
                    "FS field probabilities clamped to safe bounds (0.0001, 0.9999) to avoid ln(0)",
                    "field", f.name, "original_m", f.m_probability, "clamped_m", m, "original_u",
                    f.u_probability, "clamped_u", u);
  }
  out.m_probability = m;
  out.u_probability = u;
  out.w_agree = std::log(m / u) * f.weight;
  out.w_disagree = std::log((1.0 - m) / (1.0 - u)) * f.weight;
  return out;
}

ir::CompiledFellegiSunterPlan compile_fs_plan(const spec::ScoringSpec& scoring,
                                              log::Events* events) {
  ir::CompiledFellegiSunterPlan plan;
  plan.fields.reserve(scoring.fields->size());
  for (const spec::FsFieldSpec& f : *scoring.fields) plan.fields.push_back(compile_fs_field(f, events));
  plan.match_threshold = scoring.thresholds->match;
  plan.possible_threshold = scoring.thresholds->possible;
  plan.non_match_threshold = scoring.thresholds->non_match;
  plan.merge_threshold = scoring.thresholds->merge;
  // Summed from -0.0, the identity of addition, so that no fields give -0.0.
  double max_composite = -0.0;
  double min_composite = -0.0;
  for (const ir::CompiledFsField& f : plan.fields) {
    max_composite += f.w_agree;
    min_composite += f.w_disagree;
  }
  plan.max_composite = max_composite;
  plan.min_composite = min_composite;
  if (scoring.training && scoring.training->method == "em") {
    const spec::FsTrainingConfig& t = *scoring.training;
    plan.em_training = ir::CompiledEmTraining{t.max_iterations, t.convergence_threshold,
                                              t.estimate_u, t.max_random_pairs, t.prior_weight};
  }
  return plan;
}

bool uses_fellegi_sunter(const spec::ScoringSpec& scoring) {
  return scoring.strategy == spec::ScoringStrategy::kFellegiSunter;
}

// The decision configuration, with the parameters of every scoring method the spec names.
ir::DecisionConfig compile_decision(const spec::DecisionSpec& d, log::Events* events) {
  ir::DecisionConfig out;
  const std::optional<spec::ScoringSpec>& scoring = d.scoring;

  if (scoring && scoring->ml_ensemble) {
    const spec::MlEnsembleConfig& ml = *scoring->ml_ensemble;
    out.ml_ensemble_config = ir::CompiledMlEnsembleConfig{
        ir::PlanMap<double>(ml.coefficients.begin(), ml.coefficients.end()), ml.bias};
  }

  // The expression is kept as written. It is compiled once, when the engine is built, which
  // logs an expression that does not compile and leaves it out.
  if (scoring && scoring->custom && !scoring->custom->expression.empty()) {
    out.custom_scoring_config = ir::CompiledCustomScoringConfig{scoring->custom->expression};
  }

  if (!scoring) {
    out.scoring_method = ir::ScoringMethod::kWeightedSum;
  } else if (!uses_fellegi_sunter(*scoring)) {
    out.scoring_method = scoring->method;
  } else {
    out.scoring_method = ir::ScoringMethod::kFellegiSunter;
    // Without thresholds there is no plan, and the engine scores by weighted sum.
    if (scoring->fields && scoring->thresholds) {
      out.fellegi_sunter = compile_fs_plan(*scoring, events);
    }
  }

  out.match_threshold = d.thresholds.match;
  out.review_threshold = d.thresholds.review;
  out.reject_threshold = d.thresholds.reject;
  out.conflict_strategy = d.conflict_strategy;
  if (d.review_queue) out.review_webhook = d.review_queue->webhook;

  if (d.tie_breaking) {
    out.tie_breaking.clear();
    for (spec::TieBreaker t : *d.tie_breaking) out.tie_breaking.push_back(tie_breaker(t));
  } else {
    out.tie_breaking = {ir::CompiledTieBreaker::kLowestEntityId};
  }

  if (d.clustering && d.clustering->method_given) {
    const spec::ClusteringSpec& c = *d.clustering;
    out.clustering = ir::CompiledClusteringConfig{
        clustering_method(c.method), c.min_edge_weight.value_or(0.0),
        c.min_cluster_coherence.value_or(0.0),
        c.max_cluster_size.value_or(std::numeric_limits<uint64_t>::max())};
  }

  out.min_total_weight = d.min_total_weight.value_or(0.0);
  if (d.allow_single_field) out.allow_single_field = *d.allow_single_field;
  return out;
}

ir::CompiledExclusion compile_exclusion(const spec::ExclusionSpec& e) {
  ir::CompiledExclusion out;
  if (const auto* fv = std::get_if<spec::FieldValueExclusion>(&e.exclusion)) {
    out.kind = ir::CompiledExclusion::FieldValue{fv->field, fv->op, fv->value};
  } else if (const auto* ep = std::get_if<spec::ExplicitPairExclusion>(&e.exclusion)) {
    out.kind = ir::CompiledExclusion::ExplicitPair{ep->left_id_field, ep->right_id_field};
  } else {
    const auto& ct = std::get<spec::CrossTenantExclusion>(e.exclusion);
    out.kind = ir::CompiledExclusion::CrossTenant{ct.enabled};
  }
  return out;
}

// The compiled form of a rule that is not a composite, for one of its fields.
template <typename SpecRule>
ir::CompiledRuleType leaf_rule(const SpecRule& rule, const std::string& field) {
  if constexpr (std::is_same_v<SpecRule, spec::ExactRule>) {
    ir::CompiledRuleType::Exact exact{field, rule.weight, false, false, std::nullopt};
    if (rule.options) {
      exact.case_insensitive = rule.options->case_insensitive;
      exact.normalize = rule.options->normalize;
      exact.normalizer = rule.options->normalizer;
    }
    return {exact};
  } else if constexpr (std::is_same_v<SpecRule, spec::SimilarityRule>) {
    return {ir::CompiledRuleType::Similarity{field, rule.algorithm, rule.threshold, rule.weight,
                                             rule.normalizer}};
  } else {
    static_assert(std::is_same_v<SpecRule, spec::RangeRule>);
    return {ir::CompiledRuleType::Range{field, rule.tolerance, rule.weight, rule.normalizer}};
  }
}

// An exact, similarity or range rule: its own kind over one field, an "and" composite of
// "{rule}_{field}" children over several.
template <typename SpecRule>
ir::CompiledRuleType field_rule(const SpecRule& rule) {
  if (rule.field.size() == 1) return leaf_rule(rule, rule.field.front());
  ir::CompiledRuleType::Composite composite;
  composite.op = ir::CompositeOperator::kAnd;
  composite.children.reserve(rule.field.size());
  for (const std::string& field : rule.field) {
    composite.children.push_back(ir::CompiledRule{rule.name + "_" + field, leaf_rule(rule, field)});
  }
  return {std::move(composite)};
}

}  // namespace

ir::CompiledRule SpecCompiler::compile_rule(const spec::RuleSpec& rule) {
  // A compiled rule is filled in after it is placed; this is its content until then.
  const auto placeholder = [] { return ir::CompiledRule{{}, {ir::CompiledRuleType::Exact{}}}; };
  ir::CompiledRule root = placeholder();
  // Each entry is a spec rule and the compiled rule it fills. A composite's children are
  // all placed before any of them is pushed, so the pointers stay valid.
  std::vector<std::pair<const spec::RuleSpec*, ir::CompiledRule*>> pending = {{&rule, &root}};
  while (!pending.empty()) {
    const auto [in, out] = pending.back();
    pending.pop_back();
    out->name = in->name();
    if (const auto* c = std::get_if<spec::CompositeRule>(&in->rule)) {
      out->rule_type.kind = ir::CompiledRuleType::Composite{c->op, {}};
      auto& children = std::get<ir::CompiledRuleType::Composite>(out->rule_type.kind).children;
      children.reserve(c->children.size());
      for (size_t i = 0; i < c->children.size(); ++i) children.push_back(placeholder());
      for (size_t i = 0; i < children.size(); ++i) {
        pending.emplace_back(&c->children[i], &children[i]);
      }
    } else if (const auto* ml = std::get_if<spec::MlRule>(&in->rule)) {
      out->rule_type.kind =
          ir::CompiledRuleType::Ml{ml->model, ml->features, ml->threshold, ml->weight};
    } else if (const auto* exact = std::get_if<spec::ExactRule>(&in->rule)) {
      out->rule_type = field_rule(*exact);
    } else if (const auto* sim = std::get_if<spec::SimilarityRule>(&in->rule)) {
      out->rule_type = field_rule(*sim);
    } else {
      out->rule_type = field_rule(std::get<spec::RangeRule>(in->rule));
    }
  }
  return root;
}

uint64_t SpecCompiler::parse_duration(std::string_view text) {
  const std::string_view trimmed = osmira_base::unicode::trim_whitespace(text);
  if (trimmed.empty()) return 0;
  uint64_t unit_seconds = 0;
  switch (trimmed.back()) {
    case 'd': unit_seconds = 86400; break;
    case 'h': unit_seconds = 3600; break;
    case 'm': unit_seconds = 60; break;
    case 's': unit_seconds = 1; break;
    default:
      // No unit (or a non-ASCII last character, which then fails as a digit): plain seconds.
      return parse_unsigned(trimmed).value_or(0);
  }
  const uint64_t number = parse_unsigned(trimmed.substr(0, trimmed.size() - 1)).value_or(0);
  return saturating_multiply(number, unit_seconds);
}

std::vector<ir::BlockingTransformation> SpecCompiler::infer_transformations(
    const std::vector<std::string>& fields) {
  using T = ir::BlockingTransformation;
  std::vector<T> out;
  for (const std::string& field : fields) {
    const std::string name = osmira_base::unicode::to_lowercase(field);
    const auto has = [&name](std::string_view part) {
      return name.find(part) != std::string::npos;
    };
    if (has("initial")) {
      out.push_back(T::kFirstInitial);
    } else if (has("soundex")) {
      out.push_back(T::kSoundex);
    } else if (has("area_code")) {
      out.push_back(T::kAreaCode);
    } else if (has("last4") || has("last_4")) {
      out.push_back(T::kLast4);
    } else if (has("trigram")) {
      out.push_back(T::kTrigrams);
    } else if (has("phone") || has("mobile") || has("cell") || has("tel")) {
      out.push_back(T::kNormalizePhone);
    } else if (has("email")) {
      out.push_back(T::kNormalizeEmail);
    } else if (has("name")) {
      out.push_back(T::kNormalizeName);
    } else if (name == "homepage" || has("website") || has("domain") || has("url")) {
      out.push_back(T::kNormalizeDomain);
    }
  }
  if (out.empty()) out.push_back(T::kLowercase);
  return out;
}

osmira_base::Result<ir::IdentityPlan> SpecCompiler::compile(const spec::IdentitySpec& spec,
                                                           log::Events* events) {
  ir::IdentityPlan plan;

  plan.sources.reserve(spec.sources.size());
  for (const spec::SourceSpec& s : spec.sources) plan.sources.push_back(resolve_source(s));

  plan.blocking = compile_blocking(spec.blocking);

  std::vector<ir::CompiledRule>& rules = plan.match_graph.rules;
  rules.reserve(spec.rules.size());
  for (const spec::RuleSpec& r : spec.rules) rules.push_back(compile_rule(r));

  // Fellegi–Sunter fields without a rule of their name get one. Only the spec's own rule
  // names count, so two such fields of one name both get a rule.
  const std::optional<spec::ScoringSpec>& scoring = spec.decision.scoring;
  if (scoring && uses_fellegi_sunter(*scoring) && scoring->fields) {
    std::set<std::string, std::less<>> spec_rule_names;
    for (const ir::CompiledRule& r : rules) spec_rule_names.insert(r.name);
    for (const spec::FsFieldSpec& field : *scoring->fields) {
      if (!spec_rule_names.contains(field.name)) rules.push_back(fs_field_rule(field));
    }
  }
  plan.match_graph.leaf_count = ir::leaf_count(rules);

  plan.survivorship = compile_survivorship(spec.survivorship);
  plan.decision = compile_decision(spec.decision, events);

  if (spec.reference_identifiers) {
    for (const spec::ReferenceIdentifierSpec& r : *spec.reference_identifiers) {
      plan.reference_identifiers.push_back(
          ir::CompiledReferenceIdentifier{r.name, r.id_type, r.authority, r.field, r.match_weight});
    }
  }
  if (spec.relations) {
    for (const spec::RelationSpec& r : *spec.relations) {
      plan.relations.push_back(ir::CompiledRelation{r.name, r.from_entity, r.to_entity, r.join_key,
                                                    r.cardinality, r.propagate_match});
    }
  }
  if (spec.exclusions) {
    for (const spec::ExclusionSpec& e : *spec.exclusions) {
      plan.exclusions.push_back(compile_exclusion(e));
    }
  }

  if (const auto& c = spec.entity.compliance) {
    plan.compliance =
        ir::CompiledCompliance{c->frameworks, c->pii_fields, c->audit_required, c->retention_days};
  }
  if (const auto& h = spec.entity.hierarchy) {
    plan.hierarchy = ir::CompiledHierarchy{h->parent_field, h->depth, h->inheritance};
  }
  if (const auto& m = spec.metadata) {
    plan.metadata = ir::PlanMetadata{m->name, m->description, m->owner, m->tags};
  }
  if (const auto& g = spec.governance) {
    plan.governance =
        ir::CompiledGovernance{g->require_freshness, g->require_schema, g->required_tags,
                               g->log_probabilities, g->require_shadow_on_threshold_change};
  }
  if (const auto& a = spec.decision.audit) {
    plan.audit = ir::CompiledAudit{a->log_all_comparisons, a->log_decisions, a->log_conflicts};
  }

  plan.entity = spec.entity.name;
  plan.identity_version = spec.identity_version;
  // Taken while `plan_hash` is still empty.
  plan.plan_hash = plan.compute_hash();
  return plan;
}

}  // namespace osmira_core::engine::compiler
