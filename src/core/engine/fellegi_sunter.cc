#include "core/engine/fellegi_sunter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <optional>

#include "base/unicode.h"
#include "core/engine/clustering.h"
#include "core/engine/engine.h"
#include "core/engine/log.h"
#include "core/engine/phonetic.h"
#include "core/engine/similarity.h"

namespace osmira_core::engine::fellegi_sunter {
namespace {

using osmira_common::ir::CompiledEmTraining;
using osmira_common::ir::CompiledFellegiSunterPlan;
using osmira_common::ir::CompiledFsField;
using osmira_common::ir::FsComparatorType;
using types::NormalizedEntity;

// The records training looks at, by position in its own list.
using RecordRefs = std::span<const NormalizedEntity* const>;

constexpr const char* kTarget = "osmira_core::engine::fellegi_sunter";

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Stored probabilities stay inside these bounds so that both log weights are finite.
constexpr double kMinStoredProbability = 0.0001;
constexpr double kMaxStoredProbability = 0.9999;

// A u estimated from random pairs: random pairs are mostly non-matches, but a field that
// agrees on more than half of them says little, so its u is capped at 0.5.
constexpr double kMinSampledU = 0.001;
constexpr double kMaxSampledU = 0.5;

// The estimate_u value that switches on the random u estimate (and holds u fixed in EM).
constexpr std::string_view kRandomSampling = "random_sampling";

// EM: starting match proportion, the bounds that keep every logarithm finite, the bounds of
// re-estimated values, and the least weight mass that supports a re-estimate.
constexpr double kInitialMatchProportion = 0.1;
constexpr double kMinLogArgument = 1e-10;
constexpr double kMaxLogArgument = 0.9999999999;
constexpr double kMinMatchProportion = 0.01;
constexpr double kMaxMatchProportion = 0.99;
constexpr double kMinTrainedM = 0.01;
constexpr double kMaxTrainedM = 0.99;
constexpr double kMinTrainedU = 0.001;
constexpr double kMaxTrainedU = 0.99;
constexpr double kMinWeightMass = 1e-10;

// Longest Double Metaphone code compared.
constexpr size_t kMetaphoneLength = 4;

// Looks at a cancel flag once per kStride units of work, counted by the caller: a text
// comparison weighs kComparisonUnits plus the bytes of both texts, one field of one pair in
// an EM step one unit. A stride is a few tenths of a millisecond of work, so a raised flag
// is seen well within 10 ms, without a look at the flag per pair. The first call looks.
class CancelPoll {
 public:
  static constexpr uint64_t kStride = uint64_t{1} << 14;
  static constexpr uint64_t kComparisonUnits = 32;

  explicit CancelPoll(const osmira_base::CancelFlag* flag) : flag_(flag) {}

  void work(uint64_t units) {
    if (units < left_) {
      left_ -= units;
      return;
    }
    left_ = kStride;
    osmira_base::stop_if_cancelled(flag_);
  }

 private:
  const osmira_base::CancelFlag* flag_;
  uint64_t left_ = 0;
};

// Clamp that lets NaN through (the caller's NaN is not silently turned into a bound).
double clamp(double value, double low, double high) {
  if (value < low) return low;
  if (value > high) return high;
  return value;
}

// Bit-for-bit equality: a NaN equals the same NaN, and 0.0 differs from -0.0. Two EM states
// that are equal this way give equal next iterations.
bool same_bits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](double x, double y) { return same_bits(x, y); });
}

// The field's value in the record; absent when the record lacks it or holds it empty.
std::optional<std::string_view> field_value(const NormalizedEntity& record, std::string_view name) {
  auto it = record.data.find(name);
  if (it == record.data.end() || it->second.empty()) return std::nullopt;
  return std::string_view(it->second);
}

// Agreement of two (already normalised) texts under one comparator.
double compare_texts(std::string_view a, std::string_view b, FsComparatorType comparator) {
  if (a == b) return 1.0;
  switch (comparator) {
    case FsComparatorType::kExact:
      return 0.0;
    case FsComparatorType::kJaroWinkler:
      return jaro_winkler(a, b);
    case FsComparatorType::kLevenshtein:
      return normalized_levenshtein_by_bytes(a, b);
    case FsComparatorType::kSoundex:
      return soundex(a) == soundex(b) ? 1.0 : 0.0;
    case FsComparatorType::kMetaphone: {
      const DoubleMetaphoneCodes ca = double_metaphone(a, kMetaphoneLength);
      const DoubleMetaphoneCodes cb = double_metaphone(b, kMetaphoneLength);
      if (ca.primary == cb.primary) return 1.0;
      if (ca.primary == cb.alternate || ca.alternate == cb.primary) return 0.5;
      return 0.0;
    }
    case FsComparatorType::kCosine:
      // Same value as cosine_similarity(bigram_vector(a), bigram_vector(b)): the counts are
      // integers, so every sum is exact; this form allocates nothing per pair.
      return bigram_cosine_similarity(a, b);
  }
  return 0.0;
}

