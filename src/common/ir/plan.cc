#include "common/ir/plan.h"

#include <span>

#include "base/json_writer.h"
#include "base/sha256.h"
#include "common/ir/json_out.h"

namespace osmira_common::ir {

namespace jo = json_out;

namespace {

// Writes a record through the write_json overload of its type.
template <typename T>
void record(std::string& out, const T& value) {
  write_json(out, value);
}

template <typename T>
void record_list(std::string& out, const std::vector<T>& items) {
  jo::list(out, items, record<T>);
}

template <typename T>
void optional_record(std::string& out, const std::optional<T>& value) {
  jo::optional(out, value, record<T>);
}

template <typename V, typename Write>
void map_of(std::string& out, const PlanMap<V>& map, Write write_value) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : map) {
    if (!first) out += ',';
    first = false;
    jo::text(out, key);
    out += ':';
    write_value(out, value);
  }
  out += '}';
}

void write_text_list(std::string& out, const std::vector<std::string>& v) { jo::text_list(out, v); }

// The members of a rule kind other than a composite's children, after "type".
void write_rule_members(jo::Object& o, const CompiledRuleType& t) {
  if (const auto* e = std::get_if<CompiledRuleType::Exact>(&t.kind)) {
    jo::text(o.key("field"), e->field);
    jo::f64(o.key("weight"), e->weight);
    jo::boolean(o.key("case_insensitive"), e->case_insensitive);
    jo::boolean(o.key("normalize"), e->normalize);
    jo::optional(o.key("normalizer"), e->normalizer, jo::text);
  } else if (const auto* s = std::get_if<CompiledRuleType::Similarity>(&t.kind)) {
    jo::text(o.key("field"), s->field);
    jo::enumeration(o.key("algorithm"), s->algorithm);
    jo::f64(o.key("threshold"), s->threshold);
    jo::f64(o.key("weight"), s->weight);
    jo::optional(o.key("normalizer"), s->normalizer, jo::text);
  } else if (const auto* r = std::get_if<CompiledRuleType::Range>(&t.kind)) {
    jo::text(o.key("field"), r->field);
    jo::f64(o.key("tolerance"), r->tolerance);
    jo::f64(o.key("weight"), r->weight);
    jo::optional(o.key("normalizer"), r->normalizer, jo::text);
  } else if (const auto* m = std::get_if<CompiledRuleType::Ml>(&t.kind)) {
    jo::text(o.key("model_id"), m->model_id);
    jo::text_list(o.key("features"), m->features);
    jo::f64(o.key("threshold"), m->threshold);
    jo::f64(o.key("weight"), m->weight);
  }
}

// Writes a list of rules with an explicit stack, so that composites nested to any depth
// cannot exhaust the call stack.
// `brackets` false writes the top-level rules without the enclosing "[" and "]".
void write_rules(std::string& out, std::span<const CompiledRule> rules, bool brackets) {
  struct Frame {
    std::span<const CompiledRule> list;
    size_t next;
  };
  std::vector<Frame> stack;
  if (brackets) out += '[';
  stack.push_back({rules, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.list.size()) {
      stack.pop_back();
      if (!stack.empty()) {
        out += "]}}";  // the children list, the composite's rule_type and rule objects
      } else if (brackets) {
        out += ']';
      }
      continue;
    }
    if (top.next > 0) out += ',';
    const CompiledRule& rule = top.list[top.next++];
    jo::Object r(out);
    jo::text(r.key("name"), rule.name);
    jo::Object t(r.key("rule_type"));
    jo::text(t.key("type"), rule.rule_type.type_name());
    if (const auto* c = std::get_if<CompiledRuleType::Composite>(&rule.rule_type.kind)) {
      jo::enumeration(t.key("operator"), c->op);
      t.key("children") += '[';
      stack.push_back({c->children, 0});  // `top` is not used past this point
      continue;
    }
    write_rule_members(t, rule.rule_type);
    t.close();
    r.close();
  }
}

}  // namespace

