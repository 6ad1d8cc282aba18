// Fellegi-Sunter training on generated person records: wall time of a whole training step
// (blocking, up to 10,000 EM pairs, 100 EM iterations at most) with u re-estimated by EM, and
// with u first estimated from a million random pairs (fields with and without normalizers).
// Prints figures only.
//
//   fellegi_sunter_bench [records]        (default 100000)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "common/ir/plan.h"
#include "core/engine/engine.h"
#include "core/engine/fellegi_sunter.h"

namespace {

namespace ir = osmira_common::ir;
using osmira_core::engine::ReconciliationEngine;
using osmira_core::engine::types::NormalizedEntity;
using Clock = std::chrono::steady_clock;

const char* const kFirst[] = {"James", "Mary",   "Robert", "Patricia", "John",    "Jennifer",
                              "Michael", "Linda", "David", "Elizabeth", "William", "Barbara",
                              "Richard", "Susan", "Joseph", "Jessica",  "Thomas",  "Sarah"};
const char* const kLast[] = {"Smith",  "Johnson", "Williams", "Brown",  "Jones",  "Garcia",
                             "Miller", "Davis",   "Rodriguez", "Martinez", "Hernandez", "Lopez",
                             "Wilson", "Anderson", "Thomas",  "Taylor", "Moore",  "Jackson"};

std::vector<NormalizedEntity> make_records(size_t count) {
  std::mt19937_64 rng(7);
  std::vector<NormalizedEntity> records;
  records.reserve(count);
  for (size_t n = 0; n < count; ++n) {
    NormalizedEntity e;
    for (int k = 0; k < 8; ++k) e.id.bytes[8 + k] = static_cast<uint8_t>(n >> (8 * k));
    e.external_id = "ext-" + std::to_string(n);
    e.source_name = "crm";
    // Every third record is a near-duplicate of the one before it.
    const size_t person = n % 3 == 2 ? n - 1 : n;
    std::mt19937_64 p(person);
    std::string first = kFirst[p() % std::size(kFirst)];
    if (person != n && rng() % 4 == 0) first[0] = static_cast<char>(first[0] + 32);
    e.data.insert_or_assign("first_name", first);
    e.data.insert_or_assign("last_name", kLast[p() % std::size(kLast)]);
    e.data.insert_or_assign("email", first + "." + std::to_string(p() % 100000) + "@example.com");
    e.data.insert_or_assign("zip", std::to_string(10000 + p() % 5000));
    records.push_back(std::move(e));
  }
  return records;
}

ir::IdentityPlan make_plan(std::optional<std::string> estimate_u) {
  ir::IdentityPlan plan;
  plan.entity = "person";
  plan.blocking.keys = {ir::BlockingKey{{"zip"}, {}}};
  ir::CompiledFellegiSunterPlan fs;
  const auto add = [&](const char* name, ir::FsComparatorType comparator,
                       std::optional<std::string> normalizer) {
    ir::CompiledFsField f;
    f.name = name;
    f.comparator = comparator;
    f.m_probability = 0.9;
    f.u_probability = 0.1;
    f.w_agree = std::log(9.0);
    f.w_disagree = -std::log(9.0);
    f.normalizer = std::move(normalizer);
    fs.fields.push_back(std::move(f));
  };
  add("first_name", ir::FsComparatorType::kJaroWinkler, "name");
  add("last_name", ir::FsComparatorType::kMetaphone, std::nullopt);
  add("email", ir::FsComparatorType::kExact, "email");
  add("zip", ir::FsComparatorType::kLevenshtein, std::nullopt);
  fs.em_training = ir::CompiledEmTraining{100, 1e-6, std::move(estimate_u), 1'000'000, 0.7};
  plan.decision.scoring_method = ir::ScoringMethod::kFellegiSunter;
  plan.decision.fellegi_sunter = fs;
  return plan;
}

void run(const char* label, const std::vector<NormalizedEntity>& records,
         std::optional<std::string> estimate_u) {
  ReconciliationEngine engine = ReconciliationEngine::from_plan(make_plan(std::move(estimate_u)));
  const auto start = Clock::now();
  osmira_core::engine::fellegi_sunter::train_fellegi_sunter(engine, records);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%-24s %9zu records  %7.3f s", label, records.size(), seconds);
  for (const auto& f : engine.settings().fs_plan->fields) {
    std::printf("  %s m=%.3f u=%.3f", f.name.c_str(), f.m_probability, f.u_probability);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const std::vector<NormalizedEntity> records = make_records(count);
  run("em only", records, std::nullopt);
  run("random u + em", records, "random_sampling");
  return 0;
}
