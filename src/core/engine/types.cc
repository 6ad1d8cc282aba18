#include "core/engine/types.h"

#include <array>
#include <cmath>

namespace osmira_core::engine::types {
namespace {

using osmira_base::Error;
using osmira_base::Result;
using osmira_base::Status;
using osmira_base::Value;
using osmira_base::json::Kind;
using osmira_base::json::Reader;

// The nine fields in declaration order, which is also the order of the array form.
enum Field { kId, kTenantId, kExternalId, kEntityType, kData, kSourceName, kValidFrom, kValidTo,
             kLastUpdated, kFieldCount };

constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "id", "tenant_id", "external_id", "entity_type", "data", "source_name",
    "valid_from", "valid_to", "last_updated"};

constexpr bool is_optional(int field) { return field == kValidFrom || field == kValidTo; }

constexpr std::string_view kExpectUuid = "a formatted UUID string";
constexpr std::string_view kExpectInstant = "an RFC 3339 formatted date and time string";
constexpr std::string_view kExpectString = "a string";
constexpr std::string_view kExpectEntity = "struct NormalizedEntity";

int field_index(std::string_view key) {
  for (int f = 0; f < kFieldCount; ++f) {
    if (kFieldNames[f] == key) return f;
  }
  return -1;
}

// Parse failures of the texts inside the strings are positioned right after the string.
Status read_uuid(Reader& reader, Uuid& out) {
  ASSIGN_OR_RETURN(const std::string_view text, reader.read_string(kExpectUuid));
  Result<Uuid> id = Uuid::parse(text);
  if (!id.ok()) return reader.error_here("UUID parsing failed: " + id.error().message());
  out = *id;
  return osmira_base::ok_status();
}

Status read_instant(Reader& reader, DateTime& out) {
  ASSIGN_OR_RETURN(const std::string_view text, reader.read_string(kExpectInstant));
  Result<DateTime> instant = osmira_base::parse_rfc3339(text);
  if (!instant.ok()) return reader.error_here(instant.error().message());
  out = *instant;
  return osmira_base::ok_status();
}

Status read_optional_instant(Reader& reader, std::optional<DateTime>& out) {
  ASSIGN_OR_RETURN(const bool is_null, reader.read_null_if_present());
  if (is_null) {
    out.reset();
    return osmira_base::ok_status();
  }
  DateTime instant;
  RETURN_IF_ERROR(read_instant(reader, instant));
  out = instant;
  return osmira_base::ok_status();
}

// An object of string values; a repeated key keeps its last value.
Status read_data(Reader& reader, EntityData& out) {
  RETURN_IF_ERROR(reader.begin_object());
  std::string_view key;
  while (true) {
    ASSIGN_OR_RETURN(const bool more, reader.next_key(&key));
    if (!more) break;
    std::string name(key);  // the view dies with the next read
    ASSIGN_OR_RETURN(const std::string_view value, reader.read_string(kExpectString));
    out.insert_or_assign(std::move(name), std::string(value));
  }
  return reader.end_object();
}

Status read_field(Reader& reader, int field, NormalizedEntity& e) {
  switch (field) {
    case kId: return read_uuid(reader, e.id);
    case kTenantId: return read_uuid(reader, e.tenant_id);
    case kExternalId: return reader.read_string_into(e.external_id, kExpectString);
    case kEntityType: return reader.read_string_into(e.entity_type, kExpectString);
    case kData: return read_data(reader, e.data);
    case kSourceName: return reader.read_string_into(e.source_name, kExpectString);
    case kValidFrom: return read_optional_instant(reader, e.valid_from);
    case kValidTo: return read_optional_instant(reader, e.valid_to);
    case kLastUpdated: return read_instant(reader, e.last_updated);
    default: return osmira_base::ok_status();
  }
}

Result<NormalizedEntity> read_entity_object(Reader& reader) {
  RETURN_IF_ERROR(reader.begin_object());
  NormalizedEntity e;
  std::array<bool, kFieldCount> seen{};
  std::string_view key;
  while (true) {
    ASSIGN_OR_RETURN(const bool more, reader.next_key(&key));
    if (!more) break;
    const int field = field_index(key);
    if (field < 0) {
      RETURN_IF_ERROR(reader.skip_value());
      continue;
    }
    if (seen[field]) {
      return reader.error_in_object("duplicate field `" + std::string(kFieldNames[field]) + "`");
    }
    seen[field] = true;
    RETURN_IF_ERROR(read_field(reader, field, e));
  }
  for (int field = 0; field < kFieldCount; ++field) {
    if (!seen[field] && !is_optional(field)) {
      return reader.error_in_object("missing field `" + std::string(kFieldNames[field]) + "`");
    }
  }
  RETURN_IF_ERROR(reader.end_object());
  return e;
}

Result<NormalizedEntity> read_entity_array(Reader& reader) {
  RETURN_IF_ERROR(reader.begin_array());
  NormalizedEntity e;
  for (int field = 0; field < kFieldCount; ++field) {
    ASSIGN_OR_RETURN(const bool more, reader.has_next());
    if (!more) {
      return reader.error_in_array("invalid length " + std::to_string(field) +
                                   ", expected struct NormalizedEntity with 9 elements");
    }
    RETURN_IF_ERROR(read_field(reader, field, e));
  }
  RETURN_IF_ERROR(reader.end_array());
  return e;
}

Value float_value(double v) { return std::isfinite(v) ? Value(v) : Value(nullptr); }

// The texts of a decision, one row per value; all empty for a value outside the enumeration.
struct DecisionTexts {
  std::string_view json;
  std::string_view display;
  std::string_view telemetry;
};

DecisionTexts decision_texts(Decision decision) {
  switch (decision) {
    case Decision::kMerge: return {"merge", "Merge", "merge"};
    case Decision::kReview: return {"review", "Review", "review"};
    case Decision::kNoMerge: return {"no_merge", "NoMerge", "nomerge"};
  }
  return {};
}

}  // namespace

