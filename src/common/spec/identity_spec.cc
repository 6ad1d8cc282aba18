#include "common/spec/identity_spec.h"

#include <array>

#include "base/unicode.h"

namespace osmira_common::spec {

std::string_view display_name(AdapterType value) {
  static constexpr std::array<std::string_view, 11> kNames = {
      "Snowflake", "Bigquery", "Redshift", "Databricks", "Postgres", "Pandas",
      "Csv",       "Dbt",      "File",     "Webhook",    "Api"};
  return kNames[static_cast<size_t>(value)];
}

std::string_view display_name(SamplingStrategy value) {
  static constexpr std::array<std::string_view, 3> kNames = {"Random", "Stratified", "TimeBased"};
  return kNames[static_cast<size_t>(value)];
}

std::string_view display_name(AggregateFunction value) {
  static constexpr std::array<std::string_view, 6> kNames = {"Max", "Min",   "Sum",
                                                             "Avg", "Union", "Intersection"};
  return kNames[static_cast<size_t>(value)];
}

std::string default_training_method() { return "manual"; }

std::string SourceSpec::resolved_adapter() const {
  if (adapter) return osmira_base::unicode::to_lowercase(display_name(*adapter));
  if (system) return *system;
  return "unknown";
}

std::string SourceSpec::resolved_location() const {
  if (location) return *location;
  if (table) return *table;
  return "unknown";
}

std::string SourceSpec::resolved_primary_key() const {
  if (primary_key) return *primary_key;
  if (id) return *id;
  return "id";
}

std::vector<std::string> SourceSpec::pii_fields() const {
  std::vector<std::string> names;
  if (!schema) return names;
  for (const auto& [name, field] : *schema) {
    if (field.pii) names.push_back(name);
  }
  return names;
}

const std::string& RuleSpec::name() const {
  return std::visit([](const auto& r) -> const std::string& { return r.name; }, rule);
}

}  // namespace osmira_common::spec
