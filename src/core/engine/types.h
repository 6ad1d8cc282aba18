// The records every stage of the engine passes around: the entity record callers hand in
// (read from JSON), one rule's result on a pair, the three-way verdict and the full verdict
// on a pair (written as document trees for the Python result).
//
// Entity records are read straight from the JSON text through the pull reader, with the
// reader's messages and positions; nothing of a partly read record is kept.
#pragma once

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/json_reader.h"
#include "base/result.h"
#include "base/time.h"
#include "base/uuid.h"
#include "base/value.h"

namespace osmira_core::engine::types {

using osmira_base::DateTime;
using osmira_base::Uuid;

// Hash for string-keyed maps that can be searched with a string_view without a copy.
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept {
    return boost::hash<std::string_view>{}(s);
  }
};

// Field name -> field value. Unordered: nothing that leaves the engine may depend on the
// iteration order. `data.find(std::string_view)` needs no temporary string.
using EntityData = boost::unordered_flat_map<std::string, std::string, StringHash, std::equal_to<>>;

// One entity record. The engine never changes one; stages that need their own copy copy
// the whole record.
struct NormalizedEntity {
  Uuid id;
  Uuid tenant_id;
  std::string external_id;  // the record's key in its source system
  std::string entity_type;  // carried, not interpreted
  EntityData data;
  std::string source_name;
  std::optional<DateTime> valid_from;
  std::optional<DateTime> valid_to;
  DateTime last_updated;
};

// (smaller, larger) of two identifiers: the key of an unordered pair.
inline std::pair<Uuid, Uuid> ordered_pair(const Uuid& a, const Uuid& b) {
  return b < a ? std::pair(b, a) : std::pair(a, b);
}

// One rule's outcome on one pair.
struct RuleResult {
  std::string rule_name;
  std::string explanation;
  double score = 0.0;   // similarity in [0, 1] as the rule computes it
  double weight = 0.0;  // the rule's weight, 0.0 when the rule reports missing data
  bool matched = false;
};

enum class Decision { kMerge, kReview, kNoMerge };

// "merge", "review", "no_merge": the text of every written decision.
std::string_view decision_json_text(Decision decision);
// "Merge", "Review", "NoMerge".
std::string_view decision_display_name(Decision decision);
// The display name lower-cased ("merge", "review", "nomerge"): the telemetry's count keys.
std::string_view decision_telemetry_key(Decision decision);

// The verdict on one pair.
struct MatchDecision {
  Uuid entity_a_id;
  Uuid entity_b_id;
  Decision decision = Decision::kNoMerge;
  double confidence = 0.0;
  std::optional<double> posterior_probability;
  std::vector<RuleResult> rule_results;  // one per rule, in rule order
  std::vector<std::string> matched_on;   // matched rule names, or one reason token
  std::optional<std::string> blocking_key;
  std::optional<double> temporal_adjustment;
};

// Document-tree forms. Floats that are not finite become null. A MatchDecision leaves
// `posterior_probability` out when it has none and writes an absent `blocking_key` or
// `temporal_adjustment` as null.
osmira_base::Value to_json(Decision decision);
osmira_base::Value to_json(const RuleResult& result);
osmira_base::Value to_json(const MatchDecision& decision);

// Reads the entity record that stands next: an object with the nine field names as keys
// (other keys skipped; `valid_from` and `valid_to` optional, null meaning absent), or an
// array of the nine values in declaration order.
[[nodiscard]] osmira_base::Result<NormalizedEntity> read_entity(osmira_base::json::Reader& reader);

// Reads a whole JSON text holding an array of entity records; only white space may follow.
// The error is the reader's message with its " at line L column C" suffix.
[[nodiscard]] osmira_base::Result<std::vector<NormalizedEntity>> read_entities_json(
    std::string_view text);

}  // namespace osmira_core::engine::types
