// Manual overrides: decisions a person has taken for one pair of entities, which pair
// evaluation applies before any rule is run. A split or a lock keeps the pair apart, a merge
// joins it; a split or lock always beats a merge for the same pair.
//
// The resolver is built once per reconciliation from the caller's ordered list and is then
// only read, by any number of worker threads at once.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "base/keyed_hash.h"
#include "base/uuid.h"

namespace osmira_core::engine::overrides {

enum class OverrideKind { kMerge, kSplit, kLock };

struct ManualOverride {
  OverrideKind kind = OverrideKind::kMerge;
  bool active = true;  // inactive overrides are ignored
  osmira_base::Uuid first_id;
  // The other entity of the pair; an override without one never applies to a pair.
  std::optional<osmira_base::Uuid> second_id;
};

// Answers, for a pair of identifiers in either order, which override applies: split if any
// active split names the pair, else lock, else merge. Only the presence of an applicable
// override of each kind matters, so the list is folded once into a map from the unordered
// pair to the kinds present; a look-up costs one hash probe, none when the list is empty.
class OverrideResolver {
 public:
  OverrideResolver() = default;
  explicit OverrideResolver(std::span<const ManualOverride> overrides);

  std::optional<OverrideKind> resolve(const osmira_base::Uuid& a,
                                      const osmira_base::Uuid& b) const {
    if (kinds_.empty()) return std::nullopt;  // the usual case: no overrides at all
    return find(a, b);
  }
  bool empty() const { return kinds_.empty(); }

 private:
  std::optional<OverrideKind> find(const osmira_base::Uuid& a, const osmira_base::Uuid& b) const;

  // Bit (1 << kind) set for every kind that applies to the pair (smaller, larger). Keyed per
  // process (base/keyed_hash.h): callers choose the identifiers.
  boost::unordered_flat_map<std::pair<osmira_base::Uuid, osmira_base::Uuid>, uint8_t,
                            osmira_base::KeyedUuidPairHash>
      kinds_;
};

}  // namespace osmira_core::engine::overrides
