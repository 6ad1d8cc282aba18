#include "tooling/commands/diff.h"

#include <cmath>
#include <initializer_list>
#include <unordered_map>
#include <utility>

#include "base/json_writer.h"
#include "base/keyed_hash.h"
#include "base/number_text.h"
#include "tooling/commands/json_pointer.h"
#include "tooling/commands/tree_helpers.h"
#include "tooling/parser.h"

namespace vintrel_core::commands::diff {
namespace {

using osmira_base::Value;

constexpr std::string_view kAbsent = "<absent>";
constexpr std::string_view kPresent = "<present>";
// Fellegi-Sunter values closer than this are taken as unchanged.
constexpr double kFsTolerance = 1e-10;

// Two optional nodes hold the same thing: both missing, or both present and equal.
bool same(const Value* a, const Value* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return *a == *b;
}

// An element of a keyed list together with its id.
struct Keyed {
  std::string id;
  const Value* node;
};

std::vector<Keyed> source_list(const Value& doc) {
  std::vector<Keyed> out;
  if (const Value::Array* sources = array_of(doc.get("sources"))) {
    for (const Value& source : *sources) {
      const Value* name = source.get("name");
      if (name != nullptr && name->is_string()) out.push_back({name->as_string(), &source});
    }
  }
  return out;
}

// Rules come from "rules" when it is an array, else from "matching" when that is one. A rule
// is identified by "name" whenever it has that key, else by "rule"; the id must be a string.
std::vector<Keyed> rule_list(const Value& doc) {
  std::vector<Keyed> out;
  const Value::Array* rules = array_of(doc.get("rules"));
  if (rules == nullptr) rules = array_of(doc.get("matching"));
  if (rules == nullptr) return out;
  for (const Value& rule : *rules) {
    const Value* id = rule.get("name");
    if (id == nullptr) id = rule.get("rule");
    if (id != nullptr && id->is_string()) out.push_back({id->as_string(), &rule});
  }
  return out;
}

// Each id of a keyed list mapped to the first element bearing it. The views point into
// `list`, which must outlive the index. Keyed per process (base/keyed_hash.h): the ids come
// from the specs compared.
using FirstById =
    std::unordered_map<std::string_view, const Value*, osmira_base::KeyedStringHash>;

FirstById index_first(const std::vector<Keyed>& list) {
  FirstById index;
  for (const Keyed& k : list) index.try_emplace(k.id, k.node);
  return index;
}

// Ids only in `from`, in its order, repeats kept.
std::vector<std::string> missing_from(const std::vector<Keyed>& from, const FirstById& other) {
  std::vector<std::string> out;
  for (const Keyed& k : from) {
    if (!other.contains(k.id)) out.push_back(k.id);
  }
  return out;
}

// Compares two keyed lists: added and removed ids, and one Change per changed key of every
// element present in both (the keys in `skipped` excepted). Values are not descended into.
template <typename Change>
void diff_keyed(const std::vector<Keyed>& old_list, const std::vector<Keyed>& new_list,
                std::initializer_list<std::string_view> skipped, std::vector<std::string>& added,
                std::vector<std::string>& removed, std::vector<Change>& modified) {
  const FirstById old_ids = index_first(old_list);
  const FirstById new_ids = index_first(new_list);
  added = missing_from(new_list, old_ids);
  removed = missing_from(old_list, new_ids);
  for (const Keyed& k : old_list) {
    const auto found = new_ids.find(k.id);
    if (found == new_ids.end()) continue;
    // A repeated id compares its first elements again, and so repeats their records.
    const Value* a = old_ids.at(k.id);
    const Value* b = found->second;
    if (*a == *b) continue;
    for (const std::string& key : merged_object_keys(a, b)) {
      bool skip = false;
      for (std::string_view s : skipped) skip = skip || key == s;
      if (skip) continue;
      const Value* va = a->get(key);
      const Value* vb = b->get(key);
      if (same(va, vb)) continue;
      modified.push_back(Change{k.id, key, format_value(va), format_value(vb)});
    }
  }
}

void diff_version(const Value& old_doc, const Value& new_doc, DiffResult& out,
                  std::string& old_version, std::string& new_version) {
  auto version_text = [](const Value& doc) {
    const Value* v = doc.get("identity_version");
    return v != nullptr && v->is_string() ? v->as_string() : std::string("unknown");
  };
  old_version = version_text(old_doc);
  new_version = version_text(new_doc);
  out.version_changed = old_version != new_version;
}

void diff_section(const Value& old_doc, const Value& new_doc, std::string_view section,
                  bool& changed, std::vector<FieldChange>& changes) {
  const Value* a = old_doc.get(section);
  const Value* b = new_doc.get(section);
  if (a == nullptr && b == nullptr) return;
  if (a == nullptr || b == nullptr) {
    changed = true;
    changes.push_back({std::string(section), std::string(a ? kPresent : kAbsent),
                       std::string(b ? kPresent : kAbsent)});
    return;
  }
  if (*a == *b) return;
  changed = true;
  collect_value_changes(section, *a, *b, changes);
}

void diff_decision(const Value& old_doc, const Value& new_doc, DiffResult& out) {
  const Value* a = old_doc.get("decision");
  const Value* b = new_doc.get("decision");
  if (a == nullptr && b == nullptr) return;
  if (a == nullptr || b == nullptr) {
    out.thresholds_changed = true;
    out.decision_changes.push_back(
        {"decision", std::string(a ? kPresent : kAbsent), std::string(b ? kPresent : kAbsent)});
    return;
  }
  if (*a == *b) return;

  if (!same(a->get("thresholds"), b->get("thresholds"))) out.thresholds_changed = true;

  const Value* scoring_a = a->get("scoring");
  const Value* scoring_b = b->get("scoring");
  if ((scoring_a == nullptr) != (scoring_b == nullptr)) {
    out.scoring_changed = true;
    out.scoring_changes.push_back(
        {"decision.scoring", format_value(scoring_a), format_value(scoring_b)});
  } else if (scoring_a != nullptr && !(*scoring_a == *scoring_b)) {
    out.scoring_changed = true;
    collect_value_changes("decision.scoring", *scoring_a, *scoring_b, out.scoring_changes);
  }

  for (const std::string& key : merged_object_keys(a, b)) {
    if (key == "thresholds" || key == "scoring") continue;
    const Value* va = a->get(key);
    const Value* vb = b->get(key);
    if (same(va, vb)) continue;
    out.decision_changes.push_back({"decision." + key, format_value(va), format_value(vb)});
  }
}

bool uses_fellegi_sunter(const Value* scoring) {
  if (scoring == nullptr) return false;
  const Value* strategy = scoring->get("strategy");
  return strategy != nullptr && strategy->is_string() && strategy->as_string() == "fellegi_sunter";
}

std::vector<Keyed> fs_field_list(const Value* scoring) {
  std::vector<Keyed> out;
  const Value::Array* fields = scoring == nullptr ? nullptr : array_of(scoring->get("fields"));
  if (fields == nullptr) return out;
  for (const Value& field : *fields) {
    const Value* name = field.get("name");
    if (name != nullptr && name->is_string()) out.push_back({name->as_string(), &field});
  }
  return out;
}

// Both values of `key` as numbers, when both are numbers and they moved by more than the
// tolerance.
std::optional<std::pair<double, double>> moved(const Value* a, const Value* b, std::string_view key) {
  const Value* va = a == nullptr ? nullptr : a->get(key);
  const Value* vb = b == nullptr ? nullptr : b->get(key);
  if (va == nullptr || vb == nullptr) return std::nullopt;
  const std::optional<double> x = va->number();
  const std::optional<double> y = vb->number();
  if (!x || !y || !(std::fabs(*x - *y) > kFsTolerance)) return std::nullopt;
  return std::make_pair(*x, *y);
}

std::string four_decimals(double x) { return osmira_base::fixed_number(x, 4); }

void diff_fellegi_sunter(const Value& old_doc, const Value& new_doc, DiffResult& out) {
  const Value* scoring_a = json_pointer(old_doc, "/decision/scoring");
  const Value* scoring_b = json_pointer(new_doc, "/decision/scoring");
  if (!uses_fellegi_sunter(scoring_a) && !uses_fellegi_sunter(scoring_b)) return;

  FsDiffResult fs;
  const std::vector<Keyed> old_fields = fs_field_list(scoring_a);
  const std::vector<Keyed> new_fields = fs_field_list(scoring_b);
  const FirstById old_names = index_first(old_fields);
  const FirstById new_names = index_first(new_fields);
  fs.fields_added = missing_from(new_fields, old_names);
  fs.fields_removed = missing_from(old_fields, new_names);

  for (const Keyed& k : old_fields) {
    const auto found = new_names.find(k.id);
    if (found == new_names.end()) continue;
    const Value* a = old_names.at(k.id);
    const Value* b = found->second;
    if (auto m = moved(a, b, "m_probability")) {
      // A higher m probability (agreement among true matches) raises the match weight.
      fs.m_probability_changes.push_back(
          {k.id, m->first, m->second,
           m->second > m->first ? "increases match likelihood" : "decreases match likelihood"});
    }
    if (auto u = moved(a, b, "u_probability")) {
      // A lower u probability (chance agreement among non-matches) raises the match weight.
      fs.u_probability_changes.push_back(
          {k.id, u->first, u->second,
           u->first > u->second ? "increases match likelihood" : "decreases match likelihood"});
    }
    if (auto w = moved(a, b, "weight")) {
      fs.weight_changes.push_back(
          {"scoring.fields." + k.id + ".weight", four_decimals(w->first), four_decimals(w->second)});
    }
  }

  const Value* thresholds_a = scoring_a == nullptr ? nullptr : scoring_a->get("thresholds");
  const Value* thresholds_b = scoring_b == nullptr ? nullptr : scoring_b->get("thresholds");
  if (thresholds_a != nullptr && thresholds_b != nullptr) {
    for (std::string_view name : {"match", "possible", "non_match"}) {
      if (auto t = moved(thresholds_a, thresholds_b, name)) {
        fs.threshold_changes.push_back({"scoring.thresholds." + std::string(name),
                                        four_decimals(t->first), four_decimals(t->second)});
      }
    }
  }

  if (!fs.fields_added.empty() || !fs.fields_removed.empty() || !fs.m_probability_changes.empty() ||
      !fs.u_probability_changes.empty() || !fs.weight_changes.empty() ||
      !fs.threshold_changes.empty()) {
    out.fs_changes = std::move(fs);
  }
}

std::string build_summary(const DiffResult& d, const std::string& old_version,
                          const std::string& new_version) {
  std::vector<std::string> parts;
  auto count = [](size_t n) { return std::to_string(n); };
  if (d.version_changed) parts.push_back("version: " + old_version + " -> " + new_version);
  if (d.entity_changed) parts.push_back(count(d.entity_changes.size()) + " entity change(s)");
  if (!d.sources_added.empty() || !d.sources_removed.empty() || !d.sources_modified.empty()) {
    parts.push_back("sources: +" + count(d.sources_added.size()) + " -" +
                    count(d.sources_removed.size()) + " ~" + count(d.sources_modified.size()));
  }
  if (d.blocking_changed) parts.push_back(count(d.blocking_changes.size()) + " blocking change(s)");
  if (!d.rules_added.empty() || !d.rules_removed.empty() || !d.rules_modified.empty()) {
    parts.push_back("rules: +" + count(d.rules_added.size()) + " -" + count(d.rules_removed.size()) +
                    " ~" + count(d.rules_modified.size()));
  }
  if (d.survivorship_changed) {
    parts.push_back(count(d.survivorship_changes.size()) + " survivorship change(s)");
  }
  if (d.thresholds_changed) parts.push_back("thresholds changed");
  if (d.scoring_changed) parts.push_back(count(d.scoring_changes.size()) + " scoring change(s)");
  if (!d.decision_changes.empty()) {
    parts.push_back(count(d.decision_changes.size()) + " other decision change(s)");
  }
  if (d.metadata_changed) parts.push_back(count(d.metadata_changes.size()) + " metadata change(s)");
  if (d.fs_changes) {
    const FsDiffResult& fs = *d.fs_changes;
    const size_t total = fs.fields_added.size() + fs.fields_removed.size() +
                         fs.m_probability_changes.size() + fs.u_probability_changes.size() +
                         fs.weight_changes.size() + fs.threshold_changes.size();
    parts.push_back(count(total) + " Fellegi-Sunter change(s)");
  }
  if (parts.empty()) return "No changes detected.";
  return join(parts, "; ");
}

template <typename Change>
Value keyed_changes(const std::vector<Change>& changes) {
  Value out = Value::array();
  for (const Change& c : changes) {
    Value o = Value::object();
    o.set("name", c.name);
    o.set("field", c.field);
    o.set("old_value", c.old_value);
    o.set("new_value", c.new_value);
    out.push(std::move(o));
  }
  return out;
}

Value field_changes(const std::vector<FieldChange>& changes) {
  Value out = Value::array();
  for (const FieldChange& c : changes) {
    Value o = Value::object();
    o.set("path", c.path);
    o.set("old_value", c.old_value);
    o.set("new_value", c.new_value);
    out.push(std::move(o));
  }
  return out;
}

Value probability_changes(const std::vector<ProbabilityChange>& changes) {
  Value out = Value::array();
  for (const ProbabilityChange& c : changes) {
    Value o = Value::object();
    o.set("field", c.field);
    o.set("old_value", c.old_value);
    o.set("new_value", c.new_value);
    o.set("impact", c.impact);
    out.push(std::move(o));
  }
  return out;
}

}  // namespace

std::string format_value(const Value* node) {
  if (node == nullptr) return std::string(kAbsent);
  if (node->is_null()) return "null";
  if (node->is_string()) return node->as_string();
  return osmira_base::compact_json(*node);
}

std::vector<std::string> merged_object_keys(const Value* a, const Value* b) {
  static const Value::Object kNoKeys;
  const Value::Object& oa = a != nullptr && a->is_object() ? a->as_object() : kNoKeys;
  const Value::Object& ob = b != nullptr && b->is_object() ? b->as_object() : kNoKeys;
  // Both maps iterate in ascending byte order: merge them, taking a shared key once.
  std::vector<std::string> out;
  out.reserve(oa.size() + ob.size());
  auto ia = oa.begin();
  auto ib = ob.begin();
  while (ia != oa.end() || ib != ob.end()) {
    if (ib == ob.end() || (ia != oa.end() && ia->first < ib->first)) {
      out.push_back((ia++)->first);
    } else if (ia == oa.end() || ib->first < ia->first) {
      out.push_back((ib++)->first);
    } else {
      out.push_back(ia->first);
      ++ia;
      ++ib;
    }
  }
  return out;
}

void collect_value_changes(std::string_view prefix, const Value& a, const Value& b,
                           std::vector<FieldChange>& out) {
  // Work items in a stack, pushed in reverse so that they pop in depth-first key order. A
  // `compare` item descends; an `emit` item appends one record for a key found on one side.
  struct Item {
    std::string path;
    const Value* a;
    const Value* b;
    bool compare;
  };
  std::vector<Item> stack;
  stack.push_back({std::string(prefix), &a, &b, true});
  while (!stack.empty()) {
    Item item = std::move(stack.back());
    stack.pop_back();
    if (!item.compare) {
      out.push_back({std::move(item.path), format_value(item.a), format_value(item.b)});
      continue;
    }
    if (*item.a == *item.b) continue;
    if (!item.a->is_object() || !item.b->is_object()) {
      out.push_back({std::move(item.path), format_value(item.a), format_value(item.b)});
      continue;
    }
    const std::vector<std::string> keys = merged_object_keys(item.a, item.b);
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
      const Value* ca = item.a->get(*it);
      const Value* cb = item.b->get(*it);
      stack.push_back({item.path + "." + *it, ca, cb, ca != nullptr && cb != nullptr});
    }
  }
}