std::string_view decision_json_text(Decision decision) { return decision_texts(decision).json; }

std::string_view decision_display_name(Decision decision) {
  return decision_texts(decision).display;
}

std::string_view decision_telemetry_key(Decision decision) {
  return decision_texts(decision).telemetry;
}

Value to_json(Decision decision) { return Value(decision_json_text(decision)); }

Value to_json(const RuleResult& result) {
  Value out = Value::object();
  out.set("rule_name", Value(result.rule_name));
  out.set("score", float_value(result.score));
  out.set("weight", float_value(result.weight));
  out.set("matched", Value(result.matched));
  out.set("explanation", Value(result.explanation));
  return out;
}

Value to_json(const MatchDecision& decision) {
  Value out = Value::object();
  out.set("entity_a_id", Value(decision.entity_a_id.to_string()));
  out.set("entity_b_id", Value(decision.entity_b_id.to_string()));
  out.set("decision", to_json(decision.decision));
  out.set("confidence", float_value(decision.confidence));
  if (decision.posterior_probability) {
    out.set("posterior_probability", float_value(*decision.posterior_probability));
  }
  Value::Array rules;
  rules.reserve(decision.rule_results.size());
  for (const RuleResult& r : decision.rule_results) rules.push_back(to_json(r));
  out.set("rule_results", Value(std::move(rules)));
  Value::Array matched;
  matched.reserve(decision.matched_on.size());
  for (const std::string& m : decision.matched_on) matched.emplace_back(m);
  out.set("matched_on", Value(std::move(matched)));
  out.set("blocking_key",
          decision.blocking_key ? Value(*decision.blocking_key) : Value(nullptr));
  out.set("temporal_adjustment", decision.temporal_adjustment
                                     ? float_value(*decision.temporal_adjustment)
                                     : Value(nullptr));
  return out;
}

Result<NormalizedEntity> read_entity(Reader& reader) {
  ASSIGN_OR_RETURN(const Kind kind, reader.peek());
  if (kind == Kind::kObject) return read_entity_object(reader);
  if (kind == Kind::kArray) return read_entity_array(reader);
  return reader.invalid_type(kExpectEntity);
}

Result<std::vector<NormalizedEntity>> read_entities_json(std::string_view text) {
  Reader reader(text);
  ASSIGN_OR_RETURN(const Kind kind, reader.peek());
  if (kind != Kind::kArray) return reader.invalid_type("a sequence");
  RETURN_IF_ERROR(reader.begin_array());
  std::vector<NormalizedEntity> out;
  while (true) {
    ASSIGN_OR_RETURN(const bool more, reader.has_next());
    if (!more) break;
    ASSIGN_OR_RETURN(NormalizedEntity e, read_entity(reader));
    out.push_back(std::move(e));
  }
  RETURN_IF_ERROR(reader.end_array());
  RETURN_IF_ERROR(reader.end());
  return out;
}

}  // namespace osmira_core::engine::types
