// What the engine benchmarks share to build their synthetic person records and plans: record
// identifiers from a counter, the fields of a record set from a map, and rule builders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "base/time.h"
#include "base/uuid.h"
#include "common/ir/plan.h"
#include "core/engine/types.h"

namespace bench {

// A distinct identifier for every n, ordered like n.
inline osmira_base::Uuid uuid_of(uint64_t n) {
  osmira_base::Uuid u;
  for (int i = 0; i < 8; ++i) u.bytes[15 - i] = static_cast<uint8_t>(n >> (8 * i));
  u.bytes[0] = 0x42;
  return u;
}

// A person record without data: identifier n + 1 in tenant 0, external id "rec-<n>", from
// `source`, updated `seconds_after` seconds after a fixed moment.
inline osmira_core::engine::types::NormalizedEntity person(size_t n, const char* source,
                                                           uint64_t seconds_after) {
  osmira_core::engine::types::NormalizedEntity e;
  e.id = uuid_of(n + 1);
  e.tenant_id = uuid_of(0);
  e.external_id = "rec-" + std::to_string(n);
  e.entity_type = "person";
  e.source_name = source;
  e.last_updated = osmira_base::DateTime{1'700'000'000 + static_cast<int64_t>(seconds_after), 0};
  return e;
}

// Records hold their fields compactly and are not edited in place: the generators edit a map
// and copy it into the record.
inline void set_fields(osmira_core::engine::types::NormalizedEntity& record,
                       const std::map<std::string, std::string>& fields) {
  for (const auto& [name, value] : fields) record.data.insert_or_assign(name, value);
}

// An exact rule (case-insensitive, trimmed) over `field`.
inline osmira_common::ir::CompiledRule exact(std::string name, std::string field, double weight,
                                             std::optional<std::string> normalizer = std::nullopt) {
  namespace ir = osmira_common::ir;
  return ir::CompiledRule{std::move(name),
                          ir::CompiledRuleType{ir::CompiledRuleType::Exact{
                              std::move(field), weight, true, true, std::move(normalizer)}}};
}

// A similarity rule over `field`.
inline osmira_common::ir::CompiledRule similar(
    std::string name, std::string field, osmira_common::ir::SimilarityAlgorithm algorithm,
    double threshold, double weight, std::optional<std::string> normalizer = std::nullopt) {
  namespace ir = osmira_common::ir;
  return ir::CompiledRule{std::move(name),
                          ir::CompiledRuleType{ir::CompiledRuleType::Similarity{
                              std::move(field), algorithm, threshold, weight, std::move(normalizer)}}};
}

}  // namespace bench
