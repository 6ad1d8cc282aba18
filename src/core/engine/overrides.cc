#include "core/engine/overrides.h"

#include "core/engine/types.h"

namespace osmira_core::engine::overrides {

OverrideResolver::OverrideResolver(std::span<const ManualOverride> overrides) {
  for (const ManualOverride& o : overrides) {
    if (!o.active || !o.second_id) continue;
    kinds_[types::ordered_pair(o.first_id, *o.second_id)] |=
        static_cast<uint8_t>(1u << static_cast<unsigned>(o.kind));
  }
}

std::optional<OverrideKind> OverrideResolver::find(const osmira_base::Uuid& a,
                                                   const osmira_base::Uuid& b) const {
  const auto it = kinds_.find(types::ordered_pair(a, b));
  if (it == kinds_.end()) return std::nullopt;
  for (const OverrideKind kind : {OverrideKind::kSplit, OverrideKind::kLock, OverrideKind::kMerge}) {
    if (it->second & (1u << static_cast<unsigned>(kind))) return kind;
  }
  return std::nullopt;
}

}  // namespace osmira_core::engine::overrides
