// How pair evaluation scales with the number of workers: for each workload, the wall time of
// a batch reconcile with 1, 2, 4 and 8 workers (set with tbb::global_control inside the
// program) and the speedup over one worker. Workloads: one block of 5,000 records; 20 blocks
// of about 1,000 records next to 600 blocks of 4; and multi-key blocking on
// [last_name, zip], [first_name, dob] and [email]. Seven rules (two Jaro-Winkler, one
// Levenshtein, four exact) and the weighted sum. Prints figures only; "cores busy" is the CPU
// time of the run over its wall time, which shows how much of the machine the run got.
//
//   block_speedup_bench [rounds]     (default 3: the best of 3 runs per figure)
//
// The machine may be shared: run it on an otherwise idle machine, or pin it to a set of
// cores and compare like with like, e.g.
//   taskset -c 0-7 build/bench/block_speedup_bench
//   taskset -c 0 build/bench/block_speedup_bench     (every figure on one core)
#include <sys/resource.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_people.h"
#include "common/ir/plan.h"
#include "core/engine/engine.h"

namespace {

namespace ir = osmira_common::ir;
using osmira_core::engine::ReconciliationEngine;
using osmira_core::engine::types::NormalizedEntity;

const char* const kFirst[] = {"James", "Mary", "Robert", "Patricia", "John", "Jennifer",
                              "Michael", "Linda", "David", "Elizabeth", "William", "Barbara",
                              "Richard", "Susan", "Joseph", "Jessica", "Thomas", "Sarah",
                              "Charles", "Karen", "Jos\u00e9", "Mar\u00eda", "Zo\u00eb"};
const char* const kLast[] = {"Smith", "Johnson", "Williams", "Brown", "Jones", "Garcia",
                             "Miller", "Davis", "Rodriguez", "Martinez", "Hernandez", "Lopez",
                             "Wilson", "Anderson", "Taylor", "Moore", "M\u00fcller", "Schmidt",
                             "Dubois", "Rossi"};
const char* const kStreets[] = {"Main Street", "Oak Avenue", "Maple Road", "Cedar Lane",
                                "Elm Street", "Pine Court", "Lake Drive", "Hill Road"};

// Persons, one in four a noisy copy of an earlier one; `group(i)` gives record i's "group"
// field, which the single-key workloads block on.
template <typename Group>
std::vector<NormalizedEntity> generate(size_t count, uint64_t seed, Group&& group) {
  std::mt19937_64 rng(seed);
  std::vector<NormalizedEntity> out;
  out.reserve(count);
  const auto pick = [&](auto& list) { return std::string(list[rng() % std::size(list)]); };
  std::vector<std::map<std::string, std::string>> fields_of;
  fields_of.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    NormalizedEntity e = bench::person(i, i % 2 ? "crm" : "erp", rng() % 10'000'000);
    std::map<std::string, std::string> data;
    if (i > 0 && rng() % 4 == 0) {
      data = fields_of[rng() % i];
      std::string& last = data["last_name"];
      if (last.size() > 3) std::swap(last[1], last[2]);
    } else {
      const std::string first = pick(kFirst);
      const std::string last = pick(kLast);
      data["first_name"] = first;
      data["last_name"] = last;
      data["email"] = first + "." + last + std::to_string(rng() % 100) + "@example.com";
      data["phone"] = std::to_string(2000000000 + rng() % 1000000);
      data["dob"] = std::to_string(1940 + rng() % 60) + "-0" + std::to_string(1 + rng() % 9) + "-1" +
                      std::to_string(rng() % 10);
      data["zip"] = std::to_string(10000 + rng() % 300);
      data["street"] = std::to_string(1 + rng() % 200) + " " + pick(kStreets);
    }
    data["group"] = group(i);
    bench::set_fields(e, data);
    fields_of.push_back(std::move(data));
    out.push_back(std::move(e));
  }
  return out;
}

ir::IdentityPlan plan_blocking_on(std::vector<ir::BlockingKey> keys) {
  ir::IdentityPlan plan;
  plan.entity = "person";
  using A = ir::SimilarityAlgorithm;
  plan.match_graph.rules = {
      bench::similar("first_name", "first_name", A::kJaroWinkler, 0.88, 1.0),
      bench::similar("last_name", "last_name", A::kJaroWinkler, 0.9, 1.5),
      bench::similar("street", "street", A::kLevenshtein, 0.8, 0.5),
      bench::exact("email", "email", 2.0),
      bench::exact("phone", "phone", 1.5),
      bench::exact("dob", "dob", 1.0),
      bench::exact("zip", "zip", 0.5),
  };
  plan.blocking.keys = std::move(keys);
  plan.decision.match_threshold = 0.85;
  plan.decision.review_threshold = 0.65;
  return plan;
}

// CPU time of this process so far (all threads), in seconds.
double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Timing {
  double seconds = 1e300;  // wall time of the best run
  double cores = 0.0;      // CPU time / wall time of that run: the cores the run got
  uint64_t pairs = 0;
};

// The best of `rounds` runs with `workers` workers.
Timing best_run(const ReconciliationEngine& engine, const std::vector<NormalizedEntity>& records,
                int workers, int rounds) {
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
  Timing best;
  for (int r = 0; r < rounds; ++r) {
    const double cpu = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    const auto out = engine.reconcile_with_telemetry(records, {});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds < best.seconds) {
      best.seconds = seconds;
      best.cores = (cpu_seconds() - cpu) / seconds;
    }
    best.pairs = out.telemetry.pairs_evaluated;
  }
  return best;
}

void report(const char* label, const ir::IdentityPlan& plan,
            const std::vector<NormalizedEntity>& records, int rounds) {
  const ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  double one = 0.0;
  for (const int workers : {1, 2, 4, 8}) {
    const Timing t = best_run(engine, records, workers, rounds);
    if (workers == 1) one = t.seconds;
    std::printf("%-32s %6zu records %9llu pairs %d workers %7.3f s %5.0f ns/pair  speedup %5.2fx"
                "  (%.1f cores busy)\n",
                label, records.size(), static_cast<unsigned long long>(t.pairs), workers, t.seconds,
                t.seconds * 1e9 / static_cast<double>(t.pairs), one / t.seconds, t.cores);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::vector<ir::BlockingKey> by_group = {ir::BlockingKey{{"group"}, {}}};

  report("one block of 5,000", plan_blocking_on(by_group),
         generate(5000, 1, [](size_t) { return std::string("all"); }), rounds);

  // 20 blocks of about 1,000 records, then 600 blocks of 4.
  report("20 blocks of ~1,000 + 600 small", plan_blocking_on(by_group),
         generate(22400, 2,
                  [](size_t i) {
                    return i < 20000 ? "big-" + std::to_string(i % 20)
                                     : "small-" + std::to_string((i - 20000) % 600);
                  }),
         rounds);

  report("multi-key blocking", plan_blocking_on({ir::BlockingKey{{"last_name", "zip"}, {}},
                                                 ir::BlockingKey{{"first_name", "dob"}, {}},
                                                 ir::BlockingKey{{"email"}, {}}}),
         generate(100000, 3, [](size_t) { return std::string(); }), rounds);
  return 0;
}