// Field values of one record list as the comparators see them, for comparing many pairs of
// it: the raw value, or for a field that names a normalizer its normalised form, worked out
// once per record and kept. The lists must outlive this object.
class ComparableValues {
 public:
  ComparableValues(RecordRefs records, std::span<const CompiledFsField> fields)
      : records_(records), fields_(fields), normalized_(fields.size()) {
    for (size_t f = 0; f < fields.size(); ++f) {
      if (fields[f].normalizer) normalized_[f].resize(records.size());
    }
  }

  // compute_field_agreement(records[i], records[j], fields[f]), counted in `poll`.
  double agreement(size_t i, size_t j, size_t f, CancelPoll& poll) {
    const std::optional<std::string_view> a = value(i, f);
    if (!a) return kNaN;
    const std::optional<std::string_view> b = value(j, f);
    if (!b) return kNaN;
    poll.work(CancelPoll::kComparisonUnits + a->size() + b->size());
    return compare_texts(*a, *b, fields_[f].comparator);
  }

 private:
  std::optional<std::string_view> value(size_t record, size_t f) {
    const std::optional<std::string_view> raw = field_value(*records_[record], fields_[f].name);
    if (!raw || !fields_[f].normalizer) return raw;
    std::optional<std::string>& slot = normalized_[f][record];
    if (!slot) slot = apply_fs_normalizer(*fields_[f].normalizer, *raw);
    return std::string_view(*slot);
  }

  RecordRefs records_;
  std::span<const CompiledFsField> fields_;
  // [field][record]: the normalised value once computed; empty rows for fields without a
  // normalizer. Sized once, so views into the strings stay valid.
  std::vector<std::vector<std::optional<std::string>>> normalized_;
};

// Stores m and u (each clamped to the stored bounds) and the log weights derived from them.
void set_probabilities(CompiledFsField& field, double m, double u) {
  m = clamp(m, kMinStoredProbability, kMaxStoredProbability);
  u = clamp(u, kMinStoredProbability, kMaxStoredProbability);
  field.m_probability = m;
  field.u_probability = u;
  field.w_agree = std::log(m / u) * field.weight;
  field.w_disagree = std::log((1.0 - m) / (1.0 - u)) * field.weight;
}

// max_composite and min_composite: the sums of all fields' w_agree and w_disagree.
void recompute_composites(CompiledFellegiSunterPlan& plan) {
  double max_composite = -0.0;
  double min_composite = -0.0;
  for (const CompiledFsField& field : plan.fields) {
    max_composite += field.w_agree;
    min_composite += field.w_disagree;
  }
  plan.max_composite = max_composite;
  plan.min_composite = min_composite;
}

}  // namespace

BigramVector bigram_vector(std::string_view text) {
  BigramVector counts;
  size_t pos = 0;
  char32_t previous = 0;
  bool first = true;
  while (pos < text.size()) {
    const char32_t c = osmira_base::unicode::decode_utf8(text, pos);
    if (!first) counts[Bigram{previous, c}] += 1.0;
    previous = c;
    first = false;
  }
  return counts;
}

double cosine_similarity(const BigramVector& x, const BigramVector& y) {
  if (x.empty() || y.empty()) return 0.0;
  double dot = 0.0;
  for (const auto& [key, count] : x) {
    auto it = y.find(key);
    if (it != y.end()) dot += count * it->second;
  }
  double norm_x = 0.0;
  for (const auto& entry : x) norm_x += entry.second * entry.second;
  double norm_y = 0.0;
  for (const auto& entry : y) norm_y += entry.second * entry.second;
  if (norm_x == 0.0 || norm_y == 0.0) return 0.0;
  const double cosine = dot / (std::sqrt(norm_y) * std::sqrt(norm_x));
  // Equal vectors score exactly 1.0, which the quotient can miss by a rounding step either
  // way; no score lies above 1.0.
  return cosine >= 1.0 || x == y ? 1.0 : cosine;
}

