#include "tooling/commands/plan.h"

#include <utility>

#include "base/number_text.h"
#include "tooling/commands/tree_helpers.h"
#include "tooling/parser.h"
#include "tooling/validator.h"

namespace vintrel_core::commands::plan {
namespace {

using osmira_base::Value;

constexpr std::string_view kUnknown = "unknown";
constexpr std::string_view kExact = "exact";
constexpr std::string_view kNone = "none";

// The node's text when it is a string, else `fallback`. A missing node takes the fallback.
std::string text_or(const Value* node, std::string_view fallback) {
  if (node != nullptr && node->is_string()) return node->as_string();
  return std::string(fallback);
}

// Reads `key` of `node`, where `node` may itself be missing.
const Value* child(const Value* node, std::string_view key) {
  return node == nullptr ? nullptr : node->get(key);
}

std::optional<double> number_of(const Value* node) {
  return node == nullptr ? std::nullopt : node->number();
}

std::vector<PlanSource> read_sources(const Value& doc) {
  std::vector<PlanSource> out;
  const Value::Array* sources = array_of(doc.get("sources"));
  if (sources == nullptr) return out;
  for (const Value& entry : *sources) {
    PlanSource source;
    source.name = text_or(entry.get("name"), kUnknown);
    source.system = text_or(entry.get("system"), kUnknown);
    const Value* attributes = entry.get("attributes");
    if (attributes != nullptr && attributes->is_object()) {
      source.field_count = attributes->as_object().size();
    }
    out.push_back(std::move(source));
  }
  return out;
}

std::vector<MatchStrategySummary> read_strategies(const Value& doc) {
  std::vector<MatchStrategySummary> out;
  const Value::Array* rules = array_of(doc.get("rules"));
  if (rules == nullptr) return out;
  for (const Value& rule : *rules) {
    MatchStrategySummary s;
    s.rule_name = text_or(rule.get("name"), kUnknown);
    s.match_type = text_or(rule.get("type"), kUnknown);
    s.field = text_or(rule.get("field"), kUnknown);
    if (const Value* algorithm = rule.get("algorithm"); algorithm != nullptr && algorithm->is_string()) {
      s.algorithm = algorithm->as_string();
    }
    s.threshold = number_of(rule.get("threshold"));
    s.weight = number_of(rule.get("weight")).value_or(0.0);
    s.evaluation_order = s.match_type == kExact ? 3 : 4;
    out.push_back(std::move(s));
  }
  return out;
}

std::vector<SurvivorshipSummary> read_survivorship(const Value& doc) {
  std::vector<SurvivorshipSummary> out;
  const Value::Array* rules = array_of(child(doc.get("survivorship"), "rules"));
  if (rules == nullptr) return out;
  for (const Value& rule : *rules) {
    SurvivorshipSummary s;
    s.field = text_or(rule.get("field"), kUnknown);
    s.strategy = text_or(rule.get("strategy"), kUnknown);
    if (const Value::Array* priority = array_of(rule.get("source_priority"))) {
      std::vector<std::string> names;
      for (const Value& name : *priority) {
        if (name.is_string()) names.push_back(name.as_string());
      }
      s.source_priority = std::move(names);
    }
    out.push_back(std::move(s));
  }
  return out;
}

BlockingAnalysis read_blocking(const Value& doc) {
  BlockingAnalysis out;
  const Value* blocking = doc.get("blocking");
  if (blocking == nullptr) {
    out.strategy = kNone;
  } else {
    out.strategy = text_or(blocking->get("strategy"), kNone);
    if (const Value::Array* keys = array_of(blocking->get("keys"))) {
      for (const Value& key : *keys) {
        // "field" wins over "name" as soon as the key is there, whatever it holds; likewise
        // "transform" over "transformation".
        const Value* name = key.get("field");
        if (name == nullptr) name = key.get("name");
        const Value* transformation = key.get("transform");
        if (transformation == nullptr) transformation = key.get("transformation");
        out.keys.push_back({text_or(name, kUnknown), text_or(transformation, "identity")});
      }
    }
  }
  const size_t n = out.keys.size();
  if (n == 0) {
    if (out.strategy == kNone) {
      out.estimated_reduction = "none";
      out.warnings.push_back("No blocking keys defined \u2014 O(n\u00b2) pairwise comparisons");
    } else {
      out.estimated_reduction = "medium";
    }
  } else if (n == 1) {
    out.estimated_reduction = "low";
  } else if (n <= 3) {
    out.estimated_reduction = "medium";
  } else {
    out.estimated_reduction = "high";
  }
  return out;
}

// "{field} ({match_type}, w={weight})" or "{field} ({match_type}/{algorithm}, w={weight})".
std::string signal_label(const MatchStrategySummary& s) {
  std::string out = s.field + " (" + s.match_type;
  if (s.algorithm) out += "/" + *s.algorithm;
  out += ", w=" + osmira_base::plain_number(s.weight) + ")";
  return out;
}

std::vector<ExecutionStage> build_stages(const std::vector<PlanSource>& sources,
                                         const BlockingAnalysis& blocking,
                                         const std::vector<MatchStrategySummary>& strategies) {
  std::vector<std::string> source_names;
  for (const PlanSource& s : sources) source_names.push_back(s.name);

  std::string blocking_text;
  if (blocking.keys.empty()) {
    blocking_text = "No blocking keys \u2014 full pairwise comparison";
  } else {
    std::vector<std::string> labels;
    for (const BlockingKeySummary& k : blocking.keys) {
      labels.push_back(k.name + " (" + k.transformation + ")");
    }
    blocking_text = join(labels, ", ");
  }

  std::vector<std::string> exact_labels;
  std::vector<std::string> fuzzy_labels;
  for (const MatchStrategySummary& s : strategies) {
    const std::string weight = "(w=" + osmira_base::plain_number(s.weight) + ")";
    if (s.match_type == kExact) {
      exact_labels.push_back(s.rule_name + " on " + s.field + " " + weight);
    } else {
      fuzzy_labels.push_back(s.rule_name + " on " + s.field + " via " +
                             s.algorithm.value_or("default") + " " + weight);
    }
  }

  std::vector<ExecutionStage> stages;
  stages.push_back({1, "Normalize sources", "Ingest and normalize fields from: " + join(source_names, ", "),
                    source_names, {"normalized_entities"}});
  stages.push_back({2, "Generate blocking keys",
                    "Blocking strategy: " + blocking.strategy + ". Keys: " + blocking_text,
                    {"normalized_entities"}, {"candidate_pairs"}});
  stages.push_back({3, "Exact matches",
                    exact_labels.empty() ? "No exact match rules defined" : join(exact_labels, ", "),
                    {"candidate_pairs"}, {"exact_match_scores"}});
  stages.push_back({4, "Fuzzy matches",
                    fuzzy_labels.empty() ? "No fuzzy match rules defined" : join(fuzzy_labels, ", "),
                    {"candidate_pairs"}, {"fuzzy_match_scores"}});
  stages.push_back({5, "Score & decide", "Aggregate weighted scores and apply thresholds",
                    {"exact_match_scores", "fuzzy_match_scores"}, {"match_decisions"}});
  stages.push_back({6, "Cluster entities", "Transitive closure via UnionFind to group matched entities",
                    {"match_decisions"}, {"entity_clusters"}});
  stages.push_back({7, "Apply survivorship", "Apply field-level survivorship rules to build golden records",
                    {"entity_clusters"}, {"golden_records"}});
  stages.push_back({8, "Emit outputs", "Produce canonical table, lineage table, and audit trail",
                    {"golden_records"}, {"canonical_entities", "identity_lineage", "audit_trail"}});
  return stages;
}

std::vector<RiskFlag> build_risk_flags(const Value& doc, const PlanResult& plan) {
  std::vector<RiskFlag> flags;
  const BlockingAnalysis& blocking = plan.blocking_analysis;

  if (blocking.keys.empty() && blocking.strategy == kNone) {
    flags.push_back({"critical", "NO_BLOCKING",
                     "No blocking keys defined \u2014 all pairs will be compared (O(n\u00b2))",
                     "Add blocking keys to reduce comparison space"});
  }
  if (plan.match_strategies.size() == 1) {
    flags.push_back({"high", "SINGLE_SIGNAL",
                     "Only one match rule \u2014 identity resolution depends on a single signal",
                     "Add additional match rules for more robust identity resolution"});
  }
  for (const MatchStrategySummary& s : plan.match_strategies) {
    // A haversine threshold is a distance in km: a small one is strict, not loose.
    if (s.match_type == kExact || s.algorithm == "haversine" || !s.threshold ||
        !(*s.threshold < 0.8)) {
      continue;
    }
    flags.push_back({"high", "LOW_THRESHOLD",
                     "Rule '" + s.rule_name + "' has threshold " + osmira_base::fixed_number(*s.threshold, 2) +
                         " \u2014 risk of over-merging",
                     "Consider raising threshold to 0.8+ or adding verification rules"});
  }
  for (const MatchStrategySummary& s : plan.match_strategies) {
    if (s.match_type == kExact || !(s.weight > 0.9)) continue;
    flags.push_back({"medium", "HIGH_WEIGHT_FUZZY",
                     "Fuzzy rule '" + s.rule_name + "' has weight " + osmira_base::fixed_number(s.weight, 2) +
                         " \u2014 high trust in approximate matching",
                     "Verify fuzzy algorithm accuracy or reduce weight"});
  }
  if (plan.survivorship_summary.empty()) {
    flags.push_back({"medium", "NO_SURVIVORSHIP",
                     "No survivorship rules defined \u2014 field selection will be arbitrary",
                     "Define survivorship rules to control golden record field selection"});
  }
  bool phone_rule = false;
  for (const MatchStrategySummary& s : plan.match_strategies) {
    if (s.field.find("phone") != std::string::npos) phone_rule = true;
  }
  bool phone_key = false;
  for (const BlockingKeySummary& k : blocking.keys) {
    if (k.name.find("phone") != std::string::npos) phone_key = true;
  }
  if (phone_rule && !phone_key) {
    flags.push_back({"high", "PHONE_WITHOUT_BLOCKING",
                     "Phone match rule without phone-based blocking key \u2014 phone reuse risk",
                     "Add a phone-based blocking key (e.g., area code)"});
  }
  if (child(child(doc.get("decision"), "thresholds"), "review") == nullptr) {
    flags.push_back({"medium", "NO_REVIEW_THRESHOLD",
                     "No review threshold \u2014 all decisions are merge-or-reject with no review band",
                     "Add a review threshold for ambiguous matches"});
  }
  if (plan.sources.size() == 1) {
    flags.push_back({"low", "SINGLE_SOURCE", "Only one source \u2014 no cross-system identity resolution",
                     "Add additional sources for cross-system matching"});
  }
  if (doc.get("temporal") == nullptr) {
    flags.push_back({"low", "MISSING_TEMPORAL",
                     "No temporal configuration \u2014 identity resolution is not time-aware",
                     "Add temporal config if entities have time-dependent attributes"});
  }
  return flags;
}

std::string thresholds_text(const Value& doc) {
  const Value* thresholds = child(doc.get("decision"), "thresholds");
  const std::optional<double> match = number_of(child(thresholds, "match"));
  const std::optional<double> review = number_of(child(thresholds, "review"));
  if (!match) return "not configured";
  std::string out = "merge >= " + osmira_base::plain_number(*match);
  if (review) out += ", review >= " + osmira_base::plain_number(*review);
  return out;
}

std::string build_summary(const Value& doc, const PlanResult& plan) {
  std::vector<std::string> source_names;
  for (const PlanSource& s : plan.sources) source_names.push_back(s.name);
  std::vector<std::string> signals;
  for (const MatchStrategySummary& s : plan.match_strategies) signals.push_back(signal_label(s));
  std::vector<std::string> key_names;
  for (const BlockingKeySummary& k : plan.blocking_analysis.keys) key_names.push_back(k.name);

  size_t critical = 0, high = 0, medium = 0;
  for (const RiskFlag& f : plan.risk_flags) {
    if (f.severity == "critical") ++critical;
    else if (f.severity == "high") ++high;
    else if (f.severity == "medium") ++medium;
  }

  const std::vector<std::string> lines = {
      "  Identity:     " + plan.entity + " (" + plan.identity_version + ")",
      "  Sources:      " + std::to_string(plan.sources.size()) + " (" + join(source_names, ", ") + ")",
      "  Signals:      " + join(signals, ", "),
      "  Blocking:     " + (key_names.empty() ? std::string(kNone) : join(key_names, ", ")),
      "  Thresholds:   " + thresholds_text(doc),
      "  Stages:       8 execution stages",
      "  Survivorship: " + std::to_string(plan.survivorship_summary.size()) + " fields configured",
      "  Risk flags:   " + std::to_string(critical) + " critical, " + std::to_string(high) + " high, " +
          std::to_string(medium) + " medium",
      "  Plan hash:    " + plan.plan_hash.substr(0, 15) + "...",
  };
  return join(lines, "\n");
}

Value optional_float(const std::optional<double>& x) { return x ? Value(*x) : Value(); }

}  // namespace

PlanResult generate_plan_from_tree(const Value& doc) {
  PlanResult plan;
  plan.entity = text_or(child(doc.get("entity"), "name"), kUnknown);
  plan.identity_version = text_or(doc.get("identity_version"), kUnknown);
  plan.sources = read_sources(doc);
  plan.match_strategies = read_strategies(doc);
  plan.survivorship_summary = read_survivorship(doc);
  plan.blocking_analysis = read_blocking(doc);
  plan.execution_stages = build_stages(plan.sources, plan.blocking_analysis, plan.match_strategies);
  plan.plan_hash = document_hash(doc);
  plan.risk_flags = build_risk_flags(doc, plan);
  plan.summary = build_summary(doc, plan);
  return plan;
}

osmira_base::Result<PlanResult> generate_plan(std::string_view yaml_text) {
  osmira_base::Result<Value> doc = parser::parse_yaml(yaml_text);
  if (!doc.ok()) return osmira_base::Error(std::string(kParseFailure));
  return generate_plan_from_tree(*doc);
}

Value to_value(const PlanResult& plan) {
  Value sources = Value::array();
  for (const PlanSource& s : plan.sources) {
    Value o = Value::object();
    o.set("name", s.name);
    o.set("system", s.system);
    o.set("field_count", s.field_count);
    sources.push(std::move(o));
  }

  Value stages = Value::array();
  for (const ExecutionStage& s : plan.execution_stages) {
    Value o = Value::object();
    o.set("stage", s.stage);
    o.set("name", s.name);
    o.set("description", s.description);
    o.set("inputs", string_array(s.inputs));
    o.set("outputs", string_array(s.outputs));
    stages.push(std::move(o));
  }

  Value strategies = Value::array();
  for (const MatchStrategySummary& s : plan.match_strategies) {
    Value o = Value::object();
    o.set("rule_name", s.rule_name);
    o.set("match_type", s.match_type);
    o.set("field", s.field);
    o.set("algorithm", s.algorithm ? Value(*s.algorithm) : Value());
    o.set("threshold", optional_float(s.threshold));
    o.set("weight", s.weight);
    o.set("evaluation_order", s.evaluation_order);
    strategies.push(std::move(o));
  }

  Value survivorship = Value::array();
  for (const SurvivorshipSummary& s : plan.survivorship_summary) {
    Value o = Value::object();
    o.set("field", s.field);
    o.set("strategy", s.strategy);
    o.set("source_priority", s.source_priority ? string_array(*s.source_priority) : Value());
    survivorship.push(std::move(o));
  }

  Value keys = Value::array();
  for (const BlockingKeySummary& k : plan.blocking_analysis.keys) {
    Value o = Value::object();
    o.set("name", k.name);
    o.set("transformation", k.transformation);
    keys.push(std::move(o));
  }
  Value blocking = Value::object();
  blocking.set("strategy", plan.blocking_analysis.strategy);
  blocking.set("keys", std::move(keys));
  blocking.set("estimated_reduction", plan.blocking_analysis.estimated_reduction);
  blocking.set("warnings", string_array(plan.blocking_analysis.warnings));

  Value flags = Value::array();
  for (const RiskFlag& f : plan.risk_flags) {
    Value o = Value::object();
    o.set("severity", f.severity);
    o.set("code", f.code);
    o.set("message", f.message);
    o.set("recommendation", f.recommendation);
    flags.push(std::move(o));
  }

  Value out = Value::object();
  out.set("entity", plan.entity);
  out.set("identity_version", plan.identity_version);
  out.set("plan_hash", plan.plan_hash);
  out.set("sources", std::move(sources));
  out.set("execution_stages", std::move(stages));
  out.set("match_strategies", std::move(strategies));
  out.set("survivorship_summary", std::move(survivorship));
  out.set("blocking_analysis", std::move(blocking));
  out.set("risk_flags", std::move(flags));
  out.set("summary", plan.summary);
  return out;
}

}  // namespace vintrel_core::commands::plan
