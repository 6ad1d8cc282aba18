// The Fellegi–Sunter part of a plan: per-field comparator, weight, m and u probabilities and
// log weights, the decision thresholds, the composite bounds and the EM training settings.
// The compiler builds it, EM training rewrites the engine's copy, and it travels to and from
// Python as JSON text (the trained parameters): `write_trained_params` and
// `read_trained_params` below. The same bytes are written for it inside the plan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "common/ir/enums.h"

namespace osmira_common::ir {

// The bounds that the spec compiler and EM training hold every stored m and u to, so that
// both log weights stay finite. Trained parameters outside them were not written by either.
inline constexpr double kMinFsProbability = 0.0001;
inline constexpr double kMaxFsProbability = 0.9999;

struct CompiledFsField {
  std::string name;  // the entity data field scored
  FsComparatorType comparator = FsComparatorType::kExact;
  double weight = 1.0;  // both log weights are already multiplied by it
  double m_probability = 0.0;
  double u_probability = 0.0;
  double w_agree = 0.0;     // weight * ln(m / u)
  double w_disagree = 0.0;  // weight * ln((1 - m) / (1 - u))
  std::optional<std::string> normalizer;

  bool operator==(const CompiledFsField&) const = default;
};

struct CompiledEmTraining {
  static constexpr uint64_t kDefaultMaxRandomPairs = 1000000;
  static constexpr double kDefaultPriorWeight = 0.7;

  uint64_t max_iterations = 0;
  double convergence_threshold = 0.0;
  // "random_sampling": estimate u from random pairs first and hold it fixed during EM.
  std::optional<std::string> estimate_u;
  uint64_t max_random_pairs = kDefaultMaxRandomPairs;
  double prior_weight = kDefaultPriorWeight;

  bool operator==(const CompiledEmTraining&) const = default;
};

struct CompiledFellegiSunterPlan {
  std::vector<CompiledFsField> fields;
  double match_threshold = 0.0;
  double possible_threshold = 0.0;
  double non_match_threshold = 0.0;
  std::optional<double> merge_threshold;
  double max_composite = 0.0;  // sum of the fields' w_agree
  double min_composite = 0.0;  // sum of the fields' w_disagree
  std::optional<CompiledEmTraining> em_training;

  bool operator==(const CompiledFellegiSunterPlan&) const = default;
};

// Appends the record as one compact JSON object by the plan writing rules.
void write_json(std::string& out, const CompiledFsField& field);
void write_json(std::string& out, const CompiledEmTraining& training);
void write_json(std::string& out, const CompiledFellegiSunterPlan& plan);

// The trained-parameters text: exactly the compact JSON object of `plan`.
std::string write_trained_params(const CompiledFellegiSunterPlan& plan);

// Reads trained parameters. Each record may be a JSON object (unknown keys skipped, absent
// optional keys and defaults filled in) or an array of its fields in order. A failure of the
// JSON carries one message ending in " at line L column C". Text that reads but holds an m or
// u outside [kMinFsProbability, kMaxFsProbability] (values no compile or training run writes)
// fails with a message naming the field, e.g.
// "fields[2] (`email`): m_probability 0.0 is outside [0.0001, 0.9999]". JSON has no NaN or
// infinity, and a number beyond the float range fails as "number out of range", so every
// number read is finite.
osmira_base::Result<CompiledFellegiSunterPlan> read_trained_params(std::string_view text);

}  // namespace osmira_common::ir