double compute_field_agreement(const NormalizedEntity& a, const NormalizedEntity& b,
                               const CompiledFsField& field) {
  const std::optional<std::string_view> value_a = field_value(a, field.name);
  const std::optional<std::string_view> value_b = field_value(b, field.name);
  if (!value_a || !value_b) return kNaN;
  if (field.normalizer) {
    const std::string normalized_a = apply_fs_normalizer(*field.normalizer, *value_a);
    const std::string normalized_b = apply_fs_normalizer(*field.normalizer, *value_b);
    return compare_texts(normalized_a, normalized_b, field.comparator);
  }
  return compare_texts(*value_a, *value_b, field.comparator);
}

namespace {

std::vector<const NormalizedEntity*> refs_of(std::span<const NormalizedEntity> records) {
  std::vector<const NormalizedEntity*> refs(records.size());
  for (size_t i = 0; i < records.size(); ++i) refs[i] = &records[i];
  return refs;
}

ProbabilityMap estimate_u(RecordRefs records, std::span<const CompiledFsField> fields,
                          uint64_t max_random_pairs, random::ChaCha8Rng& rng,
                          const osmira_base::CancelFlag* cancel) {
  ProbabilityMap estimates;
  const uint64_t n = records.size();
  if (n < 2 || fields.empty()) return estimates;
  // n(n-1)/2, halving the even factor first; no list that fits in memory overflows it.
  const uint64_t total = n % 2 == 0 ? (n / 2) * (n - 1) : n * ((n - 1) / 2);

  ComparableValues values(records, fields);
  CancelPoll poll(cancel);
  std::vector<double> sums(fields.size(), 0.0);
  std::vector<uint64_t> counts(fields.size(), 0);
  const auto visit_pair = [&](uint64_t i, uint64_t j) {
    poll.work(1);  // a pair whose fields are all absent still costs the look-ups
    for (size_t f = 0; f < fields.size(); ++f) {
      const double agreement = values.agreement(i, j, f, poll);
      if (std::isnan(agreement)) continue;
      sums[f] += agreement;
      ++counts[f];
    }
  };

  if (max_random_pairs < total) {
    random::sample_indices(rng, total, max_random_pairs, [&](uint64_t k) {
      const auto [i, j] = random::pair_at_index(k, n);
      visit_pair(i, j);
    });
  } else {
    for (uint64_t i = 0; i < n; ++i) {
      for (uint64_t j = i + 1; j < n; ++j) visit_pair(i, j);
    }
  }

  for (size_t f = 0; f < fields.size(); ++f) {
    if (counts[f] == 0) continue;
    const double mean = sums[f] / static_cast<double>(counts[f]);
    estimates.insert_or_assign(fields[f].name, clamp(mean, kMinSampledU, kMaxSampledU));
  }
  return estimates;
}

std::vector<TrainingPair> collect_pairs(
    std::span<const std::unique_ptr<blocking::BlockingStrategy>> strategies, RecordRefs records,
    const osmira_base::CancelFlag* cancel) {
  // Block key -> positions of its members, keys in byte order.
  std::map<std::string, std::vector<size_t>> blocks;
  CancelPoll poll(cancel);
  for (size_t position = 0; position < records.size(); ++position) {
    poll.work(CancelPoll::kComparisonUnits * strategies.size());  // a key costs a comparison
    for (const auto& strategy : strategies) {
      for (std::string& key : strategy->generate_block_key(*records[position])) {
        blocks.try_emplace(std::move(key)).first->second.push_back(position);
      }
    }
  }

  std::vector<TrainingPair> pairs;
  for (auto& [key, members] : blocks) {
    if (members.size() < 2) continue;
    std::stable_sort(members.begin(), members.end(), [&](size_t x, size_t y) {
      poll.work(1);  // a block of a million records takes a while to sort
      return records[x]->external_id < records[y]->external_id;
    });
    for (size_t i = 0; i < members.size(); ++i) {
      for (size_t j = i + 1; j < members.size(); ++j) {
        // A record listed twice under one key (repeated key values) is no pair: comparing it
        // with itself would only push every m upwards. Reconciliation skips such pairs too.
        if (records[members[i]]->id == records[members[j]]->id) continue;
        if (pairs.size() == kMaxTrainingPairs) return pairs;
        pairs.push_back(TrainingPair{records[members[i]], records[members[j]]});
      }
    }
  }
  return pairs;
}

}  // namespace

