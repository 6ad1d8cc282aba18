// The temporal gate of pair evaluation: whether two records' validity periods allow them to
// be compared at all, and the factor their score is then multiplied by.
//
// Modes (the strategy of the first source that configures one):
// - latest_only: a record whose `valid_to` lies strictly before the reference is outdated;
//   a pair with an outdated record is invalid.
// - point_in_time: each record must be valid at the reference (`valid_from` absent or not
//   after it, `valid_to` absent or not before it).
// - bi_temporal: the two validity intervals (open ends unbounded) must overlap; touching
//   intervals overlap. Disjoint intervals are not dropped: the pair is scored with factor 0.
//
// Pure and thread-safe.
#pragma once

#include <optional>

#include "base/time.h"
#include "common/ir/enums.h"
#include "core/engine/types.h"

namespace osmira_core::engine::temporal {

enum class TemporalState { kValid, kInvalid, kDisjoint };

struct TemporalResult {
  TemporalState state = TemporalState::kValid;
  double factor = 1.0;  // 1.0 when valid, 0.0 otherwise

  friend bool operator==(const TemporalResult&, const TemporalResult&) = default;
};

class TemporalMatcher {
 public:
  // Without a reference instant the current UTC time is read, once per call and only when
  // the mode and the records need it.
  static TemporalResult evaluate(osmira_common::ir::TemporalStrategy mode,
                                 const types::NormalizedEntity& a,
                                 const types::NormalizedEntity& b,
                                 std::optional<osmira_base::DateTime> reference = std::nullopt);
};

}  // namespace osmira_core::engine::temporal
