// Single-core cost of one pair evaluation, against the plain loop that a user would write.
//
// Generated person records are compared all against all in one block, with seven rules:
// Jaro-Winkler on first and last name, normalised Levenshtein on the street address, and
// exact e-mail, phone, birth date and postcode, combined as a weighted sum. Printed side by
// side, all on one worker:
//   plain loop     the same seven comparisons and the weighted sum over pre-normalised
//                  arrays of strings, calling the public similarity functions;
//   pair scorer    the engine's pair path (`PairScorer`: temporal gate, evaluate, tally)
//                  over every pair of the block;
//   reconcile      the whole engine run on the records as one block.
// and the ratio of each to the plain loop. The plain loop calls the same similarity kernels
// (their string forms, which check for ASCII and decode per call), so the ratio is what the
// engine costs around the comparisons: rule program, scoring, temporal gate, tally. Run it
// side by side with another build to compare builds. Prints figures only.
//
//   pair_kernel_bench [records]        (default 5000; 12.5M pairs)
#include <tbb/global_control.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/unicode.h"
#include "bench_people.h"
#include "common/ir/plan.h"
#include "core/engine/engine.h"
#include "core/engine/observability.h"
#include "core/engine/overrides.h"
#include "core/engine/pair_scorer.h"
#include "core/engine/similarity.h"

