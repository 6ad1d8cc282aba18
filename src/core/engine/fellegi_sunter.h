// Fellegi-Sunter training: before a run, the engine re-estimates each scored field's m
// probability (the chance that the field agrees on a true match) and u probability (the chance
// that it agrees on a non-match) from the very records it is about to reconcile, and rewrites
// the agreement and disagreement weights that pair scoring then uses.
//
// The pieces, in the order `train_fellegi_sunter` uses them:
//   - field agreement: how far two records agree on one field, in [0, 1], NaN when either
//     record lacks the value;
//   - an optional estimate of u from random record pairs (most random pairs are non-matches),
//     after which u is held fixed;
//   - training pairs from the engine's blocking keys (at most kMaxTrainingPairs);
//   - expectation-maximisation over those pairs, treating matches and non-matches as the two
//     components of a mixture of independent per-field agreements;
//   - blending the trained values with the compiled ones (the prior) and recomputing the
//     weights and the composite bounds.
//
// Threads: training runs once per reconcile call on the caller's thread with the engine
// borrowed exclusively. Given a cancel flag, training looks at it every few tenths of a
// millisecond of work (string comparisons weighed by the bytes they read), also inside the u
// estimate and the EM iterations, and throws osmira_base::Cancelled once it is raised. The
// free functions are pure except the u estimation, which draws from the calling thread's
// generator. The random u estimate varies from run to run; all else is deterministic.
#pragma once

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "common/ir/fellegi_sunter.h"
#include "core/engine/blocking/blocking.h"
#include "core/engine/normalization/normalizers.h"
#include "core/engine/random.h"
#include "core/engine/types.h"

namespace osmira_core::engine {
class ReconciliationEngine;
}  // namespace osmira_core::engine

namespace osmira_core::engine::fellegi_sunter {

// Training never looks at more candidate pairs than this, however large the blocks are.
inline constexpr size_t kMaxTrainingPairs = 10'000;

// Field name -> probability. One entry per field name (a later field with the same name
// replaces an earlier one).
using ProbabilityMap =
    boost::unordered_flat_map<std::string, double, types::StringHash, std::equal_to<>>;

// Field name -> (m_probability, u_probability) as the fields stood when training began.
using PriorMap = boost::unordered_flat_map<std::string, std::pair<double, double>,
                                           types::StringHash, std::equal_to<>>;

// Counts of adjacent character pairs (Unicode scalar values, case kept) of one text.
using Bigram = std::pair<char32_t, char32_t>;
// Not keyed: the reference of the tests for the pair kernel (bigram_cosine_similarity), which
// needs no table; no record value is counted here during a call.
using BigramVector = boost::unordered_flat_map<Bigram, double, boost::hash<Bigram>>;

// Every adjacent character pair of `text` adds 1.0 to its count; fewer than two characters
// give an empty vector. An ill-formed UTF-8 byte counts as one U+FFFD character.
BigramVector bigram_vector(std::string_view text);

// dot(x, y) / (|y| * |x|); 0.0 when either vector is empty or has zero length, exactly 1.0
// when they are equal, never above 1.0.
double cosine_similarity(const BigramVector& x, const BigramVector& y);

// How far records a and b agree on `field`, in [0, 1]; NaN when either lacks the value or
// holds it empty. Both values pass through the field's normalizer when it names one; texts
// that are then byte-equal agree fully whatever the comparator. Otherwise:
//   exact          0.0
//   jaro_winkler   Jaro-Winkler similarity
//   levenshtein    1 - (distance in characters) / (byte length of the longer text)
//   soundex        1.0 when the American Soundex codes are equal, else 0.0
//   metaphone      Double Metaphone (codes of at most 4): equal primaries 1.0, a primary
//                  equal to the other's alternate 0.5, else 0.0
//   cosine         cosine similarity of the bigram vectors
double compute_field_agreement(const types::NormalizedEntity& a, const types::NormalizedEntity& b,
                               const osmira_common::ir::CompiledFsField& field);

// Estimates each field's u as its mean agreement over record pairs: every pair when there
// are at most `max_random_pairs` of them, otherwise `max_random_pairs` distinct pairs drawn
// uniformly with `rng`. A field's estimate is clamped to [0.001, 0.5]; fields that no pair
// could compare get no entry. Fewer than two records or no fields give an empty map.
ProbabilityMap estimate_u_using_random_sampling(
    std::span<const types::NormalizedEntity> records,
    std::span<const osmira_common::ir::CompiledFsField> fields, uint64_t max_random_pairs,
    random::ChaCha8Rng& rng);

// The same with this thread's generator, seeded from the operating system.
ProbabilityMap estimate_u_using_random_sampling(
    std::span<const types::NormalizedEntity> records,
    std::span<const osmira_common::ir::CompiledFsField> fields, uint64_t max_random_pairs);

// One candidate pair for training. The records belong to the caller's list, which outlives
// the pairs.
struct TrainingPair {
  const types::NormalizedEntity* first = nullptr;
  const types::NormalizedEntity* second = nullptr;
};

// The training pairs of `records` under `strategies`: every record is filed under every key
// of every strategy (a key given twice files it twice); each block is put in `external_id`
// byte order (stable); the blocks in key byte order give their pairs of positions i < j
// in that order, a pair shared by several blocks once per block, until kMaxTrainingPairs are
// held.
std::vector<TrainingPair> collect_training_pairs(
    std::span<const std::unique_ptr<blocking::BlockingStrategy>> strategies,
    std::span<const types::NormalizedEntity> records);

// The outcome of EM training.
struct EmResult {
  ProbabilityMap m_probabilities;  // field name -> trained m
  ProbabilityMap u_probabilities;  // field name -> trained u
  uint64_t iterations = 0;
  bool converged = false;
  // One entry per iteration computed (whole cycles are skipped, see EmTrainer).
  std::vector<double> log_likelihood_history;
};

// Expectation-maximisation of the per-field m and u and of the match proportion over a set
// of pairs. Agreement vectors are computed once; per-pair likelihoods are combined in log
// space. Iteration stops when the log-likelihood changes by less than
// `convergence_threshold` between two iterations, or after `max_iterations`. Training ends in
// bounded time whatever the bound and the threshold (0, negative or NaN can never be passed):
// once the state that the next iteration reads (m, u, the match proportion and the previous
// log-likelihood) repeats bit for bit, at a fixed point or round a cycle of L iterations, the
// trainer skips whole cycles and returns exactly the result of the full run
// (`max_iterations`, not converged, values of iteration (remaining mod L) along the cycle).
struct EmTrainer {
  uint64_t max_iterations = 0;
  double convergence_threshold = 0.0;
  bool fix_u = false;  // hold u fixed; re-estimate only m and the match proportion

