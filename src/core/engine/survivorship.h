// Survivorship: builds the golden record of one cluster, one value for every data field that
// any member record carries, chosen or computed field by field by the plan's survivorship
// policy.
//
// Strategies (per field: the field's policy entry, else the default strategy with no source
// list and no aggregate function):
// - most_recent, custom: the value of the most recent record (see pick_by_most_recent);
// - most_complete: the longest value in bytes, the greatest in byte order among equals;
// - source_priority: the value of the record whose source comes first in the priority list
//   (the first such record among equals), else the most recent value;
// - aggregate: by the function's lower-cased name: "max"/"min" in byte order, "sum"/"avg"
//   of the values that read as numbers, "intersection" (the value when all agree), or the
//   distinct values sorted and joined with ",".
// A field whose strategy yields no value ("avg" with no number, "intersection" of differing
// values) is left out.
//
// A SurvivorshipEngine is prepared for one policy and then only read: any number of threads
// may use one at once. The static functions are pure and thread-safe.
#pragma once

#include <boost/container/flat_map.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/ir/plan.h"
#include "core/engine/types.h"

namespace osmira_core::engine {

// Field name -> value, in ascending byte order of the names: the pairs in one sorted array (a
// million golden records held as trees took twice the memory, node by node).
using GoldenRecord = boost::container::flat_map<std::string, std::string, std::less<>>;

class SurvivorshipEngine {
 public:
  // Prepared for `policy`, which must outlive it: every long source_priority list is indexed
  // here, once, instead of for every cluster and field (a list of thousands of sources made
  // the golden records several times slower).
  explicit SurvivorshipEngine(const osmira_common::ir::SurvivorshipPolicy& policy);

  // construct_golden_record_of_members under the prepared policy.
  GoldenRecord golden_record_of_members(std::span<const types::NormalizedEntity* const> records,
                                        size_t spare_fields = 0) const;

  // The golden record of the cluster whose member records are `records`, in the caller's
  // order (the order decides complete ties). Empty for no records. Never fails. These
  // prepare the policy for this one cluster: callers with many use an engine.
  static GoldenRecord construct_golden_record(
      std::span<const types::NormalizedEntity> records,
      const osmira_common::ir::SurvivorshipPolicy& policy);
  // The same for member records held elsewhere (no copies), in the caller's order, with room
  // for `spare_fields` more fields that the caller adds (so that the record is sized once).
  static GoldenRecord construct_golden_record_of_members(
      std::span<const types::NormalizedEntity* const> records,
      const osmira_common::ir::SurvivorshipPolicy& policy, size_t spare_fields = 0);

  // The value of `field` in the most recent record that carries it, or nothing when none
  // does. A record's time is its `valid_from`, else its `last_updated`; on equal times the
  // greater `external_id` (byte order) wins, and on a complete tie the later record.
  static std::optional<std::string> pick_by_most_recent(
      std::span<const types::NormalizedEntity> records, std::string_view field);

  // Source name -> rank (the position of its first entry in the list). Keyed per process
  // (types::StringHash): the names come from the spec and are looked up with the records'.
  using SourceRanks = boost::unordered_flat_map<std::string_view, size_t, types::StringHash>;

 private:
  // The prepared ranks of `field_policy`'s list, or null when it is short or absent.
  const SourceRanks* ranks_of(const osmira_common::ir::FieldSurvivorshipPolicy* field_policy) const;

  const osmira_common::ir::SurvivorshipPolicy& policy_;
  // The ranks of each field policy whose list is long. Not keyed: the keys are addresses
  // inside the policy, which no caller chooses (the table mixes their bits).
  boost::unordered_flat_map<const osmira_common::ir::FieldSurvivorshipPolicy*, SourceRanks>
      ranks_;
};

// Reads `text` as a decimal 64-bit float: the whole text must be an optional sign and
// digits with an optional "." and fraction (not both parts empty) and an optional exponent,
// or "inf", "infinity" or "nan" in any letter case. Rounded to the nearest value; too large
// magnitudes read as infinity, too small ones as zero. Exposed for tests.
std::optional<double> read_decimal_number(std::string_view text);

}  // namespace osmira_core::engine