namespace {

namespace ir = osmira_common::ir;
using osmira_core::engine::ReconciliationEngine;
using osmira_core::engine::types::NormalizedEntity;
namespace engine = osmira_core::engine;

const char* const kFirst[] = {
    "James", "Mary", "Robert", "Patricia", "John", "Jennifer", "Michael", "Linda", "David",
    "Elizabeth", "William", "Barbara", "Richard", "Susan", "Joseph", "Jessica", "Thomas", "Sarah",
    "Charles", "Karen", "Christopher", "Lisa", "Daniel", "Nancy", "Matthew", "Betty", "Anthony",
    "Margaret", "Mark", "Sandra", "Donald", "Ashley", "Steven", "Kimberly", "Paul", "Emily",
    "Andrew", "Donna", "Joshua", "Michelle", "Kenneth", "Carol", "Kevin", "Amanda", "Brian",
    "Dorothy", "George", "Melissa", "Timothy", "Deborah", "Jos\u00e9", "Mar\u00eda",
    "Fran\u00e7ois", "J\u00fcrgen", "Zo\u00eb"};
const char* const kLast[] = {
    "Smith", "Johnson", "Williams", "Brown", "Jones", "Garcia", "Miller", "Davis", "Rodriguez",
    "Martinez", "Hernandez", "Lopez", "Gonzalez", "Wilson", "Anderson", "Thomas", "Taylor",
    "Moore", "Jackson", "Martin", "Lee", "Perez", "Thompson", "White", "Harris", "Sanchez",
    "Clark", "Ramirez", "Lewis", "Robinson", "Walker", "Young", "Allen", "King", "Wright",
    "Scott", "Torres", "Nguyen", "Hill", "Flores", "M\u00fcller", "Schmidt", "Schneider",
    "Fischer", "Weber", "Meyer", "Wagner", "Becker", "Dubois", "Moreau", "Rossi", "Bianchi"};
const char* const kStreets[] = {"Main Street", "Oak Avenue", "Maple Drive", "Cedar Lane",
                                "Elm Street", "Pine Road", "Washington Boulevard", "Lake View",
                                "Hill Crest Road", "Park Place", "Sunset Boulevard", "Bahnhofstra\u00dfe"};

// Persons in one block (the same "region"); one in four is a noisy copy of an earlier one.
std::vector<NormalizedEntity> generate(size_t count) {
  std::mt19937_64 rng(20261207);
  std::vector<NormalizedEntity> out;
  out.reserve(count);
  std::vector<std::map<std::string, std::string>> fields_of;
  fields_of.reserve(count);
  const auto pick = [&](auto& list) { return std::string(list[rng() % std::size(list)]); };
  for (size_t i = 0; i < count; ++i) {
    NormalizedEntity e = bench::person(i, (i % 2 == 0) ? "crm" : "erp", rng() % 10'000'000);
    std::map<std::string, std::string> data;
    if (i > 0 && rng() % 4 == 0) {
      data = fields_of[rng() % i];
      switch (rng() % 4) {
        case 0: {
          std::string& last = data["last_name"];
          if (last.size() > 3) std::swap(last[1], last[2]);
          break;
        }
        case 1: data["address"] = data["address"] + " Apt 2"; break;
        case 2: data.erase("email"); break;
        default: data["first_name"] = data["first_name"] + "a"; break;
      }
    } else {
      const std::string first = pick(kFirst);
      const std::string last = pick(kLast);
      data["first_name"] = first;
      data["last_name"] = last;
      data["address"] = std::to_string(1 + rng() % 2000) + " " + pick(kStreets);
      data["email"] = first + "." + last + std::to_string(rng() % 1000) + "@example.com";
      data["phone"] = std::to_string(200 + rng() % 800) + "-" + std::to_string(1000 + rng() % 9000);
      data["dob"] = std::to_string(1940 + rng() % 60) + "-0" + std::to_string(1 + rng() % 9) + "-1" +
                      std::to_string(rng() % 10);
      data["zip"] = std::to_string(10000 + rng() % 3000);
    }
    data["region"] = "north";
    bench::set_fields(e, data);
    fields_of.push_back(std::move(data));
    out.push_back(std::move(e));
  }
  return out;
}

constexpr double kWeights[7] = {1.5, 2.0, 1.0, 3.0, 2.0, 1.5, 0.5};

ir::IdentityPlan person_plan() {
  ir::IdentityPlan plan;
  plan.entity = "person";
  using A = ir::SimilarityAlgorithm;
  plan.match_graph.rules = {
      bench::similar("first_name", "first_name", A::kJaroWinkler, 0.88, kWeights[0]),
      bench::similar("last_name", "last_name", A::kJaroWinkler, 0.9, kWeights[1]),
      bench::similar("address", "address", A::kLevenshtein, 0.8, kWeights[2]),
      bench::exact("email", "email", kWeights[3]),
      bench::exact("phone", "phone", kWeights[4]),
      bench::exact("dob", "dob", kWeights[5]),
      bench::exact("zip", "zip", kWeights[6]),
  };
  plan.blocking.strategy = ir::BlockingStrategy::kComposite;
  plan.blocking.keys = {ir::BlockingKey{{"region"}, {}}};
  plan.decision.match_threshold = 0.85;
  plan.decision.review_threshold = 0.65;
  plan.decision.tie_breaking = {ir::CompiledTieBreaker::kLowestEntityId};
  return plan;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The reference: pre-normalised columns (trimmed and lower-cased as the exact rules compare
// them) and the seven comparisons written out by hand.
double plain_loop(const std::vector<NormalizedEntity>& records, uint64_t& merges) {
  const size_t n = records.size();
  std::vector<std::string> columns[7];
  std::vector<uint8_t> present[7];
  const char* const fields[7] = {"first_name", "last_name", "address", "email", "phone", "dob", "zip"};
  for (const NormalizedEntity& e : records) {
    for (size_t f = 0; f < 7; ++f) {
      const auto it = e.data.find(std::string_view(fields[f]));
      present[f].push_back(it != e.data.end());
      std::string v = it == e.data.end() ? std::string() : std::string(it->second);
      if (f >= 3) v = osmira_base::unicode::to_lowercase(osmira_base::unicode::trim_whitespace(v));
      columns[f].push_back(std::move(v));
    }
  }
  const auto start = std::chrono::steady_clock::now();
  merges = 0;
  for (size_t i = 0; i + 1 < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      // A value missing on either side takes its rule's weight out of the sum.
      double score = 0.0, weight = 0.0;
      for (size_t f = 0; f < 7; ++f) {
        if (!present[f][i] || !present[f][j]) continue;
        const std::string& x = columns[f][i];
        const std::string& y = columns[f][j];
        const double s = f < 2    ? engine::jaro_winkler(x, y)
                         : f == 2 ? engine::normalized_levenshtein(x, y)
                                  : static_cast<double>(x == y);
        score += kWeights[f] * s;
        weight += kWeights[f];
      }
      merges += weight > 0.0 && score / weight >= 0.85;
    }
  }
  return seconds_since(start);
}

// The engine's pair path as a block worker drives it.
double scorer_loop(const ReconciliationEngine& eng, const std::vector<NormalizedEntity>& records,
                   uint64_t& merges) {
  std::vector<const NormalizedEntity*> pointers;
  for (const NormalizedEntity& e : records) pointers.push_back(&e);
  const engine::detail::PairScorer scorer(eng.settings(), std::move(pointers), /*parallel=*/false);
  engine::detail::PairScorer::Scratch scratch = scorer.make_scratch();
  engine::observability::PairTally tally(eng.settings().rules.size());
  const engine::overrides::OverrideResolver resolver;
  const auto start = std::chrono::steady_clock::now();
  merges = 0;
  const auto n = static_cast<uint32_t>(records.size());
  for (uint32_t i = 0; i + 1 < n; ++i) {
    for (uint32_t j = i + 1; j < n; ++j) {
      const std::optional<double> factor = scorer.temporal_factor(i, j);
      if (!factor) continue;
      const auto verdict = scorer.evaluate(i, j, *factor, resolver, scratch);
      scorer.tally(verdict, scratch, tally);
      merges += verdict.decision == engine::types::Decision::kMerge;
    }
  }
  return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 5000;
  const std::vector<NormalizedEntity> records = generate(count);
  const ReconciliationEngine eng = ReconciliationEngine::from_plan(person_plan());
  const double pairs = static_cast<double>(count) * static_cast<double>(count - 1) / 2.0;
  tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);

  uint64_t plain_merges = 0, scorer_merges = 0;
  const double plain = plain_loop(records, plain_merges);
  const double scorer = scorer_loop(eng, records, scorer_merges);
  const auto start = std::chrono::steady_clock::now();
  const auto out = eng.reconcile_with_telemetry(records, {});
  const double reconcile = seconds_since(start);

  const double plain_ns = plain * 1e9 / pairs;
  std::printf("%zu records in one block, %.0f pairs, 1 worker\n", count, pairs);
  std::printf("%-14s %8.3f s  %7.1f ns/pair  %5.2fx  (merges %llu)\n", "plain loop", plain, plain_ns,
              1.0, static_cast<unsigned long long>(plain_merges));
  std::printf("%-14s %8.3f s  %7.1f ns/pair  %5.2fx  (merges %llu)\n", "pair scorer", scorer,
              scorer * 1e9 / pairs, scorer * 1e9 / pairs / plain_ns,
              static_cast<unsigned long long>(scorer_merges));
  std::printf("%-14s %8.3f s  %7.1f ns/pair  %5.2fx  (pairs %llu, decisions %zu)\n", "reconcile",
              reconcile, reconcile * 1e9 / pairs, reconcile * 1e9 / pairs / plain_ns,
              static_cast<unsigned long long>(out.telemetry.pairs_evaluated), out.decisions.size());
  return 0;
}