DiffResult compute_diff_trees(const Value& old_doc, const Value& new_doc) {
  DiffResult out;
  std::string old_version, new_version;
  diff_version(old_doc, new_doc, out, old_version, new_version);
  diff_section(old_doc, new_doc, "entity", out.entity_changed, out.entity_changes);
  diff_keyed(source_list(old_doc), source_list(new_doc), {"name"}, out.sources_added,
             out.sources_removed, out.sources_modified);
  diff_section(old_doc, new_doc, "blocking", out.blocking_changed, out.blocking_changes);
  diff_keyed(rule_list(old_doc), rule_list(new_doc), {"name", "rule"}, out.rules_added,
             out.rules_removed, out.rules_modified);
  diff_section(old_doc, new_doc, "survivorship", out.survivorship_changed, out.survivorship_changes);
  diff_decision(old_doc, new_doc, out);
  diff_section(old_doc, new_doc, "metadata", out.metadata_changed, out.metadata_changes);
  diff_fellegi_sunter(old_doc, new_doc, out);
  out.summary = build_summary(out, old_version, new_version);
  return out;
}

osmira_base::Result<DiffResult> compute_diff(std::string_view old_yaml, std::string_view new_yaml) {
  ASSIGN_OR_RETURN(Value old_doc, parser::parse_yaml(old_yaml));
  ASSIGN_OR_RETURN(Value new_doc, parser::parse_yaml(new_yaml));
  return compute_diff_trees(old_doc, new_doc);
}

