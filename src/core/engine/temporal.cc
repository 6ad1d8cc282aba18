#include "core/engine/temporal.h"

namespace osmira_core::engine::temporal {
namespace {

using osmira_base::DateTime;
using osmira_common::ir::TemporalStrategy;

constexpr TemporalResult kValid{TemporalState::kValid, 1.0};
constexpr TemporalResult kInvalid{TemporalState::kInvalid, 0.0};
constexpr TemporalResult kDisjoint{TemporalState::kDisjoint, 0.0};

bool valid_at(const types::NormalizedEntity& e, const DateTime& reference) {
  return (!e.valid_from || *e.valid_from <= reference) &&
         (!e.valid_to || *e.valid_to >= reference);
}

}  // namespace

TemporalResult TemporalMatcher::evaluate(TemporalStrategy mode, const types::NormalizedEntity& a,
                                         const types::NormalizedEntity& b,
                                         std::optional<DateTime> reference) {
  // The clock is read only when a bound has to be compared with it: the answer is the same
  // and most records carry no validity period.
  const auto now = [&] { return reference ? *reference : DateTime::now(); };
  switch (mode) {
    case TemporalStrategy::kLatestOnly: {
      if (!a.valid_to && !b.valid_to) return kValid;
      const DateTime ref = now();
      if (a.valid_to && *a.valid_to < ref) return kInvalid;
      if (b.valid_to && *b.valid_to < ref) return kInvalid;
      return kValid;
    }
    case TemporalStrategy::kPointInTime: {
      if (!a.valid_from && !a.valid_to && !b.valid_from && !b.valid_to) return kValid;
      const DateTime ref = now();
      return valid_at(a, ref) && valid_at(b, ref) ? kValid : kInvalid;
    }
    case TemporalStrategy::kBiTemporal: {
      const DateTime a_start = a.valid_from.value_or(DateTime::earliest());
      const DateTime a_end = a.valid_to.value_or(DateTime::latest());
      const DateTime b_start = b.valid_from.value_or(DateTime::earliest());
      const DateTime b_end = b.valid_to.value_or(DateTime::latest());
      return (a_start > b_end || b_start > a_end) ? kDisjoint : kValid;
    }
  }
  return kValid;
}

}  // namespace osmira_core::engine::temporal