std::string_view CompiledRuleType::type_name() const {
  static constexpr std::string_view kNames[] = {"exact", "similarity", "range", "composite", "ml"};
  return kNames[kind.index()];
}

std::string_view CompiledExclusion::type_name() const {
  static constexpr std::string_view kNames[] = {"field_value", "explicit_pair", "cross_tenant"};
  return kNames[kind.index()];
}

uint64_t leaf_count(const std::vector<CompiledRule>& rules) {
  uint64_t count = 0;
  std::vector<const std::vector<CompiledRule>*> pending = {&rules};
  while (!pending.empty()) {
    const std::vector<CompiledRule>* list = pending.back();
    pending.pop_back();
    for (const CompiledRule& rule : *list) {
      if (const auto* c = std::get_if<CompiledRuleType::Composite>(&rule.rule_type.kind)) {
        pending.push_back(&c->children);
      } else {
        ++count;
      }
    }
  }
  return count;
}

// ---- Sources ------------------------------------------------------------------------------

void write_json(std::string& out, const TemporalConfig& v) {
  jo::Object o(out);
  jo::text(o.key("valid_from_field"), v.valid_from_field);
  jo::optional(o.key("valid_to_field"), v.valid_to_field, jo::text);
  jo::enumeration(o.key("strategy"), v.strategy);
  o.close();
}

void write_json(std::string& out, const CompiledFreshness& v) {
  jo::Object o(out);
  jo::u64(o.key("max_age_seconds"), v.max_age_seconds);
  jo::optional(o.key("warn_after_seconds"), v.warn_after_seconds, jo::u64);
  o.close();
}

void write_json(std::string& out, const CompiledFieldSchema& v) {
  jo::Object o(out);
  jo::text(o.key("field_type"), v.field_type);
  jo::boolean(o.key("pii"), v.pii);
  jo::boolean(o.key("nullable"), v.nullable);
  o.close();
}

void write_json(std::string& out, const CompiledSampling& v) {
  jo::Object o(out);
  jo::text(o.key("strategy"), v.strategy);
  jo::f64(o.key("rate"), v.rate);
  o.close();
}

void write_json(std::string& out, const ResolvedSource& v) {
  jo::Object o(out);
  jo::text(o.key("name"), v.name);
  jo::text(o.key("adapter"), v.adapter);
  jo::text(o.key("location"), v.location);
  jo::text(o.key("id_field"), v.id_field);
  map_of(o.key("field_mappings"), v.field_mappings, jo::text);
  optional_record(o.key("temporal"), v.temporal);
  optional_record(o.key("freshness"), v.freshness);
  jo::optional(o.key("schema"), v.schema, [](std::string& s, const PlanMap<CompiledFieldSchema>& m) {
    map_of(s, m, record<CompiledFieldSchema>);
  });
  optional_record(o.key("sampling"), v.sampling);
  jo::text_list(o.key("tags"), v.tags);
  jo::text_list(o.key("pii_fields"), v.pii_fields);
  jo::f64(o.key("reliability"), v.reliability);
  o.close();
}

// ---- Blocking and match graph -------------------------------------------------------------

void write_json(std::string& out, const BlockingKey& v) {
  jo::Object o(out);
  jo::text_list(o.key("fields"), v.fields);
  jo::enum_list(o.key("transformations"), v.transformations);
  o.close();
}

void write_json(std::string& out, const CompiledBlocking& v) {
  jo::Object o(out);
  jo::enumeration(o.key("strategy"), v.strategy);
  record_list(o.key("keys"), v.keys);
  jo::optional(o.key("fallback_sample_rate"), v.fallback_sample_rate, jo::f64);
  jo::optional(o.key("lsh_bands"), v.lsh_bands, jo::u64);
  jo::optional(o.key("lsh_rows"), v.lsh_rows, jo::u64);
  jo::optional(o.key("neighborhood_window"), v.neighborhood_window, jo::u64);
  jo::text_list(o.key("sort_fields"), v.sort_fields);
  o.close();
}

void write_json(std::string& out, const CompiledRule& v) {
  write_rules(out, std::span<const CompiledRule>(&v, 1), /*brackets=*/false);
}