ProbabilityMap estimate_u_using_random_sampling(std::span<const NormalizedEntity> records,
                                                std::span<const CompiledFsField> fields,
                                                uint64_t max_random_pairs,
                                                random::ChaCha8Rng& rng) {
  return estimate_u(refs_of(records), fields, max_random_pairs, rng, nullptr);
}

ProbabilityMap estimate_u_using_random_sampling(std::span<const NormalizedEntity> records,
                                                std::span<const CompiledFsField> fields,
                                                uint64_t max_random_pairs) {
  return estimate_u(refs_of(records), fields, max_random_pairs, random::thread_rng(), nullptr);
}

std::vector<TrainingPair> collect_training_pairs(
    std::span<const std::unique_ptr<blocking::BlockingStrategy>> strategies,
    std::span<const NormalizedEntity> records) {
  return collect_pairs(strategies, refs_of(records), nullptr);
}

EmResult EmTrainer::train(std::span<const TrainingPair> pairs,
                          std::span<const CompiledFsField> fields,
                          const osmira_base::CancelFlag* cancel) const {
  EmResult result;
  if (pairs.empty() || fields.empty()) {
    result.converged = true;
    return result;
  }
  const size_t pair_count = pairs.size();
  const size_t field_count = fields.size();

  std::vector<double> m(field_count);
  std::vector<double> u(field_count);
  for (size_t f = 0; f < field_count; ++f) {
    m[f] = fields[f].m_probability;
    u[f] = fields[f].u_probability;
  }

  // Agreement vectors, row by row (one row per pair), computed once. A pair's comparisons
  // (texts of any length) cost far more than a look at the flag, and there are at most
  // kMaxTrainingPairs of them.
  std::vector<double> agreement(pair_count * field_count);
  for (size_t p = 0; p < pair_count; ++p) {
    osmira_base::stop_if_cancelled(cancel);
    for (size_t f = 0; f < field_count; ++f) {
      agreement[p * field_count + f] =
          compute_field_agreement(*pairs[p].first, *pairs[p].second, fields[f]);
    }
  }

  const auto fill_result_maps = [&] {
    for (size_t f = 0; f < field_count; ++f) {
      result.m_probabilities.insert_or_assign(fields[f].name, m[f]);
      result.u_probabilities.insert_or_assign(fields[f].name, u[f]);
    }
  };

  if (max_iterations == 0) {
    fill_result_maps();
    return result;
  }

  result.iterations = max_iterations;
  // The history grows with the iterations actually run; a huge bound reserves nothing big.
  result.log_likelihood_history.reserve(std::min<uint64_t>(max_iterations, 1024));

  CancelPoll poll(cancel);
  std::vector<double> match_weight(pair_count);
  std::vector<double> ln_m(field_count), ln_not_m(field_count);
  std::vector<double> ln_u(field_count), ln_not_u(field_count);
  double lambda = kInitialMatchProportion;
  double previous_log_likelihood = 0.0;

  // Cycle detection (Brent's): `saved` holds the state at the start of iteration
  // `saved_at`; it moves forward whenever the distance to it reaches the next power of two,
  // so a cycle of any length L is seen within a few multiples of (L + the steps before it).
  // The state compared is everything the next iteration reads: m, u, the match proportion
  // and the previous log-likelihood (the convergence test reads it). From iteration 1 on,
  // equal states mean equal futures; iteration 0 is left out because it skips the test.
  std::vector<double> saved;
  std::vector<double> current;
  uint64_t saved_at = 0;
  uint64_t power = 1;
  uint64_t end = max_iterations;  // lowered once a cycle is known
  bool cycle_known = false;
  const auto capture = [&](std::vector<double>& state) {
    state.clear();
    state.insert(state.end(), m.begin(), m.end());
    state.insert(state.end(), u.begin(), u.end());
    state.push_back(lambda);
    state.push_back(previous_log_likelihood);
  };

  for (uint64_t t = 0; t < end; ++t) {
    if (t >= 1 && !cycle_known) {
      capture(current);
      if (t == 1) {
        saved.swap(current);
        saved_at = 1;
      } else if (same_bits(current, saved)) {
        // The iterations from `saved_at` repeat with period L for ever, with the same
        // convergence test outcomes (none fired in the first period). The full run ends
        // (max_iterations - t) mod L iterations further along the cycle.
        const uint64_t period = t - saved_at;
        cycle_known = true;
        end = t + (max_iterations - t) % period;
        if (t == end) break;
      } else if (t - saved_at == power) {
        saved.swap(current);
        saved_at = t;
        power *= 2;  // power <= t < 2^64 before doubling, and t never reaches 2^63 in practice
      }
    }
    // E-step: each pair's posterior chance of being a match, from the log-likelihoods of the
    // two components, combined with the max-shift so that nothing underflows.
    lambda = clamp(lambda, kMinLogArgument, kMaxLogArgument);
    for (size_t f = 0; f < field_count; ++f) {
      const double mf = clamp(m[f], kMinLogArgument, kMaxLogArgument);
      const double uf = clamp(u[f], kMinLogArgument, kMaxLogArgument);
      ln_m[f] = std::log(mf);
      ln_not_m[f] = std::log(1.0 - mf);
      ln_u[f] = std::log(uf);
      ln_not_u[f] = std::log(1.0 - uf);
    }
    const double ln_lambda = std::log(lambda);
    const double ln_not_lambda = std::log(1.0 - lambda);

    double log_likelihood = 0.0;
    for (size_t p = 0; p < pair_count; ++p) {
      poll.work(field_count + 1);
      const double* row = &agreement[p * field_count];
      double log_match = ln_lambda;
      double log_non_match = ln_not_lambda;
      for (size_t f = 0; f < field_count; ++f) {
        const double a = row[f];
        if (std::isnan(a)) continue;
        log_match += a * ln_m[f] + (1.0 - a) * ln_not_m[f];
        log_non_match += a * ln_u[f] + (1.0 - a) * ln_not_u[f];
      }
      const double shift = std::fmax(log_match, log_non_match);
      const double pair_log_likelihood =
          shift + std::log(std::exp(log_match - shift) + std::exp(log_non_match - shift));
      match_weight[p] = std::fmin(1.0, std::exp(log_match - pair_log_likelihood));
      log_likelihood += pair_log_likelihood;
    }
    result.log_likelihood_history.push_back(log_likelihood);

    if (t > 0 && std::abs(log_likelihood - previous_log_likelihood) < convergence_threshold) {
      result.converged = true;
      result.iterations = t + 1;
      break;
    }
    previous_log_likelihood = log_likelihood;

    // M-step: the match proportion and each field's m (and u unless fixed), weighted by the
    // posteriors over the pairs on which the field could be compared.
    double weight_sum = -0.0;
    for (double w : match_weight) weight_sum += w;
    const double previous_lambda = lambda;
    lambda = clamp(weight_sum / static_cast<double>(pair_count), kMinMatchProportion,
                   kMaxMatchProportion);
    bool unchanged = same_bits(lambda, previous_lambda);
    for (size_t f = 0; f < field_count; ++f) {
      poll.work(pair_count + 1);
      double s_w = 0.0, s_wa = 0.0, s_v = 0.0, s_va = 0.0;
      for (size_t p = 0; p < pair_count; ++p) {
        const double a = agreement[p * field_count + f];
        if (std::isnan(a)) continue;
        const double w = match_weight[p];
        s_w += w;
        s_wa += w * a;
        s_v += 1.0 - w;
        s_va += (1.0 - w) * a;
      }
      if (s_w > kMinWeightMass) {
        const double next = clamp(s_wa / s_w, kMinTrainedM, kMaxTrainedM);
        unchanged = unchanged && same_bits(next, m[f]);
        m[f] = next;
      }
      if (!fix_u && s_v > kMinWeightMass) {
        const double next = clamp(s_va / s_v, kMinTrainedU, kMaxTrainedU);
        unchanged = unchanged && same_bits(next, u[f]);
        u[f] = next;
      }
    }

    // A fixed point: the next iteration would compute exactly this one again, and so would
    // every one after it. With a positive threshold the next E-step converges on its own; a
    // threshold that an unchanged log-likelihood can never pass (0, negative or NaN) would
    // spin through the whole iteration bound (possibly billions) for the same values, so the
    // run ends here with the result of the full run: `max_iterations`, not converged. The
    // history then holds only the iterations actually computed.
    if (unchanged && !(convergence_threshold > 0.0)) break;
  }

  fill_result_maps();
  return result;
}

