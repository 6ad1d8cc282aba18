// Small builders for engine tests: records, compiled rules and plans.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/time.h"
#include "base/uuid.h"
#include "common/ir/plan.h"
#include "core/engine/types.h"

namespace osmira_core::engine::testing {

namespace ir = osmira_common::ir;
using osmira_base::DateTime;
using osmira_base::Uuid;
using types::NormalizedEntity;

// The identifier whose last two bytes hold `n` (so identifiers order like their numbers).
inline Uuid id(uint32_t n) {
  Uuid u;
  u.bytes[12] = static_cast<uint8_t>(n >> 24);
  u.bytes[13] = static_cast<uint8_t>(n >> 16);
  u.bytes[14] = static_cast<uint8_t>(n >> 8);
  u.bytes[15] = static_cast<uint8_t>(n);
  return u;
}

using Fields = std::initializer_list<std::pair<const char*, const char*>>;

inline NormalizedEntity entity(uint32_t n, Fields fields, std::string external_id = "",
                               std::string source = "crm") {
  NormalizedEntity e;
  e.id = id(n);
  e.tenant_id = id(1'000'000);
  e.external_id = external_id.empty() ? "ext-" + std::to_string(n) : std::move(external_id);
  e.entity_type = "person";
  for (const auto& [k, v] : fields) e.data.insert_or_assign(k, v);
  e.source_name = std::move(source);
  e.last_updated = DateTime{1'700'000'000, 0};
  return e;
}

inline ir::CompiledRule exact_rule(std::string name, std::string field, double weight = 1.0,
                                   bool case_insensitive = false, bool normalize = false,
                                   std::optional<std::string> normalizer = std::nullopt) {
  return ir::CompiledRule{std::move(name),
                          ir::CompiledRuleType{ir::CompiledRuleType::Exact{
                              std::move(field), weight, case_insensitive, normalize,
                              std::move(normalizer)}}};
}

inline ir::CompiledRule similarity_rule(std::string name, std::string field,
                                        ir::SimilarityAlgorithm algorithm, double threshold,
                                        double weight = 1.0,
                                        std::optional<std::string> normalizer = std::nullopt) {
  return ir::CompiledRule{std::move(name),
                          ir::CompiledRuleType{ir::CompiledRuleType::Similarity{
                              std::move(field), algorithm, threshold, weight,
                              std::move(normalizer)}}};
}

inline ir::CompiledRule range_rule(std::string name, std::string field, double tolerance,
                                   double weight = 1.0) {
  return ir::CompiledRule{
      std::move(name),
      ir::CompiledRuleType{ir::CompiledRuleType::Range{std::move(field), tolerance, weight, {}}}};
}

inline ir::CompiledRule composite_rule(std::string name, ir::CompositeOperator op,
                                       std::vector<ir::CompiledRule> children) {
  return ir::CompiledRule{
      std::move(name), ir::CompiledRuleType{ir::CompiledRuleType::Composite{op, std::move(children)}}};
}

inline ir::CompiledRule ml_rule(std::string name, double weight = 1.0) {
  return ir::CompiledRule{
      std::move(name), ir::CompiledRuleType{ir::CompiledRuleType::Ml{"model-1", {"a", "b"}, 0.5, weight}}};
}

inline ir::BlockingKey blocking_key(std::vector<std::string> fields,
                                    std::vector<ir::BlockingTransformation> transformations = {}) {
  return ir::BlockingKey{std::move(fields), std::move(transformations)};
}

// A plan with the given rules, merge threshold 0.8 and review threshold 0.5, no blocking
// keys and no sorted-neighbourhood pass.
inline ir::IdentityPlan plan_with(std::vector<ir::CompiledRule> rules) {
  ir::IdentityPlan plan;
  plan.entity = "person";
  plan.match_graph.rules = std::move(rules);
  plan.decision.match_threshold = 0.8;
  plan.decision.review_threshold = 0.5;
  plan.decision.tie_breaking = {};
  return plan;
}

inline ir::CompiledFsField fs_field(std::string name, double w_agree, double w_disagree) {
  ir::CompiledFsField f;
  f.name = std::move(name);
  f.w_agree = w_agree;
  f.w_disagree = w_disagree;
  return f;
}

}  // namespace osmira_core::engine::testing
