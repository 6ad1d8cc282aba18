#include "common/ir/fellegi_sunter.h"

#include <array>
#include <span>
#include <string>
#include <utility>

#include "base/json_reader.h"
#include "base/number_text.h"
#include "common/ir/json_out.h"

namespace osmira_common::ir {

using osmira_base::Result;
using osmira_base::Status;
using osmira_base::json::Kind;
using osmira_base::json::Reader;
using osmira_base::json::VariantForm;

// ---- Writing -------------------------------------------------------------------------------

void write_json(std::string& out, const CompiledFsField& f) {
  json_out::Object o(out);
  json_out::text(o.key("name"), f.name);
  json_out::enumeration(o.key("comparator"), f.comparator);
  json_out::f64(o.key("weight"), f.weight);
  json_out::f64(o.key("m_probability"), f.m_probability);
  json_out::f64(o.key("u_probability"), f.u_probability);
  json_out::f64(o.key("w_agree"), f.w_agree);
  json_out::f64(o.key("w_disagree"), f.w_disagree);
  json_out::optional(o.key("normalizer"), f.normalizer, json_out::text);
  o.close();
}

void write_json(std::string& out, const CompiledEmTraining& t) {
  json_out::Object o(out);
  json_out::u64(o.key("max_iterations"), t.max_iterations);
  json_out::f64(o.key("convergence_threshold"), t.convergence_threshold);
  json_out::optional(o.key("estimate_u"), t.estimate_u, json_out::text);
  json_out::u64(o.key("max_random_pairs"), t.max_random_pairs);
  json_out::f64(o.key("prior_weight"), t.prior_weight);
  o.close();
}

void write_json(std::string& out, const CompiledFellegiSunterPlan& p) {
  json_out::Object o(out);
  std::string& fields = o.key("fields");
  fields += '[';
  for (size_t i = 0; i < p.fields.size(); ++i) {
    if (i > 0) fields += ',';
    write_json(fields, p.fields[i]);
  }
  fields += ']';
  json_out::f64(o.key("match_threshold"), p.match_threshold);
  json_out::f64(o.key("possible_threshold"), p.possible_threshold);
  json_out::f64(o.key("non_match_threshold"), p.non_match_threshold);
  json_out::optional(o.key("merge_threshold"), p.merge_threshold, json_out::f64);
  json_out::f64(o.key("max_composite"), p.max_composite);
  json_out::f64(o.key("min_composite"), p.min_composite);
  json_out::optional(o.key("em_training"), p.em_training,
                     [](std::string& s, const CompiledEmTraining& t) { write_json(s, t); });
  o.close();
}

std::string write_trained_params(const CompiledFellegiSunterPlan& plan) {
  std::string out;
  out.reserve(256 + 256 * plan.fields.size());
  write_json(out, plan);
  return out;
}

// ---- Reading -------------------------------------------------------------------------------

namespace {

// How one record is read from its object or array form: its name in messages, its field
// names in field order, which fields are required (bit i for field i) and how field i is
// read. Fields that are not required keep the value the record is constructed with (absent,
// or the default) when the text does not give them.
template <typename Rec>
struct RecordReading {
  std::string_view name;
  std::span<const std::string_view> fields;
  uint32_t required;
  Status (*read_field)(Reader& r, Rec& rec, size_t index);
};

template <typename Rec>
Status read_record(Reader& r, const RecordReading<Rec>& reading, Rec& rec) {
  ASSIGN_OR_RETURN(const Kind kind, r.peek());
  if (kind == Kind::kObject) {
    RETURN_IF_ERROR(r.begin_object());
    uint32_t seen = 0;
    std::string_view key;
    while (true) {
      ASSIGN_OR_RETURN(const bool more, r.next_key(&key));
      if (!more) break;
      size_t index = 0;
      while (index < reading.fields.size() && reading.fields[index] != key) ++index;
      if (index == reading.fields.size()) {
        RETURN_IF_ERROR(r.skip_value());  // unknown keys are ignored
        continue;
      }
      const uint32_t bit = uint32_t{1} << index;
      if (seen & bit) {
        return r.error_in_object("duplicate field `" + std::string(reading.fields[index]) + "`");
      }
      seen |= bit;
      RETURN_IF_ERROR(reading.read_field(r, rec, index));
    }
    RETURN_IF_ERROR(r.end_object());
    for (size_t i = 0; i < reading.fields.size(); ++i) {
      const uint32_t bit = uint32_t{1} << i;
      if ((reading.required & bit) && !(seen & bit)) {
        return r.error_here("missing field `" + std::string(reading.fields[i]) + "`");
      }
    }
    return osmira_base::ok_status();
  }
  if (kind == Kind::kArray) {
    RETURN_IF_ERROR(r.begin_array());
    for (size_t i = 0; i < reading.fields.size(); ++i) {
      ASSIGN_OR_RETURN(const bool more, r.has_next());
      if (more) {
        RETURN_IF_ERROR(reading.read_field(r, rec, i));
      } else if (reading.required & (uint32_t{1} << i)) {
        return r.error_in_array("invalid length " + std::to_string(i) + ", expected struct " +
                                std::string(reading.name) + " with " +
                                std::to_string(reading.fields.size()) + " elements");
      }
    }
    return r.end_array();
  }
  return r.invalid_type("struct " + std::string(reading.name));
}

Status read_optional_f64(Reader& r, std::optional<double>& out) {
  ASSIGN_OR_RETURN(const bool is_null, r.read_null_if_present());
  if (is_null) {
    out.reset();
    return osmira_base::ok_status();
  }
  ASSIGN_OR_RETURN(out, r.read_f64());
  return osmira_base::ok_status();
}

Status read_optional_text(Reader& r, std::optional<std::string>& out) {
  ASSIGN_OR_RETURN(const bool is_null, r.read_null_if_present());
  if (is_null) {
    out.reset();
    return osmira_base::ok_status();
  }
  out.emplace();
  return r.read_string_into(*out);
}

Status read_f64(Reader& r, double& out) {
  ASSIGN_OR_RETURN(out, r.read_f64());
  return osmira_base::ok_status();
}

Status read_usize(Reader& r, uint64_t& out) {
  ASSIGN_OR_RETURN(out, r.read_u64("usize"));
  return osmira_base::ok_status();
}

Status read_comparator(Reader& r, FsComparatorType& out) {
  VariantForm form;
  ASSIGN_OR_RETURN(const std::string_view name, r.read_variant_name(&form));
  const std::optional<FsComparatorType> value = enum_from_text<FsComparatorType>(name);
  if (!value) {
    return r.error_here(unknown_variant_message(name, enum_names<FsComparatorType>()));
  }
  out = *value;
  return r.finish_variant(form);
}

constexpr auto kFsFieldNames = std::to_array<std::string_view>(
    {"name", "comparator", "weight", "m_probability", "u_probability", "w_agree", "w_disagree",
     "normalizer"});

Status read_fs_field_member(Reader& r, CompiledFsField& f, size_t index) {
  switch (index) {
    case 0: return r.read_string_into(f.name);
    case 1: return read_comparator(r, f.comparator);
    case 2: return read_f64(r, f.weight);
    case 3: return read_f64(r, f.m_probability);
    case 4: return read_f64(r, f.u_probability);
    case 5: return read_f64(r, f.w_agree);
    case 6: return read_f64(r, f.w_disagree);
    default: return read_optional_text(r, f.normalizer);
  }
}

constexpr RecordReading<CompiledFsField> kFsFieldReading{
    "CompiledFsField", kFsFieldNames, 0b0111'1111, read_fs_field_member};

constexpr auto kEmTrainingNames = std::to_array<std::string_view>(
    {"max_iterations", "convergence_threshold", "estimate_u", "max_random_pairs",
     "prior_weight"});

Status read_em_training_member(Reader& r, CompiledEmTraining& t, size_t index) {
  switch (index) {
    case 0: return read_usize(r, t.max_iterations);
    case 1: return read_f64(r, t.convergence_threshold);
    case 2: return read_optional_text(r, t.estimate_u);
    case 3: return read_usize(r, t.max_random_pairs);
    default: return read_f64(r, t.prior_weight);
  }
}

constexpr RecordReading<CompiledEmTraining> kEmTrainingReading{
    "CompiledEmTraining", kEmTrainingNames, 0b00011, read_em_training_member};

Status read_fs_fields(Reader& r, std::vector<CompiledFsField>& out) {
  ASSIGN_OR_RETURN(const Kind kind, r.peek());
  if (kind != Kind::kArray) return r.invalid_type("a sequence");
  RETURN_IF_ERROR(r.begin_array());
  out.clear();
  while (true) {
    ASSIGN_OR_RETURN(const bool more, r.has_next());
    if (!more) break;
    out.emplace_back();
    RETURN_IF_ERROR(read_record(r, kFsFieldReading, out.back()));
  }
  return r.end_array();
}

Status read_optional_em_training(Reader& r, std::optional<CompiledEmTraining>& out) {
  ASSIGN_OR_RETURN(const bool is_null, r.read_null_if_present());
  if (is_null) {
    out.reset();
    return osmira_base::ok_status();
  }
  out.emplace();
  return read_record(r, kEmTrainingReading, *out);
}

constexpr auto kPlanNames = std::to_array<std::string_view>(
    {"fields", "match_threshold", "possible_threshold", "non_match_threshold", "merge_threshold",
     "max_composite", "min_composite", "em_training"});

Status read_plan_member(Reader& r, CompiledFellegiSunterPlan& p, size_t index) {
  switch (index) {
    case 0: return read_fs_fields(r, p.fields);
    case 1: return read_f64(r, p.match_threshold);
    case 2: return read_f64(r, p.possible_threshold);
    case 3: return read_f64(r, p.non_match_threshold);
    case 4: return read_optional_f64(r, p.merge_threshold);
    case 5: return read_f64(r, p.max_composite);
    case 6: return read_f64(r, p.min_composite);
    default: return read_optional_em_training(r, p.em_training);
  }
}

constexpr RecordReading<CompiledFellegiSunterPlan> kPlanReading{
    "CompiledFellegiSunterPlan", kPlanNames, 0b0110'1111, read_plan_member};

// Refuses probabilities that no compile or training run writes: both are always clamped to
// [kMinFsProbability, kMaxFsProbability]. Outside it a log weight can be infinite or NaN
// (m = u = 0), or a "probability" is no probability at all. NaN fails too.
Status check_probabilities(const CompiledFellegiSunterPlan& plan) {
  for (size_t i = 0; i < plan.fields.size(); ++i) {
    const CompiledFsField& f = plan.fields[i];
    const std::pair<std::string_view, double> probabilities[] = {
        {"m_probability", f.m_probability}, {"u_probability", f.u_probability}};
    for (const auto& [key, p] : probabilities) {
      if (p >= kMinFsProbability && p <= kMaxFsProbability) continue;
      return osmira_base::Error("fields[" + std::to_string(i) + "] (`" + f.name + "`): " +
                                std::string(key) + " " + osmira_base::json_float(p) +
                                " is outside [" + osmira_base::json_float(kMinFsProbability) +
                                ", " + osmira_base::json_float(kMaxFsProbability) + "]");
    }
  }
  return osmira_base::ok_status();
}

}  // namespace

Result<CompiledFellegiSunterPlan> read_trained_params(std::string_view text) {
  Reader r(text);
  CompiledFellegiSunterPlan plan;
  RETURN_IF_ERROR(read_record(r, kPlanReading, plan));
  RETURN_IF_ERROR(r.end());
  RETURN_IF_ERROR(check_probabilities(plan));
  return plan;
}

}  // namespace osmira_common::ir