void write_json(std::string& out, const MatchGraph& v) {
  jo::Object o(out);
  write_rules(o.key("rules"), v.rules, /*brackets=*/true);
  jo::u64(o.key("leaf_count"), v.leaf_count);
  o.close();
}

// ---- Decision configuration ---------------------------------------------------------------

void write_json(std::string& out, const CompiledMlEnsembleConfig& v) {
  jo::Object o(out);
  map_of(o.key("coefficients"), v.coefficients, jo::f64);
  jo::f64(o.key("bias"), v.bias);
  o.close();
}

void write_json(std::string& out, const CompiledCustomScoringConfig& v) {
  jo::Object o(out);
  jo::text(o.key("expression"), v.expression);
  o.close();
}

void write_json(std::string& out, const CompiledClusteringConfig& v) {
  jo::Object o(out);
  jo::enumeration(o.key("method"), v.method);
  jo::f64(o.key("min_edge_weight"), v.min_edge_weight);
  jo::f64(o.key("min_cluster_coherence"), v.min_cluster_coherence);
  jo::u64(o.key("max_cluster_size"), v.max_cluster_size);
  o.close();
}

void write_json(std::string& out, const DecisionConfig& v) {
  jo::Object o(out);
  jo::f64(o.key("match_threshold"), v.match_threshold);
  jo::optional(o.key("review_threshold"), v.review_threshold, jo::f64);
  jo::optional(o.key("reject_threshold"), v.reject_threshold, jo::f64);
  jo::enumeration(o.key("conflict_strategy"), v.conflict_strategy);
  jo::optional(o.key("review_webhook"), v.review_webhook, jo::text);
  jo::enumeration(o.key("scoring_method"), v.scoring_method);
  optional_record(o.key("ml_ensemble_config"), v.ml_ensemble_config);
  optional_record(o.key("custom_scoring_config"), v.custom_scoring_config);
  optional_record(o.key("fellegi_sunter"), v.fellegi_sunter);
  jo::enum_list(o.key("tie_breaking"), v.tie_breaking);
  optional_record(o.key("clustering"), v.clustering);
  jo::f64(o.key("min_total_weight"), v.min_total_weight);
  jo::text_list(o.key("allow_single_field"), v.allow_single_field);
  o.close();
}

// ---- Survivorship, references, relations, exclusions, governance --------------------------

void write_json(std::string& out, const FieldSurvivorshipPolicy& v) {
  jo::Object o(out);
  jo::enumeration(o.key("strategy"), v.strategy);
  jo::optional(o.key("source_priority"), v.source_priority, write_text_list);
  jo::optional(o.key("aggregate_fn"), v.aggregate_fn, jo::text);
  o.close();
}

void write_json(std::string& out, const SurvivorshipPolicy& v) {
  jo::Object o(out);
  jo::enumeration(o.key("default_strategy"), v.default_strategy);
  map_of(o.key("field_policies"), v.field_policies, record<FieldSurvivorshipPolicy>);
  o.close();
}

void write_json(std::string& out, const CompiledReferenceIdentifier& v) {
  jo::Object o(out);
  jo::text(o.key("name"), v.name);
  jo::enumeration(o.key("id_type"), v.id_type);
  jo::optional(o.key("authority"), v.authority, jo::text);
  jo::text(o.key("field"), v.field);
  jo::f64(o.key("match_weight"), v.match_weight);
  o.close();
}

void write_json(std::string& out, const CompiledRelation& v) {
  jo::Object o(out);
  jo::text(o.key("name"), v.name);
  jo::text(o.key("from_entity"), v.from_entity);
  jo::text(o.key("to_entity"), v.to_entity);
  jo::text(o.key("join_key"), v.join_key);
  jo::enumeration(o.key("cardinality"), v.cardinality);
  jo::boolean(o.key("propagate_match"), v.propagate_match);
  o.close();
}

