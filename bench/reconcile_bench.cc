// Batch reconciliation of generated person records: prints the number of candidate pairs,
// decisions, wall time and pairs per second, with one worker and with the default pool.
// Prints figures only.
//
//   reconcile_bench [records]        (default 100000)
#include <tbb/global_control.h>
#include <tbb/info.h>

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

const char* const kFirst[] = {
    "James", "Mary", "Robert", "Patricia", "John", "Jennifer", "Michael", "Linda", "David",
    "Elizabeth", "William", "Barbara", "Richard", "Susan", "Joseph", "Jessica", "Thomas", "Sarah",
    "Charles", "Karen", "Christopher", "Lisa", "Daniel", "Nancy", "Matthew", "Betty", "Anthony",
    "Margaret", "Mark", "Sandra", "Donald", "Ashley", "Steven", "Kimberly", "Paul", "Emily",
    "Andrew", "Donna", "Joshua", "Michelle", "Kenneth", "Carol", "Kevin", "Amanda", "Brian",
    "Dorothy", "George", "Melissa", "Timothy", "Deborah", "Bob", "Bill", "Jim", "Liz", "Kate",
    "Jos\u00e9", "Mar\u00eda", "Fran\u00e7ois", "J\u00fcrgen", "Zo\u00eb"};
const char* const kLast[] = {
    "Smith", "Johnson", "Williams", "Brown", "Jones", "Garcia", "Miller", "Davis", "Rodriguez",
    "Martinez", "Hernandez", "Lopez", "Gonzalez", "Wilson", "Anderson", "Thomas", "Taylor",
    "Moore", "Jackson", "Martin", "Lee", "Perez", "Thompson", "White", "Harris", "Sanchez",
    "Clark", "Ramirez", "Lewis", "Robinson", "Walker", "Young", "Allen", "King", "Wright",
    "Scott", "Torres", "Nguyen", "Hill", "Flores", "Green", "Adams", "Nelson", "Baker", "Hall",
    "Rivera", "Campbell", "Mitchell", "Carter", "Roberts", "M\u00fcller", "Schmidt", "Schneider",
    "Fischer", "Weber", "Meyer", "Wagner", "Becker", "Schulz", "Hoffmann", "Dubois", "Moreau",
    "Laurent", "Lefebvre", "Rossi", "Russo", "Ferrari", "Esposito", "Bianchi", "Romano"};

// One in four records is a noisy copy of an earlier one: a typo, another case, a nickname,
// a dropped e-mail or phone.
std::vector<NormalizedEntity> generate(size_t count) {
  std::mt19937_64 rng(20240601);
  std::vector<NormalizedEntity> out;
  out.reserve(count);
  std::vector<std::map<std::string, std::string>> fields_of;
  fields_of.reserve(count);
  const auto pick = [&](auto& list) { return std::string(list[rng() % std::size(list)]); };
  for (size_t i = 0; i < count; ++i) {
    NormalizedEntity e = bench::person(i, (i % 3 == 0) ? "crm" : (i % 3 == 1 ? "erp" : "web"), rng() % 10'000'000);
    std::map<std::string, std::string> data;
    if (i > 0 && rng() % 4 == 0) {
      data = fields_of[rng() % i];
      switch (rng() % 5) {
        case 0: {  // a typo in the last name
          std::string& last = data["last_name"];
          if (last.size() > 3) std::swap(last[1], last[2]);
          break;
        }
        case 1: data["first_name"] = "  " + data["first_name"] + " "; break;
        case 2: data.erase("email"); break;
        case 3: data["phone"] = "+1 " + data["phone"]; break;
        default: data["email"] = "X" + data["email"]; break;
      }
    } else {
      const std::string first = pick(kFirst);
      const std::string last = pick(kLast);
      data["first_name"] = first;
      data["last_name"] = last;
      data["email"] = first + "." + last + std::to_string(rng() % 1000) + "@example.com";
      data["phone"] = "(" + std::to_string(200 + rng() % 800) + ") " + std::to_string(200 + rng() % 800) +
                        "-" + std::to_string(1000 + rng() % 9000);
      data["dob"] = std::to_string(1940 + rng() % 60) + "-0" + std::to_string(1 + rng() % 9) + "-1" +
                      std::to_string(rng() % 10);
      data["zip"] = std::to_string(10000 + rng() % 3000);
    }
    bench::set_fields(e, data);
    fields_of.push_back(std::move(data));
    out.push_back(std::move(e));
  }
  return out;
}

ir::IdentityPlan person_plan() {
  ir::IdentityPlan plan;
  plan.entity = "person";
  using A = ir::SimilarityAlgorithm;
  plan.match_graph.rules = {
      bench::exact("email", "email", 3.0, "email"),
      bench::exact("phone", "phone", 2.0, "phone"),
      bench::similar("first_name", "first_name", A::kJaroWinkler, 0.88, 1.5, "nickname"),
      bench::similar("last_name", "last_name", A::kJaroWinkler, 0.9, 2.0, std::nullopt),
      bench::similar("last_name_sound", "last_name", A::kSoundex, 1.0, 0.5, std::nullopt),
      bench::exact("dob", "dob", 1.5, std::nullopt),
      bench::exact("zip", "zip", 0.5, std::nullopt),
  };
  plan.blocking.strategy = ir::BlockingStrategy::kComposite;
  plan.blocking.keys = {
      ir::BlockingKey{{"zip"}, {ir::BlockingTransformation::kLowercase}},
      ir::BlockingKey{{"last_name", "first_name"}, {ir::BlockingTransformation::kSoundex}},
      ir::BlockingKey{{"email"}, {ir::BlockingTransformation::kNormalizeEmail}},
  };
  plan.decision.match_threshold = 0.85;
  plan.decision.review_threshold = 0.65;
  plan.decision.tie_breaking = {ir::CompiledTieBreaker::kLowestEntityId};
  return plan;
}

void run(const ReconciliationEngine& engine, const std::vector<NormalizedEntity>& records,
         const char* label) {
  const auto start = std::chrono::steady_clock::now();
  const auto out = engine.reconcile_with_telemetry(records, {});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t pairs = out.telemetry.pairs_evaluated;
  // Merge and review verdicts before a pair decided in several blocks is kept once.
  uint64_t decided = 0;
  for (const char* name : {"merge", "review"}) {
    const auto it = out.telemetry.decisions_by_type.find(name);
    if (it != out.telemetry.decisions_by_type.end()) decided += it->second;
  }
  std::printf("%-22s %9zu records %6llu blocks %10llu pairs %8llu decided %8zu kept  %7.3f s  %12.0f pairs/s\n",
              label, records.size(), static_cast<unsigned long long>(out.telemetry.blocking_groups),
              static_cast<unsigned long long>(pairs), static_cast<unsigned long long>(decided),
              out.decisions.size(), seconds, static_cast<double>(pairs) / seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
  const std::vector<NormalizedEntity> records = generate(count);
  const ReconciliationEngine engine = ReconciliationEngine::from_plan(person_plan());
  {
    tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    run(engine, records, "reconcile, 1 worker");
  }
  const std::string label = "reconcile, " + std::to_string(tbb::info::default_concurrency()) + " workers";
  run(engine, records, label.c_str());
  return 0;
}