Value to_value(const DiffResult& d) {
  Value out = Value::object();
  out.set("rules_added", string_array(d.rules_added));
  out.set("rules_removed", string_array(d.rules_removed));
  out.set("rules_modified", keyed_changes(d.rules_modified));
  out.set("sources_added", string_array(d.sources_added));
  out.set("sources_removed", string_array(d.sources_removed));
  out.set("sources_modified", keyed_changes(d.sources_modified));
  out.set("entity_changed", d.entity_changed);
  out.set("entity_changes", field_changes(d.entity_changes));
  out.set("blocking_changed", d.blocking_changed);
  out.set("blocking_changes", field_changes(d.blocking_changes));
  out.set("thresholds_changed", d.thresholds_changed);
  out.set("survivorship_changed", d.survivorship_changed);
  out.set("survivorship_changes", field_changes(d.survivorship_changes));
  out.set("scoring_changed", d.scoring_changed);
  out.set("scoring_changes", field_changes(d.scoring_changes));
  out.set("decision_changes", field_changes(d.decision_changes));
  out.set("metadata_changed", d.metadata_changed);
  out.set("metadata_changes", field_changes(d.metadata_changes));
  out.set("version_changed", d.version_changed);
  out.set("summary", d.summary);
  if (d.fs_changes) {
    const FsDiffResult& fs = *d.fs_changes;
    Value o = Value::object();
    o.set("fields_added", string_array(fs.fields_added));
    o.set("fields_removed", string_array(fs.fields_removed));
    o.set("m_probability_changes", probability_changes(fs.m_probability_changes));
    o.set("u_probability_changes", probability_changes(fs.u_probability_changes));
    o.set("weight_changes", field_changes(fs.weight_changes));
    o.set("threshold_changes", field_changes(fs.threshold_changes));
    o.set("max_composite_delta", fs.max_composite_delta);
    out.set("fs_changes", std::move(o));
  }
  return out;
}

}  // namespace vintrel_core::commands::diff
