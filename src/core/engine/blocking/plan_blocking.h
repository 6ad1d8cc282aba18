// Blocking by the plan's compiled keys: each key names fields, each field value becomes one
// or more variants through the key's transformations (Soundex code, trigrams, normalised
// phone, ...), and the key's block keys are the combinations of one variant per field
// joined by "|".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/ir/plan.h"
#include "core/engine/blocking/blocking.h"

namespace osmira_core::engine::blocking {

// At most this many block keys come from one blocking key of one record; the fan-out of
// transformations such as trigrams over several fields is cut there.
inline constexpr size_t kMaxCombinationsPerKey = 100;

// Appends the variants that `transformation` makes of `variant` to `out`, but no more than
// `limit` of them (every transformation makes at least one):
//   lowercase          full Unicode lower case
//   first_initial      the first character (case kept); "" for ""
//   soundex            the American Soundex code
//   area_code          the first three ASCII digits, after dropping a leading "1" of a
//                      number with more than ten digits; fewer than three digits: unchanged
//   last4              the last four ASCII digits; fewer than four: unchanged
//   trigrams           every run of three consecutive characters, duplicates kept; fewer
//                      than three characters: unchanged
//   double_metaphone   the primary Double Metaphone code of at most four characters
//   normalize_*        the named normalizer's result; a failing one leaves the value as is
void transform_variant(osmira_common::ir::BlockingTransformation transformation,
                       std::string_view variant, std::vector<std::string>& out, size_t limit);

// The plan's blocking keys as a strategy.
//
// For each blocking key in order: the combination list starts as [""]; each field in order
// turns its value into variants (the transformations applied in order, each to every current
// variant) and every combination is extended by every variant (the first field's variant
// alone, later ones after "|"), outer order by combination. A field the record lacks drops
// the whole key. Once a key holds more than kMaxCombinationsPerKey combinations, the first
// kMaxCombinationsPerKey are its output and its remaining fields are not looked at. A key
// without fields gives the single key "". The outputs of all keys are concatenated.
class PlanBlocking final : public BlockingStrategy {
 public:
  explicit PlanBlocking(std::vector<osmira_common::ir::BlockingKey> keys)
      : keys_(std::move(keys)) {}

  std::vector<std::string> generate_block_key(
      const types::NormalizedEntity& entity) const override;
  void append_block_keys(const types::NormalizedEntity& entity, KeyList& keys,
                         KeyScratch& scratch) const override;

  const std::vector<osmira_common::ir::BlockingKey>& keys() const { return keys_; }

 private:
  std::vector<osmira_common::ir::BlockingKey> keys_;
};

}  // namespace osmira_core::engine::blocking