  // No pairs or no fields: empty maps, zero iterations, converged. `max_iterations` 0: the
  // starting values, zero iterations, not converged. Throws osmira_base::Cancelled soon after
  // `cancel` (when given) is raised.
  EmResult train(std::span<const TrainingPair> pairs,
                 std::span<const osmira_common::ir::CompiledFsField> fields,
                 const osmira_base::CancelFlag* cancel = nullptr) const;
};

// Writes the trained m and u into the plan's fields, each blended with its prior as
// p * prior + (1 - p) * trained with p = `prior_weight` clamped to [0, 1] (a NaN weight counts
// as the default, 0.7) and then clamped to [0.0001, 0.9999], and recomputes
// w_agree = weight * ln(m / u) and w_disagree = weight * ln((1 - m) / (1 - u)). Fields the
// result does not name keep their values. The composite bounds are recomputed in every case.
void apply_em_results(osmira_common::ir::CompiledFellegiSunterPlan& plan, const EmResult& result,
                      const PriorMap& priors, double prior_weight);

// Trains the engine's Fellegi-Sunter parameters in place on `records` (the list the run will
// reconcile): on the records that stand for their identifiers, the last of each, in list
// order, so that earlier copies of an identifier change nothing. Does nothing when the engine
// has no parameters or they carry no EM settings. Its log events (the outcome, the trained
// values) go where the engine's go. Never fails: without usable pairs the parameters stay as
// they were (apart from a random u estimate, which is applied as soon as it is made). Throws
// osmira_base::Cancelled soon after `cancel` (when given) is raised, leaving the engine's
// parameters as they were.
void train_fellegi_sunter(ReconciliationEngine& engine,
                          std::span<const types::NormalizedEntity> records,
                          const osmira_base::CancelFlag* cancel = nullptr);

}  // namespace osmira_core::engine::fellegi_sunter
