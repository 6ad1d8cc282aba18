// The diff of two identity specs, compared on their document trees: rules and sources
// matched by id and compared key by key, the changed leaves of the entity, blocking,
// survivorship, decision and metadata sections, the identity version, and, when either spec
// scores with Fellegi-Sunter, how its per-field probabilities, weights and thresholds moved.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/value.h"

namespace vintrel_core::commands::diff {

// One changed key of a rule present in both specs.
struct RuleChange {
  std::string name;  // the rule's id
  std::string field;  // the changed key
  std::string old_value;  // format_value of the old node
  std::string new_value;
};

// One changed key of a source present in both specs.
struct SourceChange {
  std::string name;
  std::string field;
  std::string old_value;
  std::string new_value;
};

// One changed value of a section, or one Fellegi-Sunter weight or threshold change.
struct FieldChange {
  std::string path;  // dotted path, e.g. "entity.compliance.retention_days"
  std::string old_value;
  std::string new_value;
};

struct ProbabilityChange {
  std::string field;
  double old_value = 0.0;
  double new_value = 0.0;
  std::string impact;  // "increases match likelihood" or "decreases match likelihood"
};

struct FsDiffResult {
  std::vector<std::string> fields_added;
  std::vector<std::string> fields_removed;
  std::vector<ProbabilityChange> m_probability_changes;
  std::vector<ProbabilityChange> u_probability_changes;
  std::vector<FieldChange> weight_changes;
  std::vector<FieldChange> threshold_changes;
  double max_composite_delta = 0.0;
};

struct DiffResult {
  std::vector<std::string> rules_added;
  std::vector<std::string> rules_removed;
  std::vector<RuleChange> rules_modified;
  std::vector<std::string> sources_added;
  std::vector<std::string> sources_removed;
  std::vector<SourceChange> sources_modified;
  bool entity_changed = false;
  std::vector<FieldChange> entity_changes;
  bool blocking_changed = false;
  std::vector<FieldChange> blocking_changes;
  bool thresholds_changed = false;  // the only trace of decision threshold changes
  bool survivorship_changed = false;
  std::vector<FieldChange> survivorship_changes;
  bool scoring_changed = false;
  std::vector<FieldChange> scoring_changes;
  std::vector<FieldChange> decision_changes;  // decision keys other than thresholds and scoring
  bool metadata_changed = false;
  std::vector<FieldChange> metadata_changes;
  bool version_changed = false;
  std::string summary;
  std::optional<FsDiffResult> fs_changes;  // present only when it holds at least one change
};

// Compares two parsed specs, old first. Never fails.
DiffResult compute_diff_trees(const osmira_base::Value& old_doc, const osmira_base::Value& new_doc);

// Parses both texts (the old one first; the first parse error is returned unchanged) and
// compares them.
osmira_base::Result<DiffResult> compute_diff(std::string_view old_yaml, std::string_view new_yaml);

// The text of an old or new value: "<absent>" for nothing, "null", a string's own text
// unquoted, and the compact JSON text of every other node.
std::string format_value(const osmira_base::Value* node);

// The keys of those of `a` and `b` that are objects, without repeats, in ascending byte order.
std::vector<std::string> merged_object_keys(const osmira_base::Value* a, const osmira_base::Value* b);

// Appends to `out` the changed leaves between `a` and `b` under the dotted `prefix`, in
// depth-first order of the merged keys. Objects are descended into, arrays never: a changed
// array is one record holding both whole arrays. Walks with an explicit stack.
void collect_value_changes(std::string_view prefix, const osmira_base::Value& a,
                           const osmira_base::Value& b, std::vector<FieldChange>& out);

// The result as a document tree; "fs_changes" is left out when absent.
osmira_base::Value to_value(const DiffResult& diff);

}  // namespace vintrel_core::commands::diff
