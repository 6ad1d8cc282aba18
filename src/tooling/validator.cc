#include "tooling/validator.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <unordered_set>

#include "base/json_writer.h"
#include "base/keyed_hash.h"
#include "base/number_text.h"
#include "base/sha256.h"
#include "tooling/parser.h"

namespace vintrel_core {

using osmira_base::Result;
using osmira_base::Value;

namespace validator {
namespace {

constexpr size_t kMaxRules = 50;
constexpr size_t kMaxSources = 10;
constexpr size_t kMaxBlockingKeys = 5;
constexpr std::string_view kApiVersionPrefix = "vintrel/v";
constexpr std::string_view kLegacySourceKeys[] = {"system", "table", "id", "attributes"};
constexpr std::string_view kModernSourceKeys[] = {"adapter", "location", "primary_key"};

bool has(const Value& node, std::string_view key) { return node.get(key) != nullptr; }

// The node's `key` when present and an array.
const Value::Array* array_at(const Value& node, std::string_view key) {
  const Value* v = node.get(key);
  return v != nullptr && v->is_array() ? &v->as_array() : nullptr;
}

// The node's `key` when present and a string.
const std::string* string_at(const Value& node, std::string_view key) {
  const Value* v = node.get(key);
  return v != nullptr ? v->string() : nullptr;
}

// The node's `key` read as a number (integers converted).
std::optional<double> number_at(const Value& node, std::string_view key) {
  const Value* v = node.get(key);
  return v != nullptr ? v->number() : std::nullopt;
}

template <size_t N>
bool has_any(const Value& node, const std::string_view (&keys)[N]) {
  return std::any_of(std::begin(keys), std::end(keys), [&](std::string_view k) { return has(node, k); });
}

// "Too many <label>: <n>. Maximum is <max>." when a list is longer than allowed.
void check_count(std::vector<std::string>& out, std::string_view label, size_t n, size_t max) {
  if (n > max) {
    out.push_back("Too many " + std::string(label) + ": " + std::to_string(n) + ". Maximum is " +
                  std::to_string(max) + ".");
  }
}

std::string entry_prefix(std::string_view list, size_t i) {
  return std::string(list) + "[" + std::to_string(i) + "]: ";
}

// Whether x lies in [0, 1]; false for NaN, which lies in no range.
bool in_unit_range(double x) { return x >= 0.0 && x <= 1.0; }

void check_unit_range(std::vector<std::string>& out, size_t i, const Value& rule,
                      std::string_view key) {
  const std::optional<double> x = number_at(rule, key);
  if (x && !in_unit_range(*x)) {
    out.push_back(entry_prefix("rules", i) + std::string(key) + " " + osmira_base::plain_number(*x) +
                  " must be between 0 and 1");
  }
}

// A haversine rule's threshold is a distance in kilometres, which only has to be finite and
// above 0.
bool is_haversine(const Value& rule) {
  const std::string* algorithm = string_at(rule, "algorithm");
  return algorithm != nullptr && *algorithm == "haversine";
}

void check_distance(std::vector<std::string>& out, size_t i, const Value& rule,
                    std::string_view key) {
  const std::optional<double> x = number_at(rule, key);
  if (x && !(*x > 0.0 && std::isfinite(*x))) {
    out.push_back(entry_prefix("rules", i) + std::string(key) + " " + osmira_base::plain_number(*x) +
                  " must be a finite distance in km above 0");
  }
}

void check_rules(std::vector<std::string>& out, const Value::Array& rules) {
  check_count(out, "rules", rules.size(), kMaxRules);
  for (size_t i = 0; i < rules.size(); ++i) {
    const Value& rule = rules[i];
    if (!has(rule, "name")) out.push_back(entry_prefix("rules", i) + "missing required field 'name'");
    if (!has(rule, "type")) out.push_back(entry_prefix("rules", i) + "missing required field 'type'");
    check_unit_range(out, i, rule, "weight");
    if (is_haversine(rule)) {
      check_distance(out, i, rule, "threshold");
    } else {
      check_unit_range(out, i, rule, "threshold");
    }
  }
}

// A source is checked in its modern form (adapter/location/primary_key) when it has any of
// those keys, else in its legacy form (system/table/id/attributes) when it has any of those.
void check_sources(std::vector<std::string>& out, const Value::Array& sources) {
  check_count(out, "sources", sources.size(), kMaxSources);
  for (size_t i = 0; i < sources.size(); ++i) {
    const Value& source = sources[i];
    const std::string prefix = entry_prefix("sources", i);
    if (!has(source, "name")) out.push_back(prefix + "missing required field 'name'");
    if (has_any(source, kModernSourceKeys)) {
      if (!has(source, "adapter")) {
        out.push_back(prefix + "missing required field 'adapter' (modern source format)");
      }
    } else if (has_any(source, kLegacySourceKeys)) {
      for (std::string_view key : kLegacySourceKeys) {
        if (!has(source, key)) out.push_back(prefix + "missing required field '" + std::string(key) + "'");
      }
    } else {
      out.push_back(prefix + "must have either 'adapter' (modern) or 'system' (legacy) field");
    }
  }
}

void check_probability(std::vector<std::string>& out, const std::string& prefix,
                       const Value& field, std::string_view key) {
  const std::optional<double> p = number_at(field, key);
  if (!p) return;
  if (!in_unit_range(*p)) {
    out.push_back(prefix + std::string(key) + " " + osmira_base::plain_number(*p) +
                  " is outside valid range [0, 1]");
  } else if (*p == 0.0 || *p == 1.0) {
    out.push_back(prefix + std::string(key) + " " + osmira_base::plain_number(*p) +
                  " would cause ln(0); use a value in (0, 1) exclusive, e.g. 0.0001 or 0.9999");
  }
}

void check_fs_fields(std::vector<std::string>& out, const Value& root) {
  const Value* decision = root.get("decision");
  const Value* scoring = decision != nullptr ? decision->get("scoring") : nullptr;
  const Value::Array* fields = scoring != nullptr ? array_at(*scoring, "fields") : nullptr;
  if (fields == nullptr) return;
  for (size_t i = 0; i < fields->size(); ++i) {
    const Value& field = (*fields)[i];
    const std::string* name = string_at(field, "name");
    const std::string prefix = entry_prefix("decision.scoring.fields", i) + "FS field '" +
                               (name != nullptr ? *name : std::string("unknown")) + "' ";
    check_probability(out, prefix, field, "m_probability");
    check_probability(out, prefix, field, "u_probability");
  }
}

// Field names declared by the sources, in first-seen order, each once. The texts point into
// the tree.
struct KnownFields {
  std::vector<std::string_view> order;
  // Keyed per process (base/keyed_hash.h), as is `seen` below: the names come from the spec.
  std::unordered_set<std::string_view, osmira_base::KeyedStringHash> names;