void write_json(std::string& out, const CompiledExclusion& v) {
  jo::Object o(out);
  jo::text(o.key("type"), v.type_name());
  if (const auto* f = std::get_if<CompiledExclusion::FieldValue>(&v.kind)) {
    jo::text(o.key("field"), f->field);
    jo::text(o.key("operator"), f->op);
    osmira_base::append_compact_json(o.key("value"), f->value);
  } else if (const auto* p = std::get_if<CompiledExclusion::ExplicitPair>(&v.kind)) {
    jo::text(o.key("left_id"), p->left_id);
    jo::text(o.key("right_id"), p->right_id);
  } else if (const auto* c = std::get_if<CompiledExclusion::CrossTenant>(&v.kind)) {
    jo::boolean(o.key("enabled"), c->enabled);
  }
  o.close();
}

void write_json(std::string& out, const CompiledHierarchy& v) {
  jo::Object o(out);
  jo::text(o.key("parent_field"), v.parent_field);
  jo::u64(o.key("max_depth"), v.max_depth);
  jo::text_list(o.key("inherited_fields"), v.inherited_fields);
  o.close();
}

void write_json(std::string& out, const CompiledCompliance& v) {
  jo::Object o(out);
  jo::text_list(o.key("frameworks"), v.frameworks);
  jo::text_list(o.key("pii_fields"), v.pii_fields);
  jo::boolean(o.key("audit_required"), v.audit_required);
  jo::optional(o.key("retention_days"), v.retention_days,
               [](std::string& s, uint32_t d) { jo::u64(s, d); });
  o.close();
}

void write_json(std::string& out, const CompiledAudit& v) {
  jo::Object o(out);
  jo::boolean(o.key("log_all_comparisons"), v.log_all_comparisons);
  jo::boolean(o.key("log_decisions"), v.log_decisions);
  jo::boolean(o.key("log_conflicts"), v.log_conflicts);
  o.close();
}

void write_json(std::string& out, const PlanMetadata& v) {
  jo::Object o(out);
  jo::optional(o.key("name"), v.name, jo::text);
  jo::optional(o.key("description"), v.description, jo::text);
  jo::optional(o.key("owner"), v.owner, jo::text);
  jo::text_list(o.key("tags"), v.tags);
  o.close();
}

void write_json(std::string& out, const CompiledGovernance& v) {
  jo::Object o(out);
  jo::boolean(o.key("require_freshness"), v.require_freshness);
  jo::boolean(o.key("require_schema"), v.require_schema);
  jo::text_list(o.key("required_tags"), v.required_tags);
  jo::boolean(o.key("log_probabilities"), v.log_probabilities);
  jo::boolean(o.key("require_shadow_on_threshold_change"), v.require_shadow_on_threshold_change);
  o.close();
}

// ---- The plan root ------------------------------------------------------------------------

void write_json(std::string& out, const IdentityPlan& v) {
  jo::Object o(out);
  jo::text(o.key("entity"), v.entity);
  jo::text(o.key("plan_hash"), v.plan_hash);
  jo::text(o.key("identity_version"), v.identity_version);
  record_list(o.key("sources"), v.sources);
  write_json(o.key("blocking"), v.blocking);
  write_json(o.key("match_graph"), v.match_graph);
  write_json(o.key("survivorship"), v.survivorship);
  write_json(o.key("decision"), v.decision);
  record_list(o.key("reference_identifiers"), v.reference_identifiers);
  record_list(o.key("relations"), v.relations);
  record_list(o.key("exclusions"), v.exclusions);
  optional_record(o.key("compliance"), v.compliance);
  optional_record(o.key("hierarchy"), v.hierarchy);
  optional_record(o.key("audit"), v.audit);
  optional_record(o.key("metadata"), v.metadata);
  optional_record(o.key("governance"), v.governance);
  o.close();
}

std::string plan_json(const IdentityPlan& plan) {
  std::string out;
  out.reserve(128);
  write_json(out, plan);
  return out;
}

std::string IdentityPlan::compute_hash() const {
  return osmira_base::sha256_hex(plan_json(*this));
}

osmira_base::Value scoring_method_value(ScoringMethod method) {
  return osmira_base::Value(enum_text(method));
}

}  // namespace osmira_common::ir
