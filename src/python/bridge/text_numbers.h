// Numbers the texts of a long sequence so that equal texts share one number. The Python
// result repeats a few texts very often (rule names, explanations, blocking keys): numbering
// them on another thread before the conversion (while the driver clusters) leaves the
// lock-holding thread an array look-up per text instead of a hash look-up and a comparison.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "base/keyed_hash.h"
#include "python/bridge/tuning.h"

namespace vintrel_bridge {

struct TextNumbers {
  // Per item of the sequence, the number of its text. Numbers are dense and given in order of
  // first appearance: walking the sequence front to back, each number is first met at the
  // first item holding its text, and number n is met before number n + 1 (so that what the
  // walk keeps per number is filled front to back).
  std::vector<uint32_t> of_item;
  uint32_t distinct = 0;
};

// Numbers a sequence of texts given in groups: group g holds items offsets[g] to
// offsets[g + 1] (offsets has one entry more than there are groups, the first 0), and
// `texts_of(g, emit)` calls `emit(text)` for each of them in order, with string_views that
// stay valid during the call. One pass on the calling thread. Throws std::length_error for
// 2^32 or more items.
template <typename TextsOf>
TextNumbers number_texts(std::span<const size_t> offsets, const TextsOf& texts_of) {
  constexpr size_t kPositions = tuning::kRememberedPositions;
  TextNumbers out;
  const size_t groups = offsets.empty() ? 0 : offsets.size() - 1;
  const size_t count = offsets.empty() ? 0 : offsets.back();
  if (count >= UINT32_MAX) throw std::length_error("too many texts to number");
  out.of_item.resize(count);
  // Keyed per process (base/keyed_hash.h): the texts come from records.
  boost::unordered_flat_map<std::string_view, uint32_t, osmira_base::KeyedStringHash> seen;
  // Groups mostly repeat the texts of the group before at the same positions (a rule's name
  // and often its explanation): a text equal to the last one at its position takes that
  // one's number without a look-up.
  std::array<std::pair<std::string_view, uint32_t>, kPositions> last;  // text, number
  last.fill({std::string_view(), UINT32_MAX});                         // none yet
  uint32_t* item = out.of_item.data();
  for (size_t g = 0; g < groups; ++g) {
    size_t position = 0;
    texts_of(g, [&](std::string_view text) {
      auto* at = position < kPositions ? &last[position] : nullptr;
      ++position;
      if (at != nullptr && at->second != UINT32_MAX && at->first == text) {
        *item++ = at->second;
        return;
      }
      *item = seen.try_emplace(text, static_cast<uint32_t>(seen.size())).first->second;
      if (at != nullptr) *at = {text, *item};
      ++item;
    });
  }
  out.distinct = static_cast<uint32_t>(seen.size());
  return out;
}

}  // namespace vintrel_bridge