  void add(std::string_view name) {
    if (names.insert(name).second) order.push_back(name);
  }
};

KnownFields known_fields(const Value& root) {
  KnownFields known;
  const Value::Array* sources = array_at(root, "sources");
  if (sources == nullptr) return known;
  for (const Value& source : *sources) {
    if (const Value* attributes = source.get("attributes"); attributes != nullptr && attributes->is_object()) {
      for (const auto& [key, value] : attributes->as_object()) known.add(key);
    }
    if (const Value::Array* fields = array_at(source, "fields")) {
      for (const Value& f : *fields) {
        if (const std::string* s = f.string()) {
          known.add(*s);
        } else if (const std::string* name = string_at(f, "name")) {
          known.add(*name);
        }
      }
    }
  }
  return known;
}

void check_unknown_fields(std::vector<std::string>& out, const Value& root) {
  const Value::Array* rules = array_at(root, "rules");
  if (rules == nullptr) return;
  const KnownFields known = known_fields(root);
  if (known.order.empty()) return;
  for (const Value& rule : *rules) {
    const std::string* field = string_at(rule, "field");
    if (field == nullptr || known.names.contains(*field)) continue;
    const std::string* name = string_at(rule, "name");
    std::string message = "Rule '" + (name != nullptr ? *name : std::string("unknown")) +
                          "' references unknown field '" + *field + "'.";
    // The first known field that contains the rule's field or is contained in it.
    for (std::string_view k : known.order) {
      if (k.find(*field) != std::string_view::npos || std::string_view(*field).find(k) != std::string_view::npos) {
        message += " Did you mean '" + std::string(k) + "'?";
        break;
      }
    }
    out.push_back(std::move(message));
  }
}

// "<label> name: '<name>'" for every repeat of a string `name` in the array under `list`.
void check_duplicate_names(std::vector<std::string>& out, const Value& root, std::string_view list,
                           std::string_view label) {
  const Value::Array* entries = array_at(root, list);
  if (entries == nullptr) return;
  std::unordered_set<std::string_view, osmira_base::KeyedStringHash> seen;
  for (const Value& entry : *entries) {
    const std::string* name = string_at(entry, "name");
    if (name != nullptr && !seen.insert(*name).second) {
      out.push_back("Duplicate " + std::string(label) + " name: '" + *name + "'");
    }
  }
}

void check_threshold_order(std::vector<std::string>& out, const Value& root) {
  const Value* decision = root.get("decision");
  const Value* thresholds = decision != nullptr ? decision->get("thresholds") : nullptr;
  if (thresholds == nullptr) return;
  const double match = number_at(*thresholds, "match").value_or(1.0);
  const double review = number_at(*thresholds, "review").value_or(0.0);
  const double reject = number_at(*thresholds, "reject").value_or(0.0);
  // Written as "not >=" so that a NaN on either side fails the order as well.
  if (!(match >= review)) out.push_back("Threshold error: 'match' should be >= 'review'");
  if (!(review >= reject)) out.push_back("Threshold error: 'review' should be >= 'reject'");
}

}  // namespace

std::vector<std::string> validate_schema(const Value& doc) {
  std::vector<std::string> out;
  for (std::string_view key : {"api_version", "identity_version", "entity"}) {
    if (!has(doc, key)) out.push_back("Missing required field: " + std::string(key));
  }
  if (const std::string* api = string_at(doc, "api_version"); api != nullptr && !api->starts_with(kApiVersionPrefix)) {
    out.push_back("Invalid api_version format: '" + *api + "'. Expected 'vintrel/v<N>'");
  }
  if (const Value* entity = doc.get("entity"); entity != nullptr && !has(*entity, "name")) {
    out.push_back("entity.name is required");
  }
  if (const Value::Array* rules = array_at(doc, "rules")) check_rules(out, *rules);
  if (const Value::Array* sources = array_at(doc, "sources")) check_sources(out, *sources);
  if (const Value* blocking = doc.get("blocking")) {
    if (const Value::Array* keys = array_at(*blocking, "keys")) {
      check_count(out, "blocking keys", keys->size(), kMaxBlockingKeys);
    }
  }
  check_fs_fields(out, doc);
  return out;
}

std::vector<std::string> validate_semantics(const Value& doc) {
  std::vector<std::string> out;
  check_unknown_fields(out, doc);
  check_duplicate_names(out, doc, "rules", "rule");
  check_duplicate_names(out, doc, "sources", "source");
  check_threshold_order(out, doc);
  return out;
}

}  // namespace validator

Result<std::vector<std::string>> validate_yaml(std::string_view text) {
  ASSIGN_OR_RETURN(Value doc, parser::parse_yaml(text, osmira_base::yaml::NonFinite::kKeep));
  std::vector<std::string> messages = validator::validate_schema(doc);
  std::vector<std::string> semantic = validator::validate_semantics(doc);
  messages.insert(messages.end(), std::make_move_iterator(semantic.begin()),
                  std::make_move_iterator(semantic.end()));
  return messages;
}

std::string document_hash(const Value& doc) {
  return "sha256:" + osmira_base::sha256_hex(osmira_base::compact_json(doc));
}

}  // namespace vintrel_core