void apply_em_results(CompiledFellegiSunterPlan& plan, const EmResult& result,
                      const PriorMap& priors, double prior_weight) {
  if (!plan.fields.empty() && !result.m_probabilities.empty()) {
    // A prior weight outside [0, 1] acts as the nearer bound. One that is not a number has no
    // nearer bound and would turn every trained value into NaN (and so every score into a
    // no-merge); it counts as the default weight instead.
    const double p = std::isnan(prior_weight) ? CompiledEmTraining::kDefaultPriorWeight
                                              : clamp(prior_weight, 0.0, 1.0);
    for (CompiledFsField& field : plan.fields) {
      const auto m_it = result.m_probabilities.find(field.name);
      const auto u_it = result.u_probabilities.find(field.name);
      if (m_it == result.m_probabilities.end() || u_it == result.u_probabilities.end()) continue;
      double m = m_it->second;
      double u = u_it->second;
      if (const auto prior = priors.find(field.name); prior != priors.end()) {
        m = p * prior->second.first + (1.0 - p) * m;
        u = p * prior->second.second + (1.0 - p) * u;
      }
      set_probabilities(field, m, u);
    }
  }
  recompute_composites(plan);
}

namespace {

// Training on a copy of the engine's parameters, which the caller then hands back.
void train_plan(CompiledFellegiSunterPlan& plan, const CompiledEmTraining& settings,
                std::span<const std::unique_ptr<blocking::BlockingStrategy>> blocking_strategies,
                RecordRefs records, const osmira_base::CancelFlag* cancel, log::Events* events) {
  // The fields as compiled: the prior of the blend, and the fields the u estimate compares.
  const std::vector<CompiledFsField> initial_fields = plan.fields;
  PriorMap priors;
  for (const CompiledFsField& field : initial_fields) {
    priors.insert_or_assign(field.name, std::pair(field.m_probability, field.u_probability));
  }

  const bool fix_u = settings.estimate_u && *settings.estimate_u == kRandomSampling;
  if (fix_u) {
    const ProbabilityMap estimated =
        estimate_u(records, initial_fields, settings.max_random_pairs, random::thread_rng(),
                   cancel);
    if (!estimated.empty()) {
      for (CompiledFsField& field : plan.fields) {
        const auto it = estimated.find(field.name);
        if (it != estimated.end()) set_probabilities(field, field.m_probability, it->second);
      }
      recompute_composites(plan);
      OSMIRA_LOG_INFO(events, kTarget, "Random u estimation complete: {} fields updated",
                      estimated.size());
    }
  }

  const std::vector<TrainingPair> pairs = collect_pairs(blocking_strategies, records, cancel);
  if (pairs.empty()) return;

  // The trainer starts from the fields as they now stand (with any estimated u).
  const EmTrainer trainer{settings.max_iterations, settings.convergence_threshold, fix_u};
  const EmResult result = trainer.train(pairs, plan.fields, cancel);
  if (result.iterations == 0 && !result.converged) return;  // max_iterations was 0

  apply_em_results(plan, result, priors, settings.prior_weight);
  OSMIRA_LOG_INFO(events, kTarget,
                  "EM training completed: {} iterations, converged={}, fields={}, fix_u={}, "
                  "prior_weight={:.2}",
                  result.iterations, result.converged, plan.fields.size(), fix_u,
                  settings.prior_weight);
  for (const CompiledFsField& field : plan.fields) {
    OSMIRA_LOG_INFO(events, kTarget, "  {} -> m={:.4}, u={:.4}, w_agree={:.3}, w_disagree={:.3}",
                    field.name, field.m_probability, field.u_probability, field.w_agree,
                    field.w_disagree);
  }
}

}  // namespace

void train_fellegi_sunter(ReconciliationEngine& engine, std::span<const NormalizedEntity> records,
                          const osmira_base::CancelFlag* cancel) {
  const auto& current = engine.settings().fs_plan;
  if (!current || !current->em_training) return;
  CompiledFellegiSunterPlan plan = *current;
  const CompiledEmTraining settings = *current->em_training;
  // Only the record standing for each identifier trains: an earlier copy of a repeated
  // identifier (the old data of an updated record) is left out, so that the training is the
  // same as without it.
  const std::vector<uint32_t> standing = standing_positions(records);
  std::vector<const NormalizedEntity*> trained;
  trained.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    if (standing[i] == i) trained.push_back(&records[i]);
  }
  train_plan(plan, settings, engine.settings().blocking_strategies, trained, cancel,
             engine.settings().events);
  engine.set_fs_plan(std::move(plan));
}

}  // namespace osmira_core::engine::fellegi_sunter
